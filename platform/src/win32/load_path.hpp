#pragma once

// The module path as LoadLibraryExW wants it with LOAD_WITH_ALTERED_SEARCH_PATH: that flag looks
// for the module's dependencies in the module's own folder only when the path is absolute and
// written with backslashes.
#include <string>
#include <string_view>

namespace korvan::platform::win32 {

// Every '/' becomes '\' and runs of separators collapse to one, except the two that begin a UNC
// or device path. A verbatim path (\\?\) is passed to the system untouched and is kept as given.
inline std::string load_path(std::string_view path) {
    if (path.substr(0, 4) == "\\\\?\\") {
        return std::string(path);
    }
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i] == '/' ? '\\' : path[i];
        const bool repeated = c == '\\' && !out.empty() && out.back() == '\\';
        if (!repeated || i == 1) {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace korvan::platform::win32
