#include "korvan/platform/random.hpp"

#include <windows.h>

#include <bcrypt.h>

namespace korvan::platform {

bool fill_random(std::span<std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ULONG n = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<ULONG>(bytes.size());
        if (BCryptGenRandom(nullptr, bytes.data(), n, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
            return false;
        }
        bytes = bytes.subspan(n);
    }
    return true;
}

} // namespace korvan::platform
