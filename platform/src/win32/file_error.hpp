#pragma once

// A Windows error code as the system words it, for the file operations.
#include "korvan/platform/files.hpp"
#include "wide.hpp"

#include <windows.h>

#include <string>

namespace korvan::platform::win32 {

inline FileError error_text(DWORD code) {
    LPWSTR buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text = length > 0 ? narrow_lossy(std::wstring_view(buffer, length)) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) {
        text = "system error " + std::to_string(code);
    }
    return {text + " (os error " + std::to_string(code) + ")"};
}

} // namespace korvan::platform::win32
