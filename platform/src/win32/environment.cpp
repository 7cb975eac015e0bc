#include "korvan/platform/environment.hpp"
#include "wide.hpp"

#include <windows.h>

namespace korvan::platform {

EnvValue ProcessEnvironment::get(std::string_view name) const {
    const std::wstring wide_name = win32::widen(name);
    SetLastError(ERROR_SUCCESS);
    DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (size == 0) {
        // An empty variable reports size 1 (its terminator); 0 means it is not set.
        return {};
    }
    std::wstring value;
    for (;;) {
        value.assign(size, L'\0');
        const DWORD written = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
        if (written == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            return {};
        }
        if (written < size) {
            value.resize(written);
            break;
        }
        size = written; // it grew between the two calls
    }
    if (std::optional<std::string> utf8 = win32::narrow(value)) {
        return {EnvValue::Status::Set, std::move(*utf8)};
    }
    // Still usable where an ill-formed value is allowed (HOME is taken as it is).
    return {EnvValue::Status::NotUnicode, win32::narrow_lossy(value)};
}

} // namespace korvan::platform
