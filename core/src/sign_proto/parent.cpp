#include "korvan/sign_proto/parent.hpp"

#include "wire.hpp"

#include <algorithm>
#include <array>

namespace korvan::sign_proto {
namespace {

bool response_length_fits(std::uint8_t frame_type, std::uint32_t length, bool) {
    switch (frame_type) {
    case wire::type::hello:
    case wire::type::goodbye:
        return length == 1;
    case wire::type::session_ready:
        return length == 3;
    case wire::type::signature:
        return length >= 6 && length <= 5 + max_signature_size;
    case wire::type::token_flags:
        return length == 9;
    case wire::type::error:
        return length == 19;
    default:
        return false;
    }
}

ResponseRead decode_response(const wire::RawFrame& raw) {
    const auto payload = raw.payload;
    switch (raw.type) {
    case wire::type::hello:
        return Proto3Response{Hello{}};
    case wire::type::goodbye:
        return Proto3Response{Goodbye{}};
    case wire::type::session_ready: {
        const auto kind = static_cast<KeyKindCode>(payload[0]);
        if (!wire::known_kind(kind) || payload[1] > 1) {
            return ReadFailure::Malformed;
        }
        return Proto3Response{SessionReady{kind, payload[1] == 1}};
    }
    case wire::type::signature: {
        Signature signature;
        signature.request_id = wire::get_u32(payload);
        signature.signature.assign(payload.begin() + 4, payload.end());
        return Proto3Response{std::move(signature)};
    }
    case wire::type::token_flags:
        return Proto3Response{TokenFlags{wire::get_u64(payload)}};
    default: {
        Proto3Failure failure;
        failure.code = static_cast<Proto3ErrorCode>(payload[0]);
        failure.rv = wire::get_u64(payload.subspan(1));
        const std::uint8_t has_flags = payload[9];
        failure.token_flags = wire::get_u64(payload.subspan(10));
        // Flags without the has-flags byte must be zeros; anything else is a sender's fault.
        if (!wire::known_code(failure.code) || has_flags > 1 ||
            (has_flags == 0 && failure.token_flags != 0)) {
            return ReadFailure::Malformed;
        }
        failure.has_token_flags = has_flags == 1;
        return Proto3Response{failure};
    }
    }
}

struct RequestEncoder {
    EncodeOutcome operator()(const Login& login) const {
        const auto size = login.pin.size();
        if (size == 0 || size > 255) {
            return WriteFailure::Malformed;
        }
        auto out = wire::start_frame(wire::type::login, 2 + size);
        wire::put_u8(out, login.allow_final_try ? 1 : 0);
        wire::put_u8(out, static_cast<std::uint8_t>(size));
        wire::put_bytes(out, login.pin);
        return out;
    }

    EncodeOutcome operator()(const Sign& sign) const {
        const auto size = sign.digest.size();
        if (size != 32 && size != 48 && size != 64) {
            return WriteFailure::Malformed;
        }
        auto out = wire::start_frame(wire::type::sign, 4 + size);
        wire::put_u32(out, sign.request_id);
        wire::put_bytes(out, sign.digest);
        return out;
    }

    EncodeOutcome operator()(const QueryTokenFlags&) const {
        return wire::start_frame(wire::type::query_token_flags, 0);
    }

    EncodeOutcome operator()(const Close&) const { return wire::start_frame(wire::type::close, 0); }

    // sign-cli refuses it; a parent has no reason to send it.
    EncodeOutcome operator()(const Reserved&) const { return WriteFailure::Malformed; }
};

} // namespace

std::variant<Marker, ReadFailure> read_marker(platform::ByteSource& in) {
    const auto expected = marker_line();
    std::array<std::uint8_t, 32> got{};
    switch (wire::fill(in, std::span(got).first(expected.size()))) {
    case wire::Fill::Full:
        break;
    case wire::Fill::EndAtStart:
        return ReadFailure::EndOfInput;
    case wire::Fill::EndInside:
        return ReadFailure::Malformed;
    case wire::Fill::Error:
        return ReadFailure::Io;
    }
    if (!std::equal(expected.begin(), expected.end(), got.begin())) {
        return ReadFailure::Malformed;
    }
    return Marker{};
}

EncodeOutcome encode_request(const Proto3Request& request) {
    return std::visit(RequestEncoder{}, request);
}

WriteOutcome write_request(platform::ByteSink& out, const Proto3Request& request) {
    return wire::write_encoded(out, encode_request(request));
}

ResponseRead read_response(platform::ByteSource& in, FrameBuffer frame) {
    const wire::FrameWipe wipe(frame);
    auto raw = wire::read_raw(in, frame, response_length_fits, false);
    if (auto* failure = std::get_if<ReadFailure>(&raw)) {
        return *failure;
    }
    return decode_response(std::get<wire::RawFrame>(raw));
}

} // namespace korvan::sign_proto
