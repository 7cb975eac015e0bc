#pragma once

// UTF-16 helpers shared by the Windows implementations; wchar_t is 16 bits there.
#include "korvan/platform/unicode.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace korvan::platform::win32 {

inline std::wstring widen(std::string_view utf8) {
    const std::u16string wide = utf8_to_utf16(utf8);
    return {wide.begin(), wide.end()};
}

inline std::u16string_view as_utf16(std::wstring_view wide) {
    return {reinterpret_cast<const char16_t*>(wide.data()), wide.size()};
}

inline std::optional<std::string> narrow(std::wstring_view wide) {
    return utf16_to_utf8(as_utf16(wide));
}

inline std::string narrow_lossy(std::wstring_view wide) {
    return utf16_to_utf8_lossy(as_utf16(wide));
}

} // namespace korvan::platform::win32
