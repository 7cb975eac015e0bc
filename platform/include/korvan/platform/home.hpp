#pragma once

#include <optional>
#include <string>

namespace korvan::platform {

// The current user's profile folder from the system (the known folder FOLDERID_Profile on
// Windows, the password database elsewhere); none when the system has no answer.
std::optional<std::string> profile_directory();

} // namespace korvan::platform
