#include "korvan/app_dirs/path_rules.hpp"

#include <array>
#include <optional>
#include <vector>

namespace korvan::app_dirs {
namespace {

bool is_separator(char c) {
    return c == '\\' || c == '/';
}
bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ascii_lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ascii_lowercase(a) == ascii_lowercase(b);
}

bool starts_with_drive(std::string_view text) {
    return text.size() >= 2 && is_ascii_letter(text[0]) && text[1] == ':';
}

// ---- Windows ----------------------------------------------------------------------------------

enum class PrefixKind { none, drive, verbatim_drive, unc, verbatim_unc, verbatim, device };

struct WindowsPath {
    PrefixKind kind = PrefixKind::none;
    // Drive letter (upper case) or names; compared exactly.
    std::string first;
    std::string second;
    bool root = false;
    std::vector<std::string_view> components;
};

// The next name up to a separator, and what follows that separator.
std::pair<std::string_view, std::string_view> next_name(std::string_view text, bool verbatim) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (verbatim ? text[i] == '\\' : is_separator(text[i])) {
            return {text.substr(0, i), text.substr(i + 1)};
        }
    }
    return {text, {}};
}

WindowsPath parse_windows(std::string_view path) {
    WindowsPath parsed;
    std::string_view rest = path;
    auto upper_drive = [](char c) {
        return std::string(1, c >= 'a' ? static_cast<char>(c - 32) : c);
    };
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        const std::string_view after = path.substr(2);
        if (path.substr(0, 4) == "\\\\?\\") {
            std::string_view body = path.substr(4);
            if (body.substr(0, 4) == "UNC\\") {
                const std::string_view names = body.substr(4);
                const auto [server, after_server] = next_name(names, true);
                const std::string_view share = next_name(after_server, true).first;
                parsed.kind = PrefixKind::verbatim_unc;
                parsed.first = server;
                parsed.second = share;
                // What follows the share begins with its separator, the root.
                const std::size_t consumed =
                    server.size() + (server.size() < names.size() ? 1 : 0) + share.size();
                rest = names.substr(consumed);
            } else if (starts_with_drive(body) && (body.size() == 2 || body[2] == '\\')) {
                parsed.kind = PrefixKind::verbatim_drive;
                parsed.first = upper_drive(body[0]);
                rest = body.substr(2);
            } else {
                const std::string_view name = next_name(body, true).first;
                parsed.kind = PrefixKind::verbatim;
                parsed.first = name;
                rest = body.substr(name.size());
            }
        } else if (after.size() >= 2 && after[0] == '.' && is_separator(after[1])) {
            const std::string_view name = next_name(after.substr(2), false).first;
            parsed.kind = PrefixKind::device;
            parsed.first = name;
            rest = after.substr(2 + name.size());
        } else {
            const auto [server, after_server] = next_name(after, false);
            const std::string_view share = next_name(after_server, false).first;
            if (!server.empty() && !share.empty()) {
                parsed.kind = PrefixKind::unc;
                parsed.first = server;
                parsed.second = share;
                rest = after.substr(server.size() + 1 + share.size());
            }
        }
    } else if (starts_with_drive(path)) {
        parsed.kind = PrefixKind::drive;
        parsed.first = upper_drive(path[0]);
        rest = path.substr(2);
    }

    const bool verbatim = parsed.kind == PrefixKind::verbatim_drive ||
                          parsed.kind == PrefixKind::verbatim_unc ||
                          parsed.kind == PrefixKind::verbatim;
    auto separates = [verbatim](char c) { return verbatim ? c == '\\' : is_separator(c); };
    // A UNC share and a device carry their root with them: "\\server\share" and
    // "\\server\share\" are the same place.
    parsed.root = (!rest.empty() && separates(rest[0])) || parsed.kind == PrefixKind::unc ||
                  parsed.kind == PrefixKind::device;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= rest.size(); ++i) {
        if (i == rest.size() || separates(rest[i])) {
            const std::string_view piece = rest.substr(start, i - start);
            if (!piece.empty() && (verbatim || piece != ".")) {
                parsed.components.push_back(piece);
            }
            start = i + 1;
        }
    }
    return parsed;
}

bool windows_is_absolute(std::string_view path) {
    const WindowsPath parsed = parse_windows(path);
    if (parsed.kind == PrefixKind::none) {
        return false;
    }
    return parsed.kind != PrefixKind::drive || (path.size() > 2 && is_separator(path[2]));
}

bool windows_equal(std::string_view a, std::string_view b) {
    const WindowsPath x = parse_windows(a);
    const WindowsPath y = parse_windows(b);
    return x.kind == y.kind && x.first == y.first && x.second == y.second && x.root == y.root &&
           x.components == y.components;
}

