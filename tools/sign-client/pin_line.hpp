#pragma once

#include "korvan/platform/secret.hpp"
#include "korvan/platform/streams.hpp"

#include <string_view>
#include <variant>

namespace korvan::client {

// The PIN as the Login frame carries it: 1 to 255 bytes.
inline constexpr std::size_t max_pin_size = 255;

// Reads the first line, up to and without its LF (and a CR before it), one byte at a time so
// nothing after the line is consumed. The PIN, or the message saying why there is none.
std::variant<platform::SecretBytes, std::string_view> read_pin_line(platform::ByteSource& in);

} // namespace korvan::client
