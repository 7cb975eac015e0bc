#include "failure_line.hpp"

#include <gtest/gtest.h>

namespace korvan::client {
namespace {

using sign_proto::Proto3ErrorCode;

TEST(FailureLine, NamesTheRvWhereTheStandardDoes) {
    struct Case {
        Proto3ErrorCode code;
        std::uint64_t rv;
        const char* line;
    };
    const Case cases[] = {
        {Proto3ErrorCode::Pkcs11Failure, 0x191,
         "error code=4 rv=0x191 CKR_CRYPTOKI_ALREADY_INITIALIZED (a PKCS#11 call failed)"},
        {Proto3ErrorCode::Pkcs11Failure, 0x80000001,
         "error code=4 rv=0x80000001 (a PKCS#11 call failed)"},
        {Proto3ErrorCode::Pkcs11Failure, ~std::uint64_t{0},
         "error code=4 rv=0xffffffffffffffff (a PKCS#11 call failed)"},
        {Proto3ErrorCode::TokenMismatch, 0, "error code=5 rv=0x0 (not the expected token)"},
        {Proto3ErrorCode::TokenRemoved, 0x32,
         "error code=16 rv=0x32 CKR_DEVICE_REMOVED (the token or the session went away)"},
    };
    for (const Case& c : cases) {
        sign_proto::Proto3Failure failure{};
        failure.code = c.code;
        failure.rv = c.rv;
        EXPECT_EQ(failure_line(failure), c.line);
    }
}

} // namespace
} // namespace korvan::client
