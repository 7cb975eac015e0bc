#pragma once

#include "proto3/token_session.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace korvan::cli {

// The token's buffer for one signature; no length query comes first.
inline constexpr CK_ULONG proto3_signature_buffer = 1024;

// Confirms the token, then signs one digest: the signature as it goes on the wire (DER for ECDSA).
// `pin` is the retained PIN, given only for keys that need a context-specific login.
std::variant<std::vector<std::uint8_t>, Proto3Failure>
sign_request(Proto3Session& session, const Proto3Args& args, const Proto3Key& key,
             std::optional<std::span<const std::uint8_t>> pin,
             std::span<const std::uint8_t> digest);

Proto3Failure signing_failure_code(CK_RV rv, bool always_authenticate);

} // namespace korvan::cli
