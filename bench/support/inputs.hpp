#pragma once

// What every benchmark program reads: numbers and hex from its arguments, the PIN as the first
// line of standard input (as sign-cli and sign-client take it).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvan::bench {

// A decimal number; a count must be at least 1, a slot id may be 0.
std::optional<std::uint64_t> parse_number(std::string_view text);
std::optional<std::uint64_t> parse_count(std::string_view text);
std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text);
// The first line without its CR/LF; none when standard input is empty.
std::optional<std::vector<std::uint8_t>> read_pin_line();

// Prints "<program>: <message>" on standard error; returns 1 for `return fail(...)`.
int fail(std::string_view program, std::string_view message);

} // namespace korvan::bench
