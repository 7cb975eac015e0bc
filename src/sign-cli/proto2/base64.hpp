#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace korvan::cli {

// RFC 4648 standard alphabet with "=" padding, no line breaks.
std::string encode_base64(std::span<const std::uint8_t> bytes);

} // namespace korvan::cli
