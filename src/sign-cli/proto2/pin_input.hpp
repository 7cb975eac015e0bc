#pragma once

#include "korvan/platform/secret.hpp"
#include "korvan/platform/streams.hpp"

#include <cstddef>
#include <optional>

namespace korvan::cli {

inline constexpr std::size_t pin_buffer_size = 1024;
using PinBuffer = platform::SecretArray<pin_buffer_size>;

// Reads the whole input into the buffer: at most 1024 bytes followed by end of input, valid UTF-8.
// Gives the number of bytes read, or none (read error, too long, not UTF-8).
std::optional<std::size_t> read_pin(platform::ByteSource& input, PinBuffer& buffer);

} // namespace korvan::cli
