#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvan::engine {

// r||s (two equal big-endian halves) as a DER ECDSA-Sig-Value; none when the input is empty, of
// odd length, or either number is zero.
std::optional<std::vector<std::uint8_t>> ecdsa_raw_to_der(std::span<const std::uint8_t> raw);

} // namespace korvan::engine
