#include "engine/key_kind.hpp"

#include <array>

namespace korvan::engine {
namespace {

constexpr std::array<std::uint8_t, 10> p256_oid{0x06, 0x08, 0x2A, 0x86, 0x48,
                                                0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::array<std::uint8_t, 7> p384_oid{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
constexpr std::array<std::uint8_t, 7> p521_oid{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};

const std::array<KeyKindTraits, 4> all_traits{{
    {"rsa", 32, {}, 0},
    {"ec-p256", 32, p256_oid, 64},
    {"ec-p384", 48, p384_oid, 96},
    {"ec-p521", 64, p521_oid, 132},
}};

} // namespace

const KeyKindTraits& traits(KeyKind kind) {
    return all_traits[static_cast<std::size_t>(kind)];
}

std::optional<KeyKind> parse_key_kind(std::string_view text) {
    for (std::size_t i = 0; i < all_traits.size(); ++i) {
        if (all_traits[i].text == text) {
            return static_cast<KeyKind>(i);
        }
    }
    return std::nullopt;
}

} // namespace korvan::engine
