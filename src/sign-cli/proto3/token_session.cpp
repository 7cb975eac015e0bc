#include "proto3/token_session.hpp"
#include "engine/key_resolution.hpp"
#include "engine/token_identity.hpp"
#include "shared/text_sink.hpp"

#include <chrono>
#include <thread>

namespace korvan::cli {
namespace {

using sign_proto::Proto3ErrorCode;

constexpr CK_RV missing_entry = CKR_FUNCTION_NOT_SUPPORTED;
constexpr int removal_rechecks = 10;
constexpr auto removal_recheck_pause = std::chrono::milliseconds(100);

// A module without C_GetTokenInfo is reported with every bit of the wire's rv set.
std::uint64_t wire_rv(CK_RV rv) {
    return rv == engine::token_info_missing ? ~std::uint64_t{0} : std::uint64_t{rv};
}

Proto3Failure token_check_failure(CK_RV rv) {
    return failure(
        is_token_removed(rv) ? Proto3ErrorCode::TokenRemoved : Proto3ErrorCode::Pkcs11Failure, rv);
}

std::optional<Proto3Failure> initialize(engine::Module& module) {
    const engine::Call rv = module.initialize();
    if (!rv) {
        return failure(Proto3ErrorCode::Pkcs11Failure, missing_entry);
    }
    if (*rv == CKR_OK || *rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return std::nullopt;
    }
    return token_check_failure(*rv);
}

std::optional<Proto3Failure> open_on_slot(Proto3Session& session,
                                          const engine::ExpectedToken& expected) {
    const engine::Call opened = session.module.open_session(session.slot, &session.handle);
    const CK_RV rv = opened.value_or(missing_entry);
    if (rv == CKR_OK) {
        session.session_open = true;
        return std::nullopt;
    }
    session.handle = 0;
    if (is_token_removed(rv)) {
        return failure(Proto3ErrorCode::TokenRemoved, rv);
    }
    const bool changed = std::holds_alternative<engine::token_check::Changed>(
        engine::classify_token_check(rv, nullptr, expected));
    return failure(changed ? Proto3ErrorCode::TokenMismatch : Proto3ErrorCode::Pkcs11Failure, rv);
}

std::optional<Proto3Failure> check_pin_state(Proto3Session& session, bool allow_final_try) {
    const auto flags = query_token_flags(session);
    if (const auto* failed = std::get_if<TokenInfoFailed>(&flags)) {
        // Without the flags a final try cannot be ruled out; only the parent may take that risk.
        if (allow_final_try) {
            return std::nullopt;
        }
        return failure(Proto3ErrorCode::TokenInfoUnavailable, failed->rv);
    }
    const CK_FLAGS token_flags = std::get<CK_FLAGS>(flags);
    if ((token_flags & CKF_USER_PIN_LOCKED) != 0) {
        return with_token_flags(failure(Proto3ErrorCode::PinLocked), flags);
    }
    if ((token_flags & CKF_USER_PIN_FINAL_TRY) != 0 && !allow_final_try) {
        return with_token_flags(failure(Proto3ErrorCode::PinFinalTry), flags);
    }
    return std::nullopt;
}

std::variant<Proto3Key, Proto3Failure> resolve_key(Proto3Session& session, const Proto3Args& args,
                                                   platform::ByteSink& error) {
    const engine::KeyLookup lookup =
        engine::find_private_key(session.module, session.handle, args.cka_id, error);
    if (const auto* failed = std::get_if<engine::outcome::Pkcs11Failed>(&lookup)) {
        return token_check_failure(failed->rv);
    }
    const engine::KeyFound found = std::get<engine::KeyFound>(lookup);
    if (found.count != 1) {
        return failure(Proto3ErrorCode::KeyNotFound);
    }
    const auto read = [&](CK_ATTRIBUTE_TYPE type) {
        return engine::read_attribute(session.module, session.handle, found.first, type);
    };
    const auto key_type = engine::key_type_from(read(CKA_KEY_TYPE));
    std::optional<std::vector<std::uint8_t>> ec_params;
    if (key_type == CKK_EC) {
        ec_params = read(CKA_EC_PARAMS);
    }
    const engine::KeyKindResolution resolution =
        engine::resolve_key_kind(args.requested_kind, key_type, ec_params);
    if (std::holds_alternative<engine::outcome::KeyResolutionFailed>(resolution)) {
        return failure(Proto3ErrorCode::KeyNotFound);
    }
    if (std::holds_alternative<engine::outcome::UnsupportedKeyType>(resolution)) {
        return failure(Proto3ErrorCode::KeyUnsupported);
    }
    const auto always_authenticate = read(CKA_ALWAYS_AUTHENTICATE);
    return Proto3Key{found.first, std::get<engine::KeyKind>(resolution),
                     always_authenticate && always_authenticate->size() == 1 &&
                         (*always_authenticate)[0] != 0};
}

} // namespace

bool is_token_removed(CK_RV rv) {
    return rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_CLOSED ||
           rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_TOKEN_NOT_PRESENT;
}

Proto3Failure failure(sign_proto::Proto3ErrorCode code, CK_RV rv) {
    return Proto3Failure{code, wire_rv(rv), false, 0};
}

std::variant<Proto3Session, Proto3Failure> load_session_module(const std::string& module_path,
                                                               const platform::ModuleFile* held,
                                                               platform::ByteSink& error) {
    using Stage = engine::Module::OpenFailure::Stage;
    auto opened = engine::Module::open(module_path, held);
    if (const auto* failed = std::get_if<engine::Module::OpenFailure>(&opened)) {
        switch (failed->stage) {
        case Stage::Library:
            // The loader's own words may carry the user's paths; the parent only needs the fact.
            write_text(error, "sign-cli proto3: dlopen failed\n");
            return failure(Proto3ErrorCode::ModuleLoadFailed);
        case Stage::EntryPoint:
            return failure(Proto3ErrorCode::ModuleLoadFailed);
        case Stage::FunctionList:
            break;
        }
        return failure(Proto3ErrorCode::Pkcs11Failure, failed->rv);
    }
    engine::Module& module = std::get<engine::Module>(opened);
    // Modules keep threads and handlers alive past C_Finalize; unloading one under them crashes.
    module.keep_loaded();
    return Proto3Session{std::move(module)};
}

std::variant<Proto3Key, Proto3Failure> open_session(Proto3Session& session, const Proto3Args& args,
                                                    bool allow_final_try,
                                                    std::span<const std::uint8_t> pin,
                                                    platform::ByteSink& error) {
    session.slot = static_cast<CK_SLOT_ID>(args.slot_id);
    if (auto failed = initialize(session.module)) {
        return *failed;
    }
    session.initialized = true;
    const auto located = engine::locate_token(session.module, session.slot, args.expected_token);
    if (std::holds_alternative<engine::token_check::Changed>(located)) {
        return failure(Proto3ErrorCode::TokenMismatch);
    }
    if (const auto* failed = std::get_if<engine::token_check::Failed>(&located)) {
        return token_check_failure(failed->rv);
    }
    session.slot = std::get<CK_SLOT_ID>(located);
    if (auto failed = open_on_slot(session, args.expected_token)) {
        return *failed;
    }
    if (auto failed = confirm_token(session, args.expected_token)) {
        return *failed;
    }
    if (auto failed = check_pin_state(session, allow_final_try)) {
        return *failed;
    }
    if (auto failed = log_in(session, LoginKind::User, pin)) {
        return *failed;
    }
    return resolve_key(session, args, error);
}

std::optional<Proto3Failure> confirm_token(Proto3Session& session,
                                           const engine::ExpectedToken& expected) {
    const auto read = engine::read_token_identity(session.module, session.slot);
    if (const auto* rv = std::get_if<CK_RV>(&read)) {
        if (is_token_removed(*rv)) {
            return failure(Proto3ErrorCode::TokenRemoved, *rv);
        }
        if (std::holds_alternative<engine::token_check::Changed>(
                engine::classify_token_check(*rv, nullptr, expected))) {
            return failure(Proto3ErrorCode::TokenMismatch);
        }
        return failure(Proto3ErrorCode::Pkcs11Failure, *rv);
    }
    const auto& identity = std::get<engine::TokenIdentity>(read);
    if (std::holds_alternative<engine::token_check::Match>(
            engine::check_token_identity(session.module, session.slot, identity, expected))) {
        return std::nullopt;
    }
    return failure(Proto3ErrorCode::TokenMismatch);
}

TokenFlagsQuery query_token_flags(Proto3Session& session) {
    CK_TOKEN_INFO info{};
    const CK_RV rv = session.module.get_token_info(session.slot, &info).value_or(missing_entry);
    if (rv != CKR_OK) {
        return TokenInfoFailed{rv};
    }
    return info.flags;
}

Proto3Failure removal_if_token_gone(Proto3Session& session, Proto3Failure failed) {
    using Code = Proto3ErrorCode;
    const Code code = failed.code;
    const bool module_fault = code == Code::Pkcs11Failure || code == Code::TokenMismatch ||
                              code == Code::NotLoggedIn || code == Code::ContextLoginFailed ||
                              code == Code::TokenInfoUnavailable;
    if (!session.initialized || failed.rv == 0 || !module_fault) {
        return failed;
    }
    for (int asked = 0;; ++asked) {
        CK_SLOT_INFO info{};
        const CK_RV rv = session.module.get_slot_info(session.slot, &info).value_or(missing_entry);
        if (rv != CKR_OK) {
            return failed;
        }
        if ((info.flags & CKF_TOKEN_PRESENT) == 0) {
            failed.code = Code::TokenRemoved;
            return failed;
        }
        // A reader's service may see a pulled card only after the call failed (pcscd polls its
        // readers every 400 ms): a removable slot is asked again for a second.
        if ((info.flags & CKF_REMOVABLE_DEVICE) == 0 || asked == removal_rechecks) {
            return failed;
        }
        std::this_thread::sleep_for(removal_recheck_pause);
    }
}

Proto3Failure with_token_flags(Proto3Failure failed, const TokenFlagsQuery& flags) {
    if (const auto* token_flags = std::get_if<CK_FLAGS>(&flags)) {
        failed.has_token_flags = true;
        failed.token_flags = *token_flags;
    }
    return failed;
}

void release_session(Proto3Session& session) {
    if (session.logged_in) {
        session.module.logout(session.handle);
        session.logged_in = false;
    }
    if (session.session_open) {
        session.module.close_session(session.handle);
        session.session_open = false;
    }
}

std::optional<Proto3Failure> log_in(Proto3Session& session, LoginKind kind,
                                    std::span<const std::uint8_t> pin) {
    const bool user = kind == LoginKind::User;
    const CK_RV rv =
        session.module.login(session.handle, user ? CKU_USER : CKU_CONTEXT_SPECIFIC, pin)
            .value_or(missing_entry);
    if (rv == CKR_OK || (user && rv == CKR_USER_ALREADY_LOGGED_IN)) {
        if (user) {
            session.logged_in = true;
        }
        return std::nullopt;
    }
    const auto flags = query_token_flags(session);
    const auto* token_flags = std::get_if<CK_FLAGS>(&flags);
    return login_failure_code(kind, rv, token_flags != nullptr, token_flags ? *token_flags : 0);
}

Proto3Failure login_failure_code(LoginKind kind, CK_RV rv, bool has_token_flags,
                                 CK_FLAGS token_flags) {
    const bool user = kind == LoginKind::User;
    Proto3ErrorCode code =
        user ? Proto3ErrorCode::Pkcs11Failure : Proto3ErrorCode::ContextLoginFailed;
    if (has_token_flags && (token_flags & CKF_USER_PIN_LOCKED) != 0) {
        code = Proto3ErrorCode::PinLocked;
    } else if (rv == CKR_PIN_INCORRECT) {
        code = Proto3ErrorCode::PinIncorrect;
    } else if (user && (rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE ||
                        rv == CKR_USER_PIN_NOT_INITIALIZED)) {
        code = Proto3ErrorCode::PinInvalid;
    } else if (user && rv == CKR_PIN_EXPIRED) {
        code = Proto3ErrorCode::PinExpired;
    } else if (rv == CKR_PIN_LOCKED) {
        code = Proto3ErrorCode::PinLocked;
    } else if (is_token_removed(rv)) {
        code = Proto3ErrorCode::TokenRemoved;
    }
    Proto3Failure failed = failure(code, rv);
    failed.has_token_flags = has_token_flags;
    failed.token_flags = has_token_flags ? token_flags : 0;
    return failed;
}

} // namespace korvan::cli
