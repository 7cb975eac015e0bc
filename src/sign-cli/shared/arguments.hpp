#pragma once

#include "engine/sign_request.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace korvan::cli {

// Decimal digits with an optional single leading "+", at least one digit, at most `max`.
std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text, std::uint64_t max);

// A 32-bit slot id in the decimal form above.
std::optional<std::uint32_t> parse_slot_id(std::string_view text);

// "<serial hex>:<label hex>", split at the first colon; both parts must decode to UTF-8.
std::optional<engine::ExpectedToken> parse_expected_token(std::string_view text);

// Drops every trailing CR and LF, in any order; nothing else.
std::span<const std::uint8_t> trim_line_ends(std::span<const std::uint8_t> bytes);

} // namespace korvan::cli
