#include "korvan/sign_proto/child.hpp"

#include "wire.hpp"

namespace korvan::sign_proto {
namespace {
bool request_length_fits(std::uint8_t frame_type, std::uint32_t length, bool accept_reserved) {
    switch (frame_type) {
    case wire::type::login:
        return length >= 4 && length <= 258;
    case wire::type::sign:
        return length == 37 || length == 53 || length == 69;
    case wire::type::query_token_flags:
    case wire::type::close:
        return length == 1;
    case wire::type::reserved:
        return length == 1 && accept_reserved;
    default:
        return false;
    }
}

RequestRead decode_request(const wire::RawFrame& raw) {
    const auto payload = raw.payload;
    switch (raw.type) {
    case wire::type::login: {
        const std::uint8_t flag = payload[0];
        const std::uint8_t pin_size = payload[1];
        if (flag > 1 || pin_size != payload.size() - 2) {
            return ReadFailure::Malformed;
        }
        Login login;
        login.allow_final_try = flag == 1;
        login.pin.assign(payload.begin() + 2, payload.end());
        return Proto3Request{std::move(login)};
    }
    case wire::type::sign: {
        Sign sign;
        sign.request_id = wire::get_u32(payload);
        sign.digest.assign(payload.begin() + 4, payload.end());
        return Proto3Request{std::move(sign)};
    }
    case wire::type::query_token_flags:
        return Proto3Request{QueryTokenFlags{}};
    case wire::type::close:
        return Proto3Request{Close{}};
    default:
        return Proto3Request{Reserved{}};
    }
}

struct ResponseEncoder {
    EncodeOutcome operator()(const Hello&) const { return wire::start_frame(wire::type::hello, 0); }

    EncodeOutcome operator()(const SessionReady& ready) const {
        if (!wire::known_kind(ready.key_kind)) {
            return WriteFailure::Malformed;
        }
        auto out = wire::start_frame(wire::type::session_ready, 2);
        wire::put_u8(out, static_cast<std::uint8_t>(ready.key_kind));
        wire::put_u8(out, ready.always_authenticate ? 1 : 0);
        return out;
    }

    EncodeOutcome operator()(const Signature& signature) const {
        const auto size = signature.signature.size();
        if (size == 0 || size > max_signature_size) {
            return WriteFailure::Malformed;
        }
        auto out = wire::start_frame(wire::type::signature, 4 + size);
        wire::put_u32(out, signature.request_id);
        wire::put_bytes(out, signature.signature);
        return out;
    }

    EncodeOutcome operator()(const TokenFlags& flags) const {
        auto out = wire::start_frame(wire::type::token_flags, 8);
        wire::put_u64(out, flags.flags);
        return out;
    }

    EncodeOutcome operator()(const Goodbye&) const {
        return wire::start_frame(wire::type::goodbye, 0);
    }

    EncodeOutcome operator()(const Proto3Failure& failure) const {
        // A code the parent does not know would be a failure it cannot act on.
        if (!wire::known_code(failure.code)) {
            return WriteFailure::Malformed;
        }
        auto out = wire::start_frame(wire::type::error, 18);
        wire::put_u8(out, static_cast<std::uint8_t>(failure.code));
        wire::put_u64(out, failure.rv);
        wire::put_u8(out, failure.has_token_flags ? 1 : 0);
        wire::put_u64(out, failure.has_token_flags ? failure.token_flags : 0);
        return out;
    }
};

} // namespace

RequestRead read_frame(platform::ByteSource& in, FrameBuffer frame, bool accept_reserved) {
    const wire::FrameWipe wipe(frame);
    auto raw = wire::read_raw(in, frame, request_length_fits, accept_reserved);
    if (auto* failure = std::get_if<ReadFailure>(&raw)) {
        return *failure;
    }
    return decode_request(std::get<wire::RawFrame>(raw));
}

EncodeOutcome encode_frame(const Proto3Response& response) {
    return std::visit(ResponseEncoder{}, response);
}

WriteOutcome write_frame(platform::ByteSink& out, const Proto3Response& response) {
    return wire::write_encoded(out, encode_frame(response));
}

} // namespace korvan::sign_proto
