#include "engine/token_identity.hpp"
#include "proto3/signing.hpp"
#include "proto3/token_session.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

using sign_proto::Proto3ErrorCode;
using Code = Proto3ErrorCode;

constexpr CK_FLAGS locked = CKF_USER_PIN_LOCKED;

TEST(LoginFailureCode, FirstMatchingRuleWins) {
    struct Case {
        CK_RV rv;
        bool has_flags;
        CK_FLAGS flags;
        Code code;
    };
    const Case cases[] = {
        {CKR_PIN_INCORRECT, false, 0, Code::PinIncorrect},
        // The token's own word that it is locked beats what the login said.
        {CKR_PIN_INCORRECT, true, locked, Code::PinLocked},
        {CKR_PIN_INCORRECT, true, CKF_USER_PIN_FINAL_TRY, Code::PinIncorrect},
        // Flags that could not be read say nothing, whatever value was left in them.
        {CKR_PIN_INCORRECT, false, locked, Code::PinIncorrect},
        {CKR_PIN_INVALID, false, 0, Code::PinInvalid},
        {CKR_PIN_LEN_RANGE, false, 0, Code::PinInvalid},
        {CKR_USER_PIN_NOT_INITIALIZED, false, 0, Code::PinInvalid},
        {CKR_PIN_EXPIRED, false, 0, Code::PinExpired},
        {CKR_PIN_LOCKED, false, 0, Code::PinLocked},
        {CKR_DEVICE_REMOVED, false, 0, Code::TokenRemoved},
        {CKR_SESSION_CLOSED, false, 0, Code::TokenRemoved},
        {CKR_SESSION_HANDLE_INVALID, false, 0, Code::TokenRemoved},
        {CKR_TOKEN_NOT_PRESENT, false, 0, Code::TokenRemoved},
        // Protocol 2's notion of a missing token is not this protocol's.
        {CKR_TOKEN_NOT_RECOGNIZED, false, 0, Code::Pkcs11Failure},
        {CKR_FUNCTION_NOT_SUPPORTED, false, 0, Code::Pkcs11Failure},
        {CKR_GENERAL_ERROR, true, 0x40d, Code::Pkcs11Failure},
    };
    for (const Case& c : cases) {
        const Proto3Failure failed =
            login_failure_code(LoginKind::User, c.rv, c.has_flags, c.flags);
        EXPECT_EQ(failed.code, c.code) << std::hex << c.rv;
        EXPECT_EQ(failed.rv, c.rv);
        EXPECT_EQ(failed.has_token_flags, c.has_flags);
        EXPECT_EQ(failed.token_flags, c.has_flags ? c.flags : 0) << std::hex << c.rv;
    }
}

// Before a signature only a wrong or locked PIN and a lost token have codes of their own.
TEST(LoginFailureCode, ContextSpecificLoginTellsFewerTroublesApart) {
    const std::pair<CK_RV, Code> cases[] = {
        {CKR_PIN_INCORRECT, Code::PinIncorrect},     {CKR_PIN_LOCKED, Code::PinLocked},
        {CKR_TOKEN_NOT_PRESENT, Code::TokenRemoved}, {CKR_PIN_INVALID, Code::ContextLoginFailed},
        {CKR_PIN_EXPIRED, Code::ContextLoginFailed}, {CKR_GENERAL_ERROR, Code::ContextLoginFailed},
    };
    for (const auto& [rv, code] : cases) {
        EXPECT_EQ(login_failure_code(LoginKind::ContextSpecific, rv, false, 0).code, code)
            << std::hex << rv;
    }
    EXPECT_EQ(login_failure_code(LoginKind::ContextSpecific, CKR_GENERAL_ERROR, true, locked).code,
              Code::PinLocked);
}

TEST(SigningFailureCode, NotLoggedInDependsOnTheKind) {
    struct Case {
        CK_RV rv;
        bool always_authenticate;
        Code code;
    };
    const Case cases[] = {
        {CKR_DEVICE_REMOVED, false, Code::TokenRemoved},
        {CKR_SESSION_HANDLE_INVALID, true, Code::TokenRemoved},
        {CKR_MECHANISM_INVALID, false, Code::KeyUnsupported},
        {CKR_PIN_EXPIRED, false, Code::PinExpired},
        {CKR_PIN_LOCKED, true, Code::PinLocked},
        {CKR_USER_NOT_LOGGED_IN, false, Code::NotLoggedIn},
        {CKR_USER_NOT_LOGGED_IN, true, Code::Pkcs11Failure},
        {CKR_PIN_INCORRECT, false, Code::Pkcs11Failure},
        {CKR_KEY_HANDLE_INVALID, false, Code::Pkcs11Failure},
    };
    for (const Case& c : cases) {
        const Proto3Failure failed = signing_failure_code(c.rv, c.always_authenticate);
        EXPECT_EQ(failed.code, c.code) << std::hex << c.rv << " " << c.always_authenticate;
        EXPECT_EQ(failed.rv, c.rv);
        EXPECT_FALSE(failed.has_token_flags);
    }
}

TEST(Proto3Failure, AModuleWithoutTokenInfoIsReportedWithEveryRvBitSet) {
    // CK_RV is 32 bits on Windows: the wire must still carry 64 ones, not 0x00000000ffffffff.
    EXPECT_EQ(failure(Code::Pkcs11Failure, engine::token_info_missing).rv, ~std::uint64_t{0});
    EXPECT_EQ(failure(Code::Pkcs11Failure, CKR_GENERAL_ERROR).rv, 5u);
}

} // namespace
} // namespace korvan::cli
