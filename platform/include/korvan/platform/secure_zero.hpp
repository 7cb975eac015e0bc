#pragma once

#include <cstddef>

namespace korvan::platform {

// Overwrites the bytes with zeros by a write the compiler may not drop as dead.
void secure_zero(void* data, std::size_t size);

} // namespace korvan::platform
