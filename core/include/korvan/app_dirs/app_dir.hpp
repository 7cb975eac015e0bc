#pragma once

#include "korvan/platform/environment.hpp"

#include <optional>
#include <string>

namespace korvan::app_dirs {

// Where the home directory comes from when HOME is unset.
using ProfileLookup = std::optional<std::string> (*)();

// The per-user directory ".korvan-qes" below the home directory: HOME as set when it is an
// absolute path (even not Unicode), otherwise (unset, empty or relative) the user's profile
// folder; none when neither gives an answer. Never touches the file system and caches nothing.
std::optional<std::string> app_dir(const platform::Environment& environment);
std::optional<std::string> app_dir(const platform::Environment& environment, ProfileLookup profile);

} // namespace korvan::app_dirs
