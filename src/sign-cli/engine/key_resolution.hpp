#pragma once

#include "engine/key_kind.hpp"
#include "engine/module.hpp"
#include "engine/sign_outcome.hpp"

#include "korvan/platform/streams.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace korvan::engine {

struct KeyFound {
    int count; // 0, 1, or 2 for "two or more"
    CK_OBJECT_HANDLE first;
};
using KeyLookup = std::variant<KeyFound, outcome::Pkcs11Failed>;

using KeyKindResolution =
    std::variant<KeyKind, outcome::KeyResolutionFailed, outcome::UnsupportedKeyType>;

inline constexpr CK_ULONG max_attribute_length = 4096;

// Private keys, filtered by CKA_ID when one is given; announces the filter on `progress`.
KeyLookup find_private_key(Module& module, CK_SESSION_HANDLE session,
                           std::span<const std::uint8_t> cka_id, platform::ByteSink& progress);

// The attribute's bytes (1 to 4096 of them), or none when it cannot be read.
std::optional<std::vector<std::uint8_t>> read_attribute(Module& module, CK_SESSION_HANDLE session,
                                                        CK_OBJECT_HANDLE object,
                                                        CK_ATTRIBUTE_TYPE type);

// The key type, known only when exactly a CK_KEY_TYPE's bytes came back.
std::optional<CK_KEY_TYPE> key_type_from(const std::optional<std::vector<std::uint8_t>>& value);

KeyKindResolution resolve_key_kind(std::optional<KeyKind> requested,
                                   std::optional<CK_KEY_TYPE> key_type,
                                   const std::optional<std::vector<std::uint8_t>>& ec_params);

std::optional<outcome::DigestKeyMismatch> check_digest_size(KeyKind kind,
                                                            std::size_t digest_length);

} // namespace korvan::engine
