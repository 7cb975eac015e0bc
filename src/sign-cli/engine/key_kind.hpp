#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace korvan::engine {

// The index is part of the wire (protocol 3 sends it plus one).
enum class KeyKind : std::uint8_t { rsa = 0, ec_p256 = 1, ec_p384 = 2, ec_p521 = 3 };

struct KeyKindTraits {
    std::string_view text;
    std::size_t digest_length;
    std::span<const std::uint8_t> ec_params; // DER object identifier of the curve; empty for RSA
    std::size_t raw_signature_length;        // r||s as the token returns it; 0 for RSA
};

const KeyKindTraits& traits(KeyKind kind);
inline std::string_view to_text(KeyKind kind) {
    return traits(kind).text;
}

// Exact, case-sensitive match with one of the four text forms.
std::optional<KeyKind> parse_key_kind(std::string_view text);

} // namespace korvan::engine
