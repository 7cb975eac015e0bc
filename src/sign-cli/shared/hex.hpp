#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace korvan::cli {

// Even length, digits 0-9 a-f A-F in any mix, high nibble first; empty text gives no bytes.
std::optional<std::vector<std::uint8_t>> decode_hex(std::string_view text);

} // namespace korvan::cli
