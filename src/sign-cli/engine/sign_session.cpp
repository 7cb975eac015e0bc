#include "engine/sign_session.hpp"
#include "engine/key_resolution.hpp"
#include "engine/module.hpp"
#include "engine/session_guard.hpp"
#include "engine/signing.hpp"
#include "engine/token_identity.hpp"
#include "shared/text_sink.hpp"

#include <fmt/format.h>

namespace korvan::engine {
namespace {

outcome::Pkcs11Failed failed(std::string label, CK_RV rv) {
    return {std::move(label), static_cast<std::uint32_t>(rv)};
}

outcome::Pkcs11Failed missing_entry(std::string label) {
    return failed(std::move(label) + " (null fn)", CKR_FUNCTION_NOT_SUPPORTED);
}

// Everything after "✓ C_Login OK" in sign mode; `session` is logged in.
SignOutcome resolve_and_sign(Module& module, SessionGuard& session, const SignRequest& request,
                             platform::ByteSink& progress) {
    const KeyLookup lookup = find_private_key(module, session.handle(), request.cka_id, progress);
    if (const auto* failure = std::get_if<outcome::Pkcs11Failed>(&lookup)) {
        return *failure;
    }
    const KeyFound found = std::get<KeyFound>(lookup);
    const bool filtered = !request.cka_id.empty();
    if (found.count == 0) {
        return outcome::KeyResolutionFailed{
            filtered ? "sertifikanın CKA_ID'sine ait imza anahtarı bulunamadı"
                     : "token üzerinde imza anahtarı bulunamadı"};
    }
    if (found.count == 2) {
        return outcome::KeyResolutionFailed{
            filtered ? "CKA_ID birden çok anahtarla eşleşti, doğru anahtar belirlenemedi"
                     : "birden çok imza anahtarı var, sertifikaya ait anahtar belirlenemedi "
                       "(CKA_ID gerekli)"};
    }
    cli::write_text(progress, fmt::format("\u2713 Private key handle: {}\n", found.first));

    const auto key_type =
        key_type_from(read_attribute(module, session.handle(), found.first, CKA_KEY_TYPE));
    std::optional<std::vector<std::uint8_t>> ec_params;
    if (key_type == CKK_EC) {
        ec_params = read_attribute(module, session.handle(), found.first, CKA_EC_PARAMS);
    }
    const KeyKindResolution resolution =
        resolve_key_kind(request.requested_kind, key_type, ec_params);
    if (const auto* failure = std::get_if<outcome::KeyResolutionFailed>(&resolution)) {
        return *failure;
    }
    if (const auto* failure = std::get_if<outcome::UnsupportedKeyType>(&resolution)) {
        return *failure;
    }
    const KeyKind kind = std::get<KeyKind>(resolution);
    if (auto mismatch = check_digest_size(kind, request.digest.size())) {
        return *mismatch;
    }
    cli::write_text(progress, fmt::format("\u2713 Key kind: {}\n", to_text(kind)));
    return sign_digest(module, session, found.first, kind, request.digest, progress);
}

// From an initialised module to the end of the run; the module stays loaded.
SignOutcome run_on_module(Module& module, const SignRequest& request,
                          platform::ByteSink& progress) {
    const auto located = locate_token(module, request.slot_id, request.expected_token);
    if (std::holds_alternative<token_check::Changed>(located)) {
        return outcome::TokenChanged{};
    }
    if (const auto* failure = std::get_if<token_check::Failed>(&located)) {
        return failed("C_GetTokenInfo", failure->rv);
    }
    const CK_SLOT_ID slot = std::get<CK_SLOT_ID>(located);

    CK_SESSION_HANDLE handle = 0;
    const Call opened = module.open_session(slot, &handle);
    if (!opened) {
        return missing_entry("C_OpenSession");
    }
    if (*opened != CKR_OK) {
        if (is_token_gone(*opened)) {
            return outcome::TokenChanged{};
        }
        return failed("C_OpenSession", *opened);
    }
    SessionGuard session(module, handle);
    cli::write_text(progress, fmt::format("\u2713 Session opened: {}\n", handle));

    const TokenCheck recheck = check_token_in_slot(module, slot, request.expected_token);
    if (std::holds_alternative<token_check::Changed>(recheck)) {
        return outcome::TokenChanged{};
    }
    if (const auto* failure = std::get_if<token_check::Failed>(&recheck)) {
        return failed("C_GetTokenInfo", failure->rv);
    }
    cli::write_text(progress, "\u2713 Token matches the listed card\n");

    const Call login = module.login(handle, CKU_USER, request.pin);
    if (!login) {
        return missing_entry("C_Login");
    }
    if (*login == CKR_PIN_INCORRECT) {
        return outcome::PinIncorrect{};
    }
    if (*login == CKR_PIN_LOCKED) {
        return outcome::PinLocked{};
    }
    if (*login != CKR_OK) {
        return failed("C_Login", *login);
    }
    session.logged_in();
    cli::write_text(progress, "\u2713 C_Login OK\n");

    if (request.verify_only) {
        session.release();
        return outcome::Signed{};
    }
    return resolve_and_sign(module, session, request, progress);
}

} // namespace

SignOutcome run_sign_session(const SignRequest& request, platform::ByteSink& progress) {
    if (!request.verify_only && request.requested_kind) {
        if (auto mismatch = check_digest_size(*request.requested_kind, request.digest.size())) {
            return *mismatch;
        }
    }
    auto loaded = Module::load(request.module_path, request.held_module);
    if (auto* failure = std::get_if<SignOutcome>(&loaded)) {
        return std::move(*failure);
    }
    Module& module = std::get<Module>(loaded);

    const Call initialized = module.initialize();
    if (!initialized) {
        return failed("C_Initialize (null fn)", 0);
    }
    if (*initialized != CKR_OK && *initialized != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return failed("C_Initialize", *initialized);
    }
    // Middleware starts threads in C_Initialize, and without C_Finalize they keep running its
    // code: the library stays loaded until the process exits right after the outcome.
    module.keep_loaded();
    cli::write_text(progress, "\u2713 C_Initialize OK\n");
    return run_on_module(module, request, progress);
}

} // namespace korvan::engine
