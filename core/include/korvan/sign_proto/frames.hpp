#pragma once

// The frames of the binary conversation between the parent application and sign-cli, as values.

#include "korvan/platform/secret.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

namespace korvan::sign_proto {

// The line sign-cli writes before its first frame: "<<KORVAN_SIGN_PROTO_3 v=0.1.0>>" and a line
// feed, 32 bytes in all.
std::span<const std::uint8_t> marker_line();

// The reader's scratch space; also the largest length field it accepts.
inline constexpr std::size_t frame_buffer_size = 2048;
using FrameBuffer = std::span<std::uint8_t, frame_buffer_size>;

inline constexpr std::size_t max_signature_size = 1024;

// Wire values: never renumber.
enum class Proto3ErrorCode : std::uint8_t {
    ProtocolViolation = 1,
    ModuleRejected = 2,
    ModuleLoadFailed = 3,
    Pkcs11Failure = 4,
    TokenMismatch = 5,
    PinIncorrect = 6,
    PinLocked = 7,
    PinExpired = 8,
    PinInvalid = 9,
    PinFinalTry = 10,
    KeyNotFound = 11,
    KeyUnsupported = 12,
    DigestLengthMismatch = 13,
    NotLoggedIn = 14,
    ContextLoginFailed = 15,
    TokenRemoved = 16,
    TokenInfoUnavailable = 17,
};
inline constexpr std::uint8_t proto3_error_code_count = 17;

// Any failed step; travels to the parent as the Error frame. token_flags is only meaningful with
// has_token_flags, and is sent as zeros without it.
struct Proto3Failure {
    Proto3ErrorCode code = Proto3ErrorCode::ProtocolViolation;
    std::uint64_t rv = 0;
    bool has_token_flags = false;
    std::uint64_t token_flags = 0;
};

// Requests, parent to child.
struct Login {
    bool allow_final_try = false;
    platform::SecretBytes pin; // 1 to 255 bytes, any values
};
struct Sign {
    std::uint32_t request_id = 0;
    std::vector<std::uint8_t> digest; // 32, 48 or 64 bytes
};
struct QueryTokenFlags {};
struct Close {};
// Type 0x7F: no meaning; accepted only when the reader is asked to.
struct Reserved {};
using Proto3Request = std::variant<Login, Sign, QueryTokenFlags, Close, Reserved>;

// Responses, child to parent. A failure is sent as Proto3Failure (the Error frame).
enum class KeyKindCode : std::uint8_t { rsa = 1, ec_p256 = 2, ec_p384 = 3, ec_p521 = 4 };
struct Hello {};
struct SessionReady {
    KeyKindCode key_kind = KeyKindCode::rsa;
    bool always_authenticate = false;
};
struct Signature {
    std::uint32_t request_id = 0;
    std::vector<std::uint8_t> signature; // 1 to 1024 bytes
};
struct TokenFlags {
    std::uint64_t flags = 0;
};
struct Goodbye {};
using Proto3Response =
    std::variant<Hello, SessionReady, Signature, TokenFlags, Goodbye, Proto3Failure>;

// EndOfInput: the input ended before the first byte of a frame. Malformed: any break of the frame
// rules, including input that ends inside a frame. Io: a read failed.
enum class ReadFailure { EndOfInput, Malformed, Io };
// Malformed: the value cannot be put on the wire, and nothing was written. Io: the write failed.
enum class WriteFailure { Malformed, Io };
struct Written {};
using WriteOutcome = std::variant<Written, WriteFailure>;
using EncodeOutcome = std::variant<platform::SecretBytes, WriteFailure>;

} // namespace korvan::sign_proto
