#include "engine/signing.hpp"
#include "engine/der.hpp"
#include "shared/text_sink.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace korvan::engine {

CK_MECHANISM_TYPE mechanism_for(KeyKind kind) {
    return kind == KeyKind::rsa ? CKM_RSA_PKCS : CKM_ECDSA;
}

std::vector<std::uint8_t> data_to_sign(KeyKind kind, std::span<const std::uint8_t> digest) {
    const std::size_t prefix = kind == KeyKind::rsa ? sha256_digest_info_prefix.size() : 0;
    std::vector<std::uint8_t> data(prefix + digest.size());
    std::copy_n(sha256_digest_info_prefix.begin(), prefix, data.begin());
    std::copy(digest.begin(), digest.end(), data.begin() + static_cast<std::ptrdiff_t>(prefix));
    return data;
}

SignOutcome map_sign_error(std::string label, CK_RV rv) {
    if (rv == CKR_MECHANISM_INVALID) {
        return outcome::UnsupportedKeyType{"token bu anahtarın imza mekanizmasını desteklemiyor"};
    }
    return outcome::Pkcs11Failed{std::move(label), static_cast<std::uint32_t>(rv)};
}

SignOutcome sign_digest(Module& module, SessionGuard& session, CK_OBJECT_HANDLE key, KeyKind kind,
                        std::span<const std::uint8_t> digest, platform::ByteSink& progress) {
    CK_MECHANISM mechanism{mechanism_for(kind), nullptr, 0};
    const Call init = module.sign_init(session.handle(), &mechanism, key);
    if (!init) {
        session.release();
        return outcome::Pkcs11Failed{"C_SignInit (null fn)", CKR_FUNCTION_NOT_SUPPORTED};
    }
    if (*init != CKR_OK) {
        session.release();
        return map_sign_error("C_SignInit", *init);
    }
    const std::vector<std::uint8_t> data = data_to_sign(kind, digest);

    CK_ULONG length = 0;
    const Call probe = module.sign(session.handle(), data, nullptr, &length);
    if (!probe) {
        session.release();
        return outcome::Pkcs11Failed{"C_Sign (null fn)", CKR_FUNCTION_NOT_SUPPORTED};
    }
    if (*probe != CKR_OK) {
        session.release();
        return map_sign_error("C_Sign (length probe)", *probe);
    }
    if (length > max_signature_length) {
        session.release();
        return outcome::Pkcs11Failed{"C_Sign (length probe)", 0};
    }
    // One spare byte so a zero-length answer still passes a real buffer, not a second probe.
    std::vector<std::uint8_t> buffer(length + 1, 0);
    CK_ULONG returned = length;
    const Call signed_ = module.sign(session.handle(), data, buffer.data(), &returned);
    if (*signed_ != CKR_OK) {
        session.release();
        return map_sign_error("C_Sign", *signed_);
    }
    buffer.resize(std::min<CK_ULONG>(length, returned));
    if (buffer.empty()) {
        // CKR_OK with no bytes is no signature; the parent must not get an empty one as success.
        session.release();
        return outcome::Pkcs11Failed{"C_Sign", 0};
    }
    cli::write_text(progress, fmt::format("\u2713 C_Sign OK ({} bytes)\n", buffer.size()));
    session.release();

    if (kind == KeyKind::rsa) {
        return outcome::Signed{std::move(buffer)};
    }
    if (buffer.size() != traits(kind).raw_signature_length) {
        return outcome::Pkcs11Failed{"C_Sign (unexpected ECDSA signature length)", 0};
    }
    auto der = ecdsa_raw_to_der(buffer);
    if (!der) {
        return outcome::Pkcs11Failed{"C_Sign (malformed ECDSA signature)", 0};
    }
    return outcome::Signed{std::move(*der)};
}

} // namespace korvan::engine
