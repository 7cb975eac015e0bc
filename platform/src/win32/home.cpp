#include "korvan/platform/home.hpp"
#include "wide.hpp"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

namespace korvan::platform {

std::optional<std::string> profile_directory() {
    // FOLDERID_Profile, spelled out so no GUID library is needed.
    static const GUID profile = {
        0x5E6C858F, 0x0E22, 0x4760, {0x9A, 0xFE, 0xEA, 0x33, 0x17, 0xB6, 0x71, 0x73}};
    PWSTR path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(profile, 0, nullptr, &path);
    std::optional<std::string> home;
    if (SUCCEEDED(result) && path != nullptr) {
        // A profile path with an unpaired surrogate still names the folder; keep what we can.
        home =
            win32::narrow_lossy(std::wstring_view(path, static_cast<std::size_t>(lstrlenW(path))));
    }
    // The buffer is the caller's to release whether the call succeeded or not.
    CoTaskMemFree(path);
    return home;
}

} // namespace korvan::platform
