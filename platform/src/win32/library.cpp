#include "korvan/platform/library.hpp"
#include "handles.hpp"
#include "load_path.hpp"
#include "wide.hpp"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <utility>

namespace korvan::platform {
namespace {

std::string failure(const char* call) {
    return GetLastError() != 0 ? std::string(call) + " failed"
                               : std::string(call) + " failed, but system did not report the error";
}

// Volume and file index: one file, whatever name it was opened by.
std::optional<std::pair<DWORD, std::uint64_t>> file_identity(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION facts{};
    if (!GetFileInformationByHandle(file, &facts)) {
        return std::nullopt;
    }
    return std::pair{facts.dwVolumeSerialNumber,
                     (std::uint64_t{facts.nFileIndexHigh} << 32) | facts.nFileIndexLow};
}

// Whether the file the loader mapped for `module` is the held one.
bool loaded_from(HMODULE module, HANDLE held) {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) {
            return false;
        }
        if (n < name.size()) {
            name.resize(n);
            break;
        }
        if (name.size() >= 32768) {
            return false;
        }
        name.resize(name.size() * 2); // a full buffer means the name was cut
    }
    HANDLE loaded =
        CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (loaded == INVALID_HANDLE_VALUE) {
        return false;
    }
    const auto loaded_identity = file_identity(loaded);
    CloseHandle(loaded);
    const auto held_identity = file_identity(held);
    return loaded_identity && held_identity && *loaded_identity == *held_identity;
}

} // namespace

std::variant<LibraryHandle, LibraryError> load_library(const ModuleFile& file) {
    // The module's own folder is searched first for its dependencies, then the system folders
    // and PATH; the current folder never (prepare_unattended_process took it out).
    const std::wstring wide = win32::widen(win32::load_path(file.path()));
    // A vendor module with a missing dependency must fail here, not open a dialog box.
    DWORD previous = 0;
    const bool mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != FALSE;
    SetLastError(0);
    // The held handle shares reading only, so the file at this path cannot be replaced, renamed
    // or written until the load has returned.
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD load_error = GetLastError();
    if (mode_set && previous != SEM_FAILCRITICALERRORS) {
        SetThreadErrorMode(previous, nullptr);
    }
    if (module == nullptr) {
        SetLastError(load_error);
        return LibraryError{failure("LoadLibraryExW")};
    }
    // A folder on the way renamed or linked elsewhere still leads the loader to another file.
    if (!loaded_from(module, win32::as_handle(file.native_handle()))) {
        FreeLibrary(module);
        return LibraryError{"LoadLibraryExW loaded another file than the one that was checked"};
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
