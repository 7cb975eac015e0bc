#include "korvan/platform/library.hpp"

#include <dlfcn.h>

namespace korvan::platform {
namespace {

std::string with_detail(std::string call) {
    if (const char* detail = ::dlerror()) {
        return call + ": " + detail;
    }
    return call + ", but system did not report the error";
}

} // namespace

std::variant<LibraryHandle, LibraryError> load_library(std::string_view path) {
    ::dlerror(); // forget an earlier failure so the text below is this one's
    void* handle = ::dlopen(std::string(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        // The parent's line already says "dlopen failed: "; the loader's own words follow it.
        const char* detail = ::dlerror();
        return LibraryError{detail != nullptr ? detail : "system did not report the error"};
    }
    return LibraryHandle{handle};
}

std::variant<void*, LibraryError> find_symbol(LibraryHandle library, const char* name) {
    ::dlerror();
    void* symbol = ::dlsym(library.native, name);
    if (symbol == nullptr) {
        return LibraryError{with_detail("dlsym failed")};
    }
    return symbol;
}

void free_library(LibraryHandle library) {
    ::dlclose(library.native);
}

} // namespace korvan::platform
