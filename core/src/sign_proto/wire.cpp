#include "wire.hpp"

#include <array>

namespace korvan::sign_proto::wire {

Fill fill(platform::ByteSource& in, std::span<std::uint8_t> into) {
    std::size_t got = 0;
    while (got < into.size()) {
        const auto result = in.read_some(into.subspan(got));
        if (result.status == platform::ReadResult::Status::End) {
            return got == 0 ? Fill::EndAtStart : Fill::EndInside;
        }
        // A source that claims data it did not give is treated as broken, not trusted.
        if (result.status != platform::ReadResult::Status::Data || result.count == 0 ||
            result.count > into.size() - got) {
            return Fill::Error;
        }
        got += result.count;
    }
    return Fill::Full;
}

namespace {

// End of input inside a frame is a malformed frame, not the end of the conversation.
ReadFailure inside_frame(Fill outcome) {
    return outcome == Fill::Error ? ReadFailure::Io : ReadFailure::Malformed;
}

} // namespace

std::variant<RawFrame, ReadFailure> read_raw(platform::ByteSource& in, FrameBuffer frame,
                                             LengthRule rule, bool accept_reserved) {
    // The length goes into the frame buffer too, so it is wiped with the rest.
    const auto length_bytes = frame.first<4>();
    switch (fill(in, length_bytes)) {
    case Fill::Full:
        break;
    case Fill::EndAtStart:
        return ReadFailure::EndOfInput;
    case Fill::EndInside:
        return ReadFailure::Malformed;
    case Fill::Error:
        return ReadFailure::Io;
    }
    const std::uint32_t length = get_u32(length_bytes);
    if (length == 0 || length > frame.size()) {
        return ReadFailure::Malformed;
    }

    const auto body = frame.first(length);
    if (const Fill outcome = fill(in, body.first(1)); outcome != Fill::Full) {
        return inside_frame(outcome);
    }
    const std::uint8_t type = body[0];
    if (!rule(type, length, accept_reserved)) {
        return ReadFailure::Malformed;
    }
    if (const Fill outcome = fill(in, body.subspan(1)); outcome != Fill::Full) {
        return inside_frame(outcome);
    }
    return RawFrame{type, body.subspan(1)};
}

platform::SecretBytes start_frame(std::uint8_t type, std::size_t payload_size) {
    platform::SecretBytes out;
    out.reserve(payload_size + 5);
    put_u32(out, static_cast<std::uint32_t>(payload_size + 1));
    put_u8(out, type);
    return out;
}

void put_u8(platform::SecretBytes& out, std::uint8_t value) {
    out.push_back(value);
}

void put_u32(platform::SecretBytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_u64(platform::SecretBytes& out, std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_bytes(platform::SecretBytes& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::uint32_t get_u32(std::span<const std::uint8_t> from) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | from[i];
    }
    return value;
}

std::uint64_t get_u64(std::span<const std::uint8_t> from) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value = (value << 8) | from[i];
    }
    return value;
}

WriteOutcome write_encoded(platform::ByteSink& out, EncodeOutcome encoded) {
    auto* bytes = std::get_if<platform::SecretBytes>(&encoded);
    if (bytes == nullptr) {
        return std::get<WriteFailure>(encoded);
    }
    const bool written = out.write_all(*bytes);
    platform::release(*bytes);
    if (!written) {
        return WriteFailure::Io;
    }
    return Written{};
}

} // namespace korvan::sign_proto::wire
