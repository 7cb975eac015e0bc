#include "shared/arguments.hpp"
#include "shared/hex.hpp"

#include "korvan/platform/unicode.hpp"

#include <limits>

namespace korvan::cli {

std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint32_t> parse_slot_id(std::string_view text) {
    const auto value = parse_unsigned_decimal(text, std::numeric_limits<std::uint32_t>::max());
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

std::optional<engine::ExpectedToken> parse_expected_token(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto serial = decode_hex(text.substr(0, colon));
    const auto label = decode_hex(text.substr(colon + 1));
    if (!serial || !label || !platform::is_valid_utf8(*serial) ||
        !platform::is_valid_utf8(*label)) {
        return std::nullopt;
    }
    return engine::ExpectedToken{std::string(serial->begin(), serial->end()),
                                 std::string(label->begin(), label->end())};
}

std::span<const std::uint8_t> trim_line_ends(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty() && (bytes.back() == '\r' || bytes.back() == '\n')) {
        bytes = bytes.first(bytes.size() - 1);
    }
    return bytes;
}

} // namespace korvan::cli
