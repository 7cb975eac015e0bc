#include "proto2/report.hpp"
#include "world_doubles.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

using namespace engine::outcome;

TEST(ReportOutcome, EveryFailureHasItsExactLineAndExitCode) {
    struct Case {
        engine::SignOutcome outcome;
        std::string line;
        int exit_code;
    };
    const Case cases[] = {
        {TokenChanged{}, "sign-cli: TOKEN_CHANGED (PIN not sent)\n", 10},
        {ModuleLoadFailed{"LoadLibraryExW failed"},
         "sign-cli: dlopen failed: LoadLibraryExW failed\n", 5},
        {PinIncorrect{}, "sign-cli: PIN_INCORRECT\n", 3},
        {PinLocked{}, "sign-cli: PIN_LOCKED \xE2\x80\x94 PUK needed to unlock\n", 3},
        {Pkcs11Failed{"C_Login", 0x30}, "sign-cli: C_Login rv=0x00000030\n", 4},
        {Pkcs11Failed{"C_GetTokenInfo", 0xFFFFFFFF}, "sign-cli: C_GetTokenInfo rv=0xffffffff\n",
         4},
        {Pkcs11Failed{"C_Sign", 0xABCDEF}, "sign-cli: C_Sign rv=0x00abcdef\n", 4},
        {KeyResolutionFailed{"token \xC3\xBCzerinde imza anahtar\xC4\xB1 bulunamad\xC4\xB1"},
         "sign-cli: KEY_RESOLUTION_FAILED \xE2\x80\x94 token \xC3\xBCzerinde imza "
         "anahtar\xC4\xB1 bulunamad\xC4\xB1\n",
         6},
        {UnsupportedKeyType{"x"}, "sign-cli: UNSUPPORTED_KEY_TYPE: x\n", 7},
        {DigestKeyMismatch{"y"}, "sign-cli: DIGEST_KEY_MISMATCH: y\n", 8},
    };
    for (const bool verify : {false, true}) {
        for (const auto& c : cases) {
            test::MemorySink out, err;
            EXPECT_EQ(report_outcome(c.outcome, verify, out, err), c.exit_code) << c.line;
            EXPECT_EQ(err.text, c.line);
            EXPECT_EQ(out.text, "") << "a failure writes nothing to standard output";
        }
    }
}

TEST(ReportOutcome, SignModeWritesOneBase64LineAndTheRawLength) {
    test::MemorySink out, err;
    const std::vector<std::uint8_t> signature(256, 0xFF);
    EXPECT_EQ(report_outcome(Signed{signature}, false, out, err), 0);
    ASSERT_EQ(out.text.size(), 345u);
    EXPECT_EQ(out.text.substr(340), "/w==\n");
    EXPECT_EQ(out.text.find('\r'), std::string::npos);
    EXPECT_EQ(err.text, "sign-cli: OK (256 bytes signature)\n");
}

TEST(ReportOutcome, VerifyModeWritesNoSignatureLine) {
    test::MemorySink out, err;
    EXPECT_EQ(report_outcome(Signed{{}}, true, out, err), 0);
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(err.text, "sign-cli: VERIFY OK\n");
}

TEST(WriteMarker, IsTheMarkerAndOneLineFeed) {
    test::MemorySink out;
    write_marker(out);
    EXPECT_EQ(out.text, "<<KORVAN_SIGN_PROTO_2>>\n");
}

} // namespace
} // namespace korvan::cli
