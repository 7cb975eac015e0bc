#include "check.hpp"

#include <cstdio>
#include <cstdlib>

namespace korvan::fuzz {

void check(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "fuzz property broken: %s\n", property);
        std::abort();
    }
}

} // namespace korvan::fuzz
