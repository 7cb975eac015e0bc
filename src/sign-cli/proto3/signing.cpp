#include "proto3/signing.hpp"
#include "engine/der.hpp"
#include "engine/signing.hpp"

#include <array>

namespace korvan::cli {

using sign_proto::Proto3ErrorCode;

std::variant<std::vector<std::uint8_t>, Proto3Failure>
sign_request(Proto3Session& session, const Proto3Args& args, const Proto3Key& key,
             std::optional<std::span<const std::uint8_t>> pin,
             std::span<const std::uint8_t> digest) {
    if (auto failed = confirm_token(session, args.expected_token)) {
        return *failed;
    }
    const engine::KeyKindTraits& kind = engine::traits(key.kind);
    if (digest.size() != kind.digest_length) {
        return failure(Proto3ErrorCode::DigestLengthMismatch);
    }
    CK_MECHANISM mechanism{engine::mechanism_for(key.kind), nullptr, 0};
    const engine::Call init = session.module.sign_init(session.handle, &mechanism, key.handle);
    if (!init) {
        return failure(Proto3ErrorCode::Pkcs11Failure, CKR_FUNCTION_NOT_SUPPORTED);
    }
    if (*init != CKR_OK) {
        return signing_failure_code(*init, key.always_authenticate);
    }
    if (key.always_authenticate) {
        if (auto failed = log_in(session, LoginKind::ContextSpecific,
                                 pin.value_or(std::span<const std::uint8_t>()))) {
            return *failed;
        }
    }
    const std::vector<std::uint8_t> data = engine::data_to_sign(key.kind, digest);
    std::array<std::uint8_t, proto3_signature_buffer> buffer{};
    CK_ULONG length = buffer.size();
    const engine::Call signed_ = session.module.sign(session.handle, data, buffer.data(), &length);
    if (!signed_) {
        return failure(Proto3ErrorCode::Pkcs11Failure, CKR_FUNCTION_NOT_SUPPORTED);
    }
    if (*signed_ != CKR_OK) {
        return signing_failure_code(*signed_, key.always_authenticate);
    }
    if (length < 1 || length > buffer.size()) {
        return failure(Proto3ErrorCode::Pkcs11Failure);
    }
    const std::span<const std::uint8_t> raw(buffer.data(), length);
    if (key.kind == engine::KeyKind::rsa) {
        return std::vector<std::uint8_t>(raw.begin(), raw.end());
    }
    if (raw.size() != kind.raw_signature_length) {
        return failure(Proto3ErrorCode::Pkcs11Failure);
    }
    auto der = engine::ecdsa_raw_to_der(raw);
    if (!der) {
        return failure(Proto3ErrorCode::Pkcs11Failure);
    }
    return std::move(*der);
}

Proto3Failure signing_failure_code(CK_RV rv, bool always_authenticate) {
    Proto3ErrorCode code = Proto3ErrorCode::Pkcs11Failure;
    if (is_token_removed(rv)) {
        code = Proto3ErrorCode::TokenRemoved;
    } else if (rv == CKR_MECHANISM_INVALID) {
        code = Proto3ErrorCode::KeyUnsupported;
    } else if (rv == CKR_PIN_EXPIRED) {
        code = Proto3ErrorCode::PinExpired;
    } else if (rv == CKR_PIN_LOCKED) {
        code = Proto3ErrorCode::PinLocked;
    } else if (rv == CKR_USER_NOT_LOGGED_IN && !always_authenticate) {
        code = Proto3ErrorCode::NotLoggedIn;
    }
    return failure(code, rv);
}

} // namespace korvan::cli
