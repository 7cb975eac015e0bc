#include "environment.hpp"

#include <stdlib.h>

namespace korvan::fuzz {

void set_environment(const char* name, const std::string& value) {
    ::setenv(name, value.c_str(), 1);
}

void unset_environment(const char* name) {
    ::unsetenv(name);
}

} // namespace korvan::fuzz
