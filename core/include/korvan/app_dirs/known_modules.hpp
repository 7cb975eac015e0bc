#pragma once

#include "korvan/app_dirs/path_rules.hpp"

#include <string>
#include <vector>

namespace korvan::app_dirs {

// The vendor module locations trusted without a pin, in order; UTF-8.
std::vector<std::string> known_modules(PlatformFamily family);

} // namespace korvan::app_dirs
