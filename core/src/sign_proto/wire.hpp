#pragma once

// What reading and writing requests and responses have in common.

#include "korvan/platform/secure_zero.hpp"
#include "korvan/platform/streams.hpp"
#include "korvan/sign_proto/frames.hpp"

#include <cstdint>
#include <span>
#include <variant>

namespace korvan::sign_proto::wire {

namespace type {
constexpr std::uint8_t login = 0x01;
constexpr std::uint8_t sign = 0x02;
constexpr std::uint8_t query_token_flags = 0x03;
constexpr std::uint8_t close = 0x04;
constexpr std::uint8_t reserved = 0x7F;
constexpr std::uint8_t hello = 0x80;
constexpr std::uint8_t session_ready = 0x81;
constexpr std::uint8_t signature = 0x82;
constexpr std::uint8_t token_flags = 0x83;
constexpr std::uint8_t goodbye = 0x84;
constexpr std::uint8_t error = 0x8F;
} // namespace type

inline bool known_code(Proto3ErrorCode code) {
    const auto value = static_cast<std::uint8_t>(code);
    return value >= 1 && value <= proto3_error_code_count;
}

inline bool known_kind(KeyKindCode kind) {
    const auto value = static_cast<std::uint8_t>(kind);
    return value >= 1 && value <= 4;
}

// Clears the frame buffer on every way out of a read.
class FrameWipe {
  public:
    explicit FrameWipe(FrameBuffer frame) : frame_(frame) {}
    FrameWipe(const FrameWipe&) = delete;
    FrameWipe& operator=(const FrameWipe&) = delete;
    ~FrameWipe() { platform::secure_zero(frame_.data(), frame_.size()); }

  private:
    FrameBuffer frame_;
};

enum class Fill { Full, EndAtStart, EndInside, Error };

// Reads until the span is full, the input ends, or a read fails.
Fill fill(platform::ByteSource& in, std::span<std::uint8_t> into);

// Whether a frame of this type may have this length field; asked before the payload is read.
using LengthRule = bool (*)(std::uint8_t type, std::uint32_t length, bool accept_reserved);

struct RawFrame {
    std::uint8_t type;
    std::span<const std::uint8_t> payload; // inside the frame buffer
};

// One frame into the buffer (type byte first, then the payload).
std::variant<RawFrame, ReadFailure> read_raw(platform::ByteSource& in, FrameBuffer frame,
                                             LengthRule rule, bool accept_reserved);

// An encoder's output, sized once: length field and type byte written, payload appended.
platform::SecretBytes start_frame(std::uint8_t type, std::size_t payload_size);
void put_u8(platform::SecretBytes& out, std::uint8_t value);
void put_u32(platform::SecretBytes& out, std::uint32_t value);
void put_u64(platform::SecretBytes& out, std::uint64_t value);
void put_bytes(platform::SecretBytes& out, std::span<const std::uint8_t> bytes);

std::uint32_t get_u32(std::span<const std::uint8_t> from);
std::uint64_t get_u64(std::span<const std::uint8_t> from);

// Writes an encoded frame; the buffer is released (and so wiped) before this returns.
WriteOutcome write_encoded(platform::ByteSink& out, EncodeOutcome encoded);

} // namespace korvan::sign_proto::wire
