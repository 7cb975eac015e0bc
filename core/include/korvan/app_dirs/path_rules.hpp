#pragma once

// Path rules of the module trust policy. The Windows rules and the system-directory rules of every
// family are pure text functions, so every build compiles and tests all of them; only resolving a
// path to its final target asks the operating system.

#include <cstdint>
#include <string>
#include <string_view>

namespace korvan::app_dirs {

enum class PlatformFamily : std::uint8_t { windows = 0, macos = 1, linux = 2 };

// The family this build runs as, chosen by the build system.
inline constexpr PlatformFamily build_family = static_cast<PlatformFamily>(KORVAN_PLATFORM_FAMILY);

// Windows: a drive with a root separator, a UNC path, or any verbatim or device path.
// macOS and Linux: a leading slash.
bool is_absolute(std::string_view path, PlatformFamily family = build_family);

// Structural equality: prefixes of the same kind (drive letters without regard to case), the same
// root, the same components byte for byte; empty and "." components ignored ("." kept after a
// verbatim prefix), ".." never resolved.
bool paths_equal(std::string_view a, std::string_view b, PlatformFamily family = build_family);

// Whether the path lies below one of the family's system directories, with no disqualifying
// component ("temp" and "downloads" on Windows, "tmp" elsewhere) anywhere in it.
bool in_system_dir(std::string_view path, PlatformFamily family);

// Whether a component of the path is a disqualifying name: "temp" or "downloads" on Windows
// (backslash and slash separate), "tmp" elsewhere, ASCII letters compared without regard to case.
bool has_disqualifying_component(std::string_view path, PlatformFamily family);

// Joins a name to a directory: Windows inserts a backslash unless the base is empty, ends with a
// separator or is a bare drive ("C:"); the others a slash unless the base is empty or ends with
// one.
std::string join_path(std::string_view base, std::string_view name,
                      PlatformFamily family = build_family);

} // namespace korvan::app_dirs
