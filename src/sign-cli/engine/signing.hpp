#pragma once

#include "engine/key_kind.hpp"
#include "engine/module.hpp"
#include "engine/session_guard.hpp"
#include "engine/sign_outcome.hpp"

#include "korvan/platform/streams.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

namespace korvan::engine {

// The DER header of a PKCS#1 v1.5 DigestInfo for SHA-256, up to the digest's octet string.
inline constexpr std::array<std::uint8_t, 19> sha256_digest_info_prefix{
    0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

// No real signature is this long; a larger length answer is not allocated.
inline constexpr CK_ULONG max_signature_length = 64 * 1024;

CK_MECHANISM_TYPE mechanism_for(KeyKind kind);

// What the token signs: the DigestInfo for RSA, the bare digest for ECDSA.
std::vector<std::uint8_t> data_to_sign(KeyKind kind, std::span<const std::uint8_t> digest);

SignOutcome map_sign_error(std::string label, CK_RV rv);

// Signs inside the logged-in session and releases it (log out, close) on every path before the
// raw signature is turned into its final form.
SignOutcome sign_digest(Module& module, SessionGuard& session, CK_OBJECT_HANDLE key, KeyKind kind,
                        std::span<const std::uint8_t> digest, platform::ByteSink& progress);

} // namespace korvan::engine
