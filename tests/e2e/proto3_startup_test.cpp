// Protocol 3 up to the first request: the arguments, the trust policy, the marker and Hello, and
// what the first frame may be. Nothing here may load the module unless a Login came first.
#include "proto3_conversation.hpp"

#include "korvan/sign_proto/frames.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace korvan::test {
namespace {

using namespace sign_proto;
using nlohmann::json;

const std::string prefix = "sign-cli proto3: ";

std::string read_text(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Each row breaks one rule, sometimes several: only the first one in the order of the checks may
// be reported. The module path "trusted" stands for the trusted mock.
struct ArgumentCase {
    std::vector<std::string> positional;
    std::optional<std::string> expect_token;
    std::string message;
};

TEST(Proto3Arguments, FirstBrokenRuleIsReportedWithNothingOnStandardOutput) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    const std::string m = trusted_mock_module().module_path();
    const std::string untrusted = mock_module_path();
    const std::optional<std::string> token = "53313233:4b617274";
    const std::optional<std::string> unset;
    const std::string usage = "usage: --proto=3 <module-path> <cka_id-hex> <key-kind> <slot-id>";
    const std::string kind = "invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)";
    const std::string slot = "missing or invalid slot id";
    const std::string expect = "missing or invalid expected token";
    const std::vector<ArgumentCase> cases = {
        {{}, token, usage},
        {{m, "01", "rsa"}, token, usage},
        {{m, "01", "rsa", "0", "0"}, token, usage},
        {{"", "01", "rsa", "0", "0"}, unset, usage},
        {{"", "01", "rsa", "0"}, token, "missing module path"},
        {{"", "zz", "RSA", "-1"}, unset, "missing module path"},
        {{m, "0", "rsa", "0"}, token, "invalid CKA_ID hex"},
        {{m, "0g", "RSA", "x"}, unset, "invalid CKA_ID hex"},
        {{m, "01 ", "rsa", "0"}, token, "invalid CKA_ID hex"},
        {{m, "01", "RSA", "0"}, token, kind},
        {{m, "01", " rsa", "-1"}, unset, kind},
        {{m, "01", "ec-P256", "0"}, token, kind},
        {{m, "01", "rsa", "-7"}, token, slot},
        {{m, "01", "rsa", "+"}, token, slot},
        {{m, "01", "rsa", "-"}, token, slot},
        {{m, "01", "rsa", "7a"}, token, slot},
        {{m, "01", "rsa", ""}, token, slot},
        {{m, "01", "rsa", " 7"}, token, slot},
        {{m, "01", "rsa", "++7"}, token, slot},
        {{m, "01", "rsa", "0x7"}, token, slot},
        {{m, "01", "rsa", "18446744073709551616"}, token, slot},
        {{m, "01", "rsa", "99999999999999999999"}, token, slot},
        {{m, "01", "rsa", "x"}, unset, slot},
        // The policy is asked only once the arguments are valid.
        {{untrusted, "01", "rsa", "x"}, token, slot},
        {{m, "01", "rsa", "0"}, unset, expect},
        {{m, "", "", "0"}, unset, expect},
        {{m, "01", "rsa", "0"}, "53313233", expect},
        {{m, "01", "rsa", "0"}, "5331323:4b617274", expect},
        {{m, "01", "rsa", "0"}, "53313233:4b61727", expect},
        {{m, "01", "rsa", "0"}, "zz:4b617274", expect},
        {{m, "01", "rsa", "0"}, "ff:4b617274", expect}, // not UTF-8
    };
    for (const ArgumentCase& c : cases) {
        Proto3Invocation invocation;
        invocation.positional = c.positional;
        invocation.expect_token = c.expect_token;
        if (!c.positional.empty()) {
            invocation.module_path = c.positional[0];
            invocation.positional.erase(invocation.positional.begin());
        }
        const Proto3Run r =
            run_proto3(json::object(), {login("1234"), close_request()}, invocation);
        const std::string label =
            testing::PrintToString(c.positional) + " " + testing::PrintToString(c.expect_token);
        EXPECT_EQ(r.result.exit_code, 2) << label;
        EXPECT_EQ(r.result.out, "") << label;
        EXPECT_EQ(r.result.err, prefix + c.message + "\n") << label;
        EXPECT_EQ(r.trace.size(), 0u) << label << ": the module was loaded";
    }
}

// A slot id reaches the module as given (only its low 32 bits where CK_SLOT_ID has 32).
TEST(Proto3Arguments, ValidSlotIdsAndEmptyOptionalArgumentsAreAccepted) {
    const json slot7 = {
        {"slots", {{{"id", 7}, {"token", {{"serial", "S123"}, {"label", "Kart"}}}}}}};
#if defined(_WIN32)
    const std::string largest = "4294967295";
#else
    const std::string largest = "18446744073709551615";
#endif
    struct Case {
        std::vector<std::string> positional;
        json scenario;
        std::string first_slot;   // of the first C_GetTokenInfo
        std::string session_slot; // where the token was found
    };
    const std::vector<Case> cases = {
        {{"01", "rsa", "+7"}, slot7, "7", "7"},
        {{"01", "rsa", "0007"}, slot7, "7", "7"},
        {{"", "", "0"}, json::object(), "0", "0"},
        // No such slot: the token is found in slot 0 instead.
        {{"01", "rsa", "18446744073709551615"}, json::object(), largest, "0"},
    };
    for (const Case& c : cases) {
        Proto3Invocation invocation;
        invocation.positional = c.positional;
        const Proto3Run r = run_proto3(c.scenario, {login("1234"), close_request()}, invocation);
        const std::string label = testing::PrintToString(c.positional);
        EXPECT_EQ(r.result.exit_code, 0) << label << "\n" << r.result.err;
        EXPECT_EQ(r.conversation.frames(),
                  describe({Hello{}, SessionReady{KeyKindCode::rsa, false}, Goodbye{}}))
            << label;
        ASSERT_GE(r.trace.size(), 4u) << label;
        EXPECT_EQ(r.trace[2].function, "C_GetTokenInfo") << label;
        EXPECT_EQ(r.trace[2].arg("slot"), c.first_slot) << label;
        for (const TraceEntry& e : r.trace) {
            if (e.function == "C_OpenSession") {
                EXPECT_EQ(e.arg("slot"), c.session_slot) << label;
            }
        }
    }
}

TEST(Proto3Startup, RejectedModuleGetsMarkerAndErrorTwoAndIsNeverLoaded) {
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {mock_module_path(), "not_known"},
        {"mock-pkcs11.so", "not_absolute"},
    };
    for (const Case& c : cases) {
        // A home of its own, so that its audit log holds only this run's record.
        const TrustedModule home(mock_module_path());
        ASSERT_TRUE(home.ok()) << home.error();
        Proto3Invocation invocation;
        invocation.trusted = &home;
        invocation.module_path = c.path;
        const Proto3Run r = run_proto3(json::object(), {login("1234")}, invocation);
        EXPECT_EQ(r.result.exit_code, 1) << c.path;
        EXPECT_EQ(r.conversation.frames(), describe({error_frame(2)})) << c.path;
        EXPECT_EQ(r.result.err, "child module path rejected: " + c.reason + "\n" + error_line(2, 0))
            << c.path;
        EXPECT_EQ(r.trace.size(), 0u) << c.path << ": the module was loaded";
        const std::string log = read_text(home.audit_log_path());
        EXPECT_NE(log.find("\"error\":\"child_module_rejected:" + c.reason + "\""),
                  std::string::npos)
            << log;
    }
}

