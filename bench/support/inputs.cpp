#include "support/inputs.hpp"

#include "shared/hex.hpp"

#include <charconv>
#include <iostream>

namespace korvan::bench {

std::optional<std::uint64_t> parse_number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> parse_count(std::string_view text) {
    const auto value = parse_number(text);
    return value && *value > 0 ? value : std::nullopt;
}

std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text) {
    return cli::decode_hex(text);
}

std::optional<std::vector<std::uint8_t>> read_pin_line() {
    std::string line;
    if (!std::getline(std::cin, line) || line.empty()) {
        return std::nullopt;
    }
    if (line.back() == '\r') {
        line.pop_back();
    }
    return std::vector<std::uint8_t>(line.begin(), line.end());
}

int fail(std::string_view program, std::string_view message) {
    std::cerr << program << ": " << message << '\n';
    return 1;
}

} // namespace korvan::bench
