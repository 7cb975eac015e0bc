#include "korvan/platform/secure_zero.hpp"

#include <string.h>

namespace korvan::platform {

void secure_zero(void* data, std::size_t size) {
    if (size != 0) {
        ::explicit_bzero(data, size);
    }
}

} // namespace korvan::platform
