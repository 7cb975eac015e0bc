#pragma once

// The mock module reads its scenario from the process environment, so the conversation target
// has to change it in-process.

#include <string>

namespace korvan::fuzz {

void set_environment(const char* name, const std::string& value);
void unset_environment(const char* name);

} // namespace korvan::fuzz
