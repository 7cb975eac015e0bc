#include "korvan/platform/library.hpp"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

namespace korvan::platform {
namespace {

std::string with_detail(std::string call) {
    if (const char* detail = ::dlerror()) {
        return call + ": " + detail;
    }
    return call + ", but system did not report the error";
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool names_file(const char* path, const struct stat& held) {
    struct stat named {};
    return path != nullptr && ::stat(path, &named) == 0 && same_file(named, held);
}

// The loader's words name the file it was given; the parent's line should name the module.
std::string loader_error(const std::string& loaded_as, const std::string& module_path) {
    const char* detail = ::dlerror();
    std::string text = detail != nullptr ? detail : "system did not report the error";
    if (loaded_as != module_path) {
        for (std::size_t at = text.find(loaded_as); at != std::string::npos;
             at = text.find(loaded_as, at + module_path.size())) {
            text.replace(at, loaded_as.size(), module_path);
        }
    }
    return text;
}

// Where the library the loader mapped lives, by the name the loader kept for it.
const char* loaded_name(void* handle) {
    struct link_map* map = nullptr;
    return ::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr ? map->l_name : nullptr;
}

} // namespace

std::variant<LibraryHandle, LibraryError> load_library(const ModuleFile& module) {
    struct stat held {};
    if (::fstat(static_cast<int>(module.native_handle()), &held) != 0) {
        return LibraryError{"fstat of the module file failed"};
    }
    // Opening the descriptor's own name reaches the held file whatever now stands at its path.
    const std::string through_descriptor =
        "/proc/self/fd/" + std::to_string(module.native_handle());
    const bool by_descriptor = names_file(through_descriptor.c_str(), held);
    const std::string& loaded_as = by_descriptor ? through_descriptor : module.path();

    ::dlerror(); // forget an earlier failure so the text below is this one's
    void* handle = ::dlopen(loaded_as.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        // The parent's line already says "dlopen failed: "; the loader's own words follow it.
        return LibraryError{loader_error(loaded_as, module.path())};
    }
    if (!by_descriptor && !names_file(loaded_name(handle), held)) {
        ::dlclose(handle);
        return LibraryError{module.path() + ": the loaded file is not the file that was checked"};
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
