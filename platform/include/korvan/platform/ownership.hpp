#pragma once

// Whether a file or folder that decides something (settings, a module, a lock) could have been
// planted or changed by another local user: it must be owned by the user running this process or
// by root (a managed deployment) and writable by neither its group nor others. On Windows these
// answer that it passes: the per-user folder lies in the profile, whose access list the system
// grants to the user, SYSTEM and Administrators only.

#include "korvan/platform/files.hpp"
#include "korvan/platform/streams.hpp"

#include <optional>
#include <string>
#include <variant>

namespace korvan::platform {

// What is wrong with `path` itself, naming it: "/x/y is owned by user 1001", "/x/y is writable
// by group", "/x/y cannot be examined: …". A symbolic link is examined, not followed (its own
// mode means nothing, so only its owner counts). None when it passes.
std::optional<std::string> ownership_problem(const std::string& path);

// The same for an open file or folder; `name` is what the text calls it.
std::optional<std::string> ownership_problem(NativeHandle handle, const std::string& name);

// The same for an open file and then, by name, for every folder above its absolute `path` up to
// the root: whoever can write one of those folders can put another file at that path. The first
// problem found, from the file upwards.
std::optional<std::string> ownership_problem_along(NativeHandle file, const std::string& path);

// The whole content of a file nobody else could have planted or changed: its folder and the
// file itself pass the rule above, and the file is a regular file reached without a symbolic
// link as its last step. Both are examined through the handles that are then used, so swapping
// either between the check and the read changes nothing.
std::variant<std::string, FileError> read_owned_file(const std::string& path);

} // namespace korvan::platform