bool windows_in_system_dir(std::string_view text) {
    static constexpr std::array<std::string_view, 4> system_dirs = {
        "c:\\windows\\system32", "c:\\windows\\syswow64", "c:\\program files",
        "c:\\program files (x86)"};
    if (text.substr(0, 8) == "\\\\?\\UNC\\") {
        return false;
    }
    if (text.substr(0, 4) == "\\\\?\\") {
        text.remove_prefix(4);
        if (text.size() < 2) {
            return false;
        }
    }
    if (text.size() >= 2 &&
        ((text[0] == '\\' && text[1] == '\\') || (text[0] == '/' && text[1] == '/'))) {
        return false;
    }
    if (!(text.size() >= 3 && starts_with_drive(text) && is_separator(text[2]))) {
        return false;
    }
    // A colon past the drive names an alternate data stream ("...\\folder:name.dll"), which can
    // hold code that no listing of the folder shows.
    if (text.find(':', 2) != std::string_view::npos) {
        return false;
    }
    if (has_disqualifying_component(text, PlatformFamily::windows)) {
        return false;
    }
    std::string normal = ascii_lowercase(text);
    for (char& c : normal) {
        if (c == '/') {
            c = '\\';
        }
    }
    for (const std::string_view dir : system_dirs) {
        if (normal.size() > dir.size() && normal.compare(0, dir.size(), dir) == 0 &&
            normal[dir.size()] == '\\') {
            return true;
        }
    }
    return false;
}

// ---- macOS and Linux --------------------------------------------------------------------------

std::vector<std::string_view> posix_components(std::string_view path) {
    std::vector<std::string_view> components;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string_view piece = path.substr(start, i - start);
            if (!piece.empty() && piece != ".") {
                components.push_back(piece);
            }
            start = i + 1;
        }
    }
    return components;
}

bool posix_in_system_dir(std::string_view text, PlatformFamily family) {
    static constexpr std::array<std::string_view, 3> macos_dirs = {"/usr/local/lib", "/usr/lib",
                                                                   "/library"};
    static constexpr std::array<std::string_view, 3> linux_dirs = {"/usr/lib", "/usr/local/lib",
                                                                   "/opt"};
    if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
        return false;
    }
    if (text.empty() || text[0] != '/') {
        return false;
    }
    if (has_disqualifying_component(text, family)) {
        return false;
    }
    const std::string normal = ascii_lowercase(text);
    for (const std::string_view dir : family == PlatformFamily::macos ? macos_dirs : linux_dirs) {
        if (normal.size() > dir.size() && normal.compare(0, dir.size(), dir) == 0 &&
            normal[dir.size()] == '/') {
            return true;
        }
    }
    return false;
}

} // namespace

bool is_absolute(std::string_view path, PlatformFamily family) {
    if (family == PlatformFamily::windows) {
        return windows_is_absolute(path);
    }
    return !path.empty() && path[0] == '/';
}

bool paths_equal(std::string_view a, std::string_view b, PlatformFamily family) {
    if (family == PlatformFamily::windows) {
        return windows_equal(a, b);
    }
    const bool a_root = !a.empty() && a[0] == '/';
    const bool b_root = !b.empty() && b[0] == '/';
    return a_root == b_root && posix_components(a) == posix_components(b);
}

bool has_disqualifying_component(std::string_view path, PlatformFamily family) {
    const bool windows = family == PlatformFamily::windows;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || (windows ? is_separator(path[i]) : path[i] == '/')) {
            const std::string_view piece = path.substr(start, i - start);
            if (windows ? equals_ignoring_ascii_case(piece, "temp") ||
                              equals_ignoring_ascii_case(piece, "downloads")
                        : equals_ignoring_ascii_case(piece, "tmp")) {
                return true;
            }
            start = i + 1;
        }
    }
    return false;
}

bool in_system_dir(std::string_view path, PlatformFamily family) {
    return family == PlatformFamily::windows ? windows_in_system_dir(path)
                                             : posix_in_system_dir(path, family);
}

std::string join_path(std::string_view base, std::string_view name, PlatformFamily family) {
    std::string joined(base);
    if (family == PlatformFamily::windows) {
        const bool bare_drive = base.size() == 2 && starts_with_drive(base);
        if (!base.empty() && !is_separator(base.back()) && !bare_drive) {
            joined += '\\';
        }
    } else if (!base.empty() && base.back() != '/') {
        joined += '/';
    }
    joined += name;
    return joined;
}

} // namespace korvan::app_dirs
