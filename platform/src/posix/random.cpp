#include "korvan/platform/random.hpp"

#include <cerrno>
#include <sys/random.h>

namespace korvan::platform {

bool fill_random(std::span<std::uint8_t> bytes) {
    while (!bytes.empty()) {
        // Blocks only until the generator is first seeded, which it is long after boot.
        const ssize_t n = ::getrandom(bytes.data(), bytes.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace korvan::platform
