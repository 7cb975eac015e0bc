#pragma once

#include <cstddef>

namespace korvan::platform::detail {

// Shows a wiped secret block to the observer, if one is set, before it is given back.
void observe_secret_release(const void* block, std::size_t size) noexcept;

} // namespace korvan::platform::detail
