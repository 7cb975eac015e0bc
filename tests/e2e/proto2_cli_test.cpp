// The built program as the parent sees it: three pipes, bytes out, exit code.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

namespace korvan::test {
namespace {

const std::string marker = "<<KORVAN_SIGN_PROTO_2>>\n";
const std::string digest64(64, 'a');
const std::string good_token = "53313233:4b617274";

std::string sign_cli() {
    return program_path("sign-cli");
}

ChildResult run(std::vector<std::string> args, std::string pin = "1234\n",
                std::optional<std::string> expect_token = good_token) {
    ChildRun r;
    r.args = std::move(args);
    r.env["KORVAN_EXPECT_TOKEN"] = std::move(expect_token);
    r.env["KORVAN_MODULE_TRIAL_TOKEN"] = std::nullopt;
    r.input = std::move(pin);
    trusted_mock_module().add_to(r);
    return run_child(sign_cli(), r);
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n') + 1);
}

void expect_no_carriage_return(const ChildResult& r) {
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
}

TEST(Dispatch, AnythingButAnExactSelectorIsAnUnsupportedInvocation) {
    const std::vector<std::vector<std::string>> invocations = {
        {},
        {"--proto=1"},
        {"--proto="},
        {"--proto"},
        {"--PROTO=2"},
        {"--proto=2 "},
        {" --proto=2"},
        {"--proto 2"},
        {"--proto=22"},
        {"-proto=2"},
        {"proto=2", "--proto=2"},
        {"--proto=2", "\xED\xA0\x80"}, // not Unicode (a lone surrogate on Windows)
    };
    for (const auto& args : invocations) {
        const ChildResult r = run(args);
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "") << testing::PrintToString(args);
        EXPECT_EQ(r.err, "unsupported invocation: --proto=2 required\n")
            << testing::PrintToString(args);
    }
}

TEST(Dispatch, ProtocolThreeNeverRunsProtocolTwoCode) {
    const ChildResult r = run({"--proto=3", trusted_mock_module().module_path(), "", "RSA", "0"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sign-cli proto3: invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)\n");
}

TEST(Protocol2, SelectorAloneWritesTheMarkerThenTheUsageWithTheProgramPath) {
    const ChildResult r = run({"--proto=2"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, marker);
    EXPECT_EQ(r.err, "Usage: " + sign_cli() +
                         " --proto=2 <module-path> <digest-hex|VERIFY_ONLY> <cka_id-hex> "
                         "<key-kind> <slot-id>\n  stdin: PIN bytes\n");
}

TEST(Protocol2, TheFirstFailingCheckInOrderIsTheOnlyOneReported) {
    const std::string module_path = trusted_mock_module().module_path();
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> token;
        std::string message;
    };
    const std::string bad = "zz";
    const std::vector<Case> cases = {
        {{module_path, bad}, good_token, "hash must be 64, 96 or 128 hex chars, got 2\n"},
        {{module_path}, good_token, ""}, // usage: checked separately
        {{module_path, std::string(63, 'a')},
         good_token,
         "hash must be 64, 96 or 128 hex chars, got 63\n"},
        {{module_path, std::string(65, 'a')},
         good_token,
         "hash must be 64, 96 or 128 hex chars, got 65\n"},
        {{module_path, "verify_only"},
         good_token,
         "hash must be 64, 96 or 128 hex chars, got 11\n"},
        {{module_path, "VERIFY_ONLX"},
         good_token,
         "hash must be 64, 96 or 128 hex chars, got 11\n"},
        {{module_path, ""}, good_token, "hash must be 64, 96 or 128 hex chars, got 0\n"},
        {{module_path, std::string(63, 'a') + "g", bad, bad, bad},
         good_token,
         "invalid hash hex\n"},
        {{module_path, std::string(127, 'A') + " "}, good_token, "invalid hash hex\n"},
        {{module_path, digest64}, good_token, "missing or invalid slot id\n"},
        {{module_path, "VERIFY_ONLY"}, good_token, "missing or invalid slot id\n"},
        {{module_path, digest64, "abc", bad, bad}, good_token, "invalid CKA_ID hex\n"},
        {{module_path, digest64, "0g", bad, bad}, good_token, "invalid CKA_ID hex\n"},
        {{module_path, digest64, "00"}, good_token, "missing or invalid slot id\n"},
        {{module_path, digest64, "00", "RSA", bad},
         good_token,
         "invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)\n"},
        {{module_path, digest64, "00", " rsa", "1"},
         good_token,
         "invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)\n"},
        {{module_path, digest64, "00", "rsa"}, good_token, "missing or invalid slot id\n"},
        {{module_path, digest64, "00", "rsa", "4294967296"},
         std::nullopt,
         "missing or invalid slot id\n"},
        {{module_path, digest64, "00", "rsa", "-1"}, good_token, "missing or invalid slot id\n"},
        {{module_path, digest64, "00", "rsa", ""}, good_token, "missing or invalid slot id\n"},
        {{module_path, digest64, "00", "rsa", "+"}, good_token, "missing or invalid slot id\n"},
        {{module_path, digest64, "00", "rsa", "4294967295"},
         std::nullopt,
         "missing or invalid expected token\n"},
        {{module_path, digest64, "00", "rsa", "1"}, "4142", "missing or invalid expected token\n"},
        {{module_path, digest64, "00", "rsa", "1"},
         "414:42",
         "missing or invalid expected token\n"},
        {{module_path, digest64, "00", "rsa", "1"}, "ff:", "missing or invalid expected token\n"},
        {{module_path, digest64, "00", "rsa", "1"}, "", "missing or invalid expected token\n"},
        // Not Unicode: invalid UTF-8 here, a lone surrogate in the Windows environment block.
        {{module_path, digest64, "00", "rsa", "1"},
         "\xED\xA0\x80:",
         "missing or invalid expected token\n"},
    };
    for (const auto& c : cases) {
        if (c.message.empty()) {
            continue;
        }
        std::vector<std::string> args{"--proto=2"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ChildResult r = run(args, "1234\n", c.token);
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, marker) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.message) << testing::PrintToString(c.args);
    }
}

// With valid arguments the run reaches the diagnostic line; what follows it is the engine's.
TEST(Protocol2, ValidRequestsPrintTheDiagnosticLine) {
    const std::string module_path = trusted_mock_module().module_path();
    struct Case {
        std::vector<std::string> args;
        std::string pin;
        std::optional<std::string> token;
        std::string diagnostic;
    };
    const std::string upper(128, 'F');
    const std::vector<Case> cases = {
        {{digest64, "", "", "007"},
         "1234\r\n",
         ":",
         "module=" + module_path + " pin_len=4 hash=" + digest64 + " ckaid_len=0 mode=sign"},
        {{upper, "0102030405060708090a0b0c0d0e0f1011121314", "ec-p521", "+7"},
         " 12 34 ",
         "c49f:c4b0",
         "module=" + module_path + " pin_len=7 hash=" + upper + " ckaid_len=20 mode=sign"},
        {{"VERIFY_ONLY", "AbCd", "rsa", "4294967295", "sixth", "seventh"},
         std::string(1024, '7'),
         good_token,
         "module=" + module_path + " pin_len=1024 hash=<VERIFY_ONLY> ckaid_len=2 mode=verify"},
        {{"VERIFY_ONLY", "", "ec-p256", "0"},
         "\xC4\x9F\xC4\xB0\n\n\r",
         good_token,
         "module=" + module_path + " pin_len=4 hash=<VERIFY_ONLY> ckaid_len=0 mode=verify"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--proto=2", module_path};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ChildResult r = run(args, c.pin, c.token);
        EXPECT_EQ(first_line(r.err), "sign-cli: " + c.diagnostic + "\n")
            << testing::PrintToString(c.args);
        EXPECT_EQ(r.out.substr(0, marker.size()), marker);
        expect_no_carriage_return(r);
    }
}

TEST(Protocol2, PinInputFailures) {
    const std::string module_path = trusted_mock_module().module_path();
    struct Case {
        std::string pin;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", "empty PIN\n"},
        {"\r\n", "empty PIN\n"},
        {std::string(1025, '1'), "failed to read PIN from stdin\n"},
        {std::string(1024, '1') + "\n", "failed to read PIN from stdin\n"},
        {"12\xFF"
         "34",
         "failed to read PIN from stdin\n"},
        {"\xC3", "failed to read PIN from stdin\n"},
    };
    for (const auto& c : cases) {
        const ChildResult r = run({"--proto=2", module_path, digest64, "", "", "1"}, c.pin);
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(c.pin.substr(0, 8));
        EXPECT_EQ(r.out, marker);
        EXPECT_EQ(r.err, c.message) << testing::PrintToString(c.pin.substr(0, 8));
    }
}

} // namespace
} // namespace korvan::test
