#pragma once

// The PKCS#11 side of a framed session: one module, one session, one login, one key, kept open
// across requests. Every failure is a Proto3Failure for the Error frame; nothing here writes frames
// or ends the process.

#include "engine/key_kind.hpp"
#include "engine/module.hpp"
#include "engine/sign_request.hpp"
#include "proto3/arguments.hpp"

#include "korvan/platform/streams.hpp"
#include "korvan/sign_proto/frames.hpp"

#include <cstdint>
#include <span>
#include <variant>

namespace korvan::cli {

using sign_proto::Proto3Failure;

struct Proto3Session {
    engine::Module module; // stays loaded until the process exits
    CK_SLOT_ID slot = 0;   // where the expected token was found
    CK_SESSION_HANDLE handle = 0;
    bool initialized = false; // C_Initialize succeeded: the module may be asked about its slots
    bool session_open = false;
    bool logged_in = false;
};

struct Proto3Key {
    CK_OBJECT_HANDLE handle = 0;
    engine::KeyKind kind = engine::KeyKind::rsa;
    bool always_authenticate = false; // needs a context-specific login before each signature
};

// The return values that mean the token or the session went away.
bool is_token_removed(CK_RV rv);

// A failure of the given code with the call's rv, widened to the wire's 64 bits.
Proto3Failure failure(sign_proto::Proto3ErrorCode code, CK_RV rv = 0);

// Loads `held` when the policy hashed that file, otherwise the file at `module_path`.
std::variant<Proto3Session, Proto3Failure> load_session_module(const std::string& module_path,
                                                               const platform::ModuleFile* held,
                                                               platform::ByteSink& error);

// Initialises the module, finds the expected token, opens a session, checks the PIN state, logs in
// and resolves the key. On failure the session's flags say how far it got, for release_session.
std::variant<Proto3Key, Proto3Failure> open_session(Proto3Session& session, const Proto3Args& args,
                                                    bool allow_final_try,
                                                    std::span<const std::uint8_t> pin,
                                                    platform::ByteSink& error);

// Whether the token in the session's slot is still the expected one.
std::optional<Proto3Failure> confirm_token(Proto3Session& session,
                                           const engine::ExpectedToken& expected);

// The flags word of the token in the session's slot, or the rv of a failed C_GetTokenInfo
// (CKR_FUNCTION_NOT_SUPPORTED when the module has none).
struct TokenInfoFailed {
    CK_RV rv;
};
using TokenFlagsQuery = std::variant<CK_FLAGS, TokenInfoFailed>;
TokenFlagsQuery query_token_flags(Proto3Session& session);

// A failed call on a slot that no longer holds a token is a removal, whatever rv the module chose
// (a card pulled during C_Sign may come back as CKR_GENERAL_ERROR): code 16 with the call's rv.
// Asks C_GetSlotInfo only for failures that carry a call's rv and a module fault's code; a
// removable slot that still reports its token is asked again, for up to a second.
Proto3Failure removal_if_token_gone(Proto3Session& session, Proto3Failure failed);

// Adds the flags read while handling a failure, when they could be read.
Proto3Failure with_token_flags(Proto3Failure failed, const TokenFlagsQuery& flags);

// Logs out and closes what open_session reached; never finalises the module.
void release_session(Proto3Session& session);

// The user's login opens the session; a context-specific one, before each signature with an
// always-authenticate key, tells fewer PIN troubles apart.
enum class LoginKind { User, ContextSpecific };

// C_Login with the PIN; on refusal the token flags are read for the answer.
std::optional<Proto3Failure> log_in(Proto3Session& session, LoginKind kind,
                                    std::span<const std::uint8_t> pin);

Proto3Failure login_failure_code(LoginKind kind, CK_RV rv, bool has_token_flags,
                                 CK_FLAGS token_flags);

} // namespace korvan::cli