TEST(Proto3Startup, ModuleThatCannotBeLoadedIsErrorThree) {
    const std::string text_file = executable_dir() + "/proto3-not-a-library.dll";
    std::ofstream(text_file, std::ios::binary) << "plain text, not a loadable library\n";
    const TrustedModule not_a_library(text_file);
    const TrustedModule no_export(mock_module_path("no-export-pkcs11"));
    struct Case {
        const TrustedModule& module;
        std::string err;
    };
    const Case cases[] = {
        {not_a_library, prefix + "dlopen failed\n" + error_line(3, 0)},
        {no_export, error_line(3, 0)},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.module.ok()) << c.module.error();
        Proto3Invocation invocation;
        invocation.trusted = &c.module;
        const Proto3Run r =
            run_proto3(json::object(), {login("1234"), close_request()}, invocation);
        EXPECT_EQ(r.result.exit_code, 1) << c.module.module_path();
        EXPECT_EQ(r.conversation.frames(), describe({Hello{}, error_frame(3)}))
            << c.module.module_path();
        EXPECT_EQ(r.result.err, c.err) << c.module.module_path();
    }
}

TEST(Proto3Startup, EndOfInputBeforeLoginSaysGoodbyeWithoutLoadingTheModule) {
    const Proto3Run r = run_proto3(json::object(), {});
    EXPECT_EQ(r.result.exit_code, 0) << r.result.err;
    EXPECT_EQ(r.result.out.substr(0, 32), "<<KORVAN_SIGN_PROTO_3 v=0.1.0>>\n");
    EXPECT_EQ(r.conversation.frames(), describe({Hello{}, Goodbye{}}));
    EXPECT_EQ(r.result.err, "");
    EXPECT_EQ(r.trace.size(), 0u) << "the module was loaded";
}

