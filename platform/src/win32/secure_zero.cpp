#include "korvan/platform/secure_zero.hpp"

#include <windows.h>

namespace korvan::platform {

void secure_zero(void* data, std::size_t size) { SecureZeroMemory(data, size); }

} // namespace korvan::platform
