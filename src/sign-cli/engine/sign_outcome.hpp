#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace korvan::engine {

namespace outcome {
struct Signed {
    std::vector<std::uint8_t> signature; // empty in verify mode
};
struct TokenChanged {};
struct ModuleLoadFailed {
    std::string text;
};
struct PinIncorrect {};
struct PinLocked {};
struct Pkcs11Failed {
    std::string label;
    std::uint32_t rv;
};
struct KeyResolutionFailed {
    std::string text;
};
struct UnsupportedKeyType {
    std::string text;
};
struct DigestKeyMismatch {
    std::string text;
};
} // namespace outcome

using SignOutcome = std::variant<outcome::Signed, outcome::TokenChanged, outcome::ModuleLoadFailed,
                                 outcome::PinIncorrect, outcome::PinLocked, outcome::Pkcs11Failed,
                                 outcome::KeyResolutionFailed, outcome::UnsupportedKeyType,
                                 outcome::DigestKeyMismatch>;

} // namespace korvan::engine
