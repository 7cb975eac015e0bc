#include "korvan/platform/library.hpp"
#include "load_path.hpp"
#include "wide.hpp"

#include <windows.h>

namespace korvan::platform {
namespace {

std::string failure(const char* call) {
    return GetLastError() != 0 ? std::string(call) + " failed"
                               : std::string(call) + " failed, but system did not report the error";
}

} // namespace

std::variant<LibraryHandle, LibraryError> load_library(std::string_view path) {
    // The module's own folder is searched first for its dependencies, then the system folders
    // and PATH; the current folder never (prepare_unattended_process took it out).
    const std::wstring wide = win32::widen(win32::load_path(path));
    // A vendor module with a missing dependency must fail here, not open a dialog box.
    DWORD previous = 0;
    const bool mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != FALSE;
    SetLastError(0);
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD load_error = GetLastError();
    if (mode_set && previous != SEM_FAILCRITICALERRORS) {
        SetThreadErrorMode(previous, nullptr);
    }
    if (module == nullptr) {
        SetLastError(load_error);
        return LibraryError{failure("LoadLibraryExW")};
    }
    return LibraryHandle{module};
}

std::variant<void*, LibraryError> find_symbol(LibraryHandle library, const char* name) {
    SetLastError(0);
    FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library.native), name);
    if (symbol == nullptr) {
        return LibraryError{failure("GetProcAddress")};
    }
    return reinterpret_cast<void*>(symbol);
}

void free_library(LibraryHandle library) {
    FreeLibrary(static_cast<HMODULE>(library.native));
}

} // namespace korvan::platform