// Anything but a Login (or the end of input) as the first frame: Error code 1, and the module
// is never loaded.
TEST(Proto3Startup, FirstFrameOtherThanLoginIsAProtocolViolation) {
    using namespace std::string_literals;
    struct Case {
        const char* what;
        std::vector<InputPiece> input;
    };
    const std::vector<Case> cases = {
        {"Sign", {sign(1), close_request()}},
        {"Close", {close_request()}},
        {"QueryTokenFlags", {query_token_flags(), login("1234")}},
        {"Login with flag byte 2",
         {RawBytes{"\0\0\0\x07\x01\x02\x04"s
                   "1234"}}},
        {"Login whose PIN length byte says 5",
         {RawBytes{"\0\0\0\x07\x01\x00\x05"s
                   "1234"}}},
        {"Login with an empty PIN", {RawBytes{"\0\0\0\x03\x01\x00\x00"s}}},
        {"reserved type 0x7F", {RawBytes{"\0\0\0\x01\x7f"s}, login("1234")}},
        {"unknown type 0x05", {RawBytes{"\0\0\0\x01\x05"s}}},
        {"length 0", {RawBytes{"\0\0\0\0"s}}},
        {"length 2049", {RawBytes{"\0\0\x08\x01\x01"s + std::string(2048, '1')}}},
        {"two length bytes, then the end", {RawBytes{"\0\0"s}}},
        {"a header without its type, then the end", {RawBytes{"\0\0\0\x07"s}}},
        {"Login cut short",
         {RawBytes{"\0\0\0\x07\x01\x00\x04"s
                   "12"}}},
        {"Close with a payload byte", {RawBytes{"\0\0\0\x02\x04\x00"s}}},
    };
    for (const Case& c : cases) {
        const Proto3Run r = run_proto3(json::object(), c.input);
        EXPECT_EQ(r.result.exit_code, 1) << c.what;
        EXPECT_EQ(r.conversation.frames(), describe({Hello{}, error_frame(1)})) << c.what;
        EXPECT_EQ(r.result.err, error_line(1, 0)) << c.what;
        EXPECT_EQ(r.trace.size(), 0u) << c.what << ": the module was loaded";
    }
}

} // namespace
} // namespace korvan::test
