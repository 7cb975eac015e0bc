#pragma once

// Random bytes from the operating system's generator (getrandom on Linux, BCryptGenRandom on
// Windows): for secrets such as a pending module's trial token, and for unique file names.

#include <cstdint>
#include <span>

namespace korvan::platform {

// Fills every byte; false when the system could not (the bytes are then not to be used).
bool fill_random(std::span<std::uint8_t> bytes);

} // namespace korvan::platform
