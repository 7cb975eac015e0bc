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
        const std::wstring_view wide(path, static_cast<std::size_t>(lstrlenW(path)));
        std::string text;
        for (const char32_t unit : wide) {
            // A profile path with an unpaired surrogate still names the folder; keep what we can.
            append_utf8(text, unit >= 0xD800 && unit <= 0xDFFF ? char32_t{0xFFFD} : unit);
        }
        home = win32::narrow(wide).value_or(text);
    }
    // The buffer is the caller's to release whether the call succeeded or not.
    CoTaskMemFree(path);
    return home;
}

} // namespace korvan::platform
