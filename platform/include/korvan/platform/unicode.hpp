#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvan::platform {

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(std::span<const std::uint8_t> bytes);
bool is_valid_utf8(std::string_view text);

// None when the input holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

// Every unpaired surrogate becomes U+FFFD, for names that must stay usable even when ill-formed.
std::string utf16_to_utf8_lossy(std::u16string_view text);

// The input must be valid UTF-8; an invalid sequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Decodes bytes as UTF-8 and replaces every invalid sequence by U+FFFD (maximal subparts, as
// Unicode recommends), giving valid UTF-8.
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

// Decodes valid UTF-8 into code points.
std::u32string utf8_to_code_points(std::string_view text);
void append_utf8(std::string& out, char32_t code_point);

} // namespace korvan::platform
