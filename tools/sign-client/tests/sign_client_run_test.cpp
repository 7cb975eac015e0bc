// The built sign-client starting the built sign-cli beside it against the mock module: the pipes,
// the inherited environment and standard error, the exit codes.

#include "child_process.hpp"
#include "mock_module.hpp"
#include "trusted_module.hpp"

#include "korvan/version.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace korvan::test {
namespace {

const std::string digest = std::string(64, 'd');

struct ClientRun {
    ChildResult result;
    std::vector<std::string> calls;
};

ClientRun run_client(std::vector<std::string> options, const std::string& input,
                     const nlohmann::json& scenario = {{"sign", {{"hex", "0102abcd"}}}}) {
    const TrustedModule& trusted = trusted_mock_module();
    MockToken mock(scenario);
    ChildRun run;
    run.args = std::move(options);
    for (const std::string& arg : {trusted.module_path(), std::string("01"), std::string(""),
                                   std::string("0"), digest, digest}) {
        run.args.push_back(arg);
    }
    trusted.add_to(run);
    mock.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    run.input = input;
    ClientRun out{run_child(program_path("sign-client"), run), mock.calls()};
    return out;
}

bool has_line(const std::string& text, const std::string& prefix) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (text.compare(start, prefix.size(), prefix) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

TEST(SignClientRun, SignsInOneSessionAndClosesInOrder) {
    const ClientRun run = run_client({"--query-flags"}, "1234\r\nignored\n");
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_EQ(run.result.out, "1 AQKrzQ==\n2 AQKrzQ==\nflags 0x40d\n");
    EXPECT_FALSE(has_line(run.result.err, "sign-client:")) << run.result.err;
    EXPECT_EQ(std::count(run.calls.begin(), run.calls.end(), "C_Login"), 1);
    EXPECT_EQ(std::count(run.calls.begin(), run.calls.end(), "C_Sign"), 2);
    ASSERT_FALSE(run.calls.empty());
    EXPECT_EQ(run.calls.back(), "C_Finalize");
}

TEST(SignClientRun, AnErrorFrameIsOneLineAndExitOne) {
    const ClientRun run = run_client({}, "9999\n");
    EXPECT_EQ(run.result.exit_code, 1);
    EXPECT_EQ(run.result.out, "");
    EXPECT_TRUE(has_line(run.result.err, "sign-client: error code=6 rv=0xa0 CKR_PIN_INCORRECT "))
        << run.result.err;
    // sign-cli writes to the standard error it shares with sign-client.
    EXPECT_TRUE(has_line(run.result.err, "sign-cli proto3: error code=6 rv=0xa0"))
        << run.result.err;
    EXPECT_EQ(std::count(run.calls.begin(), run.calls.end(), "C_Sign"), 0);
}

// A module call that never returns: --timeout ends the step, sign-cli is killed and reaped. It
// shares the standard error this test reads to its end, so a sign-cli left running would keep the
// run from ending at all.
TEST(SignClientRun, ATimeoutEndsAHungSession) {
    struct Case {
        std::string function;
        std::string awaited;
    } const cases[] = {{"C_Login", "SessionReady"}, {"C_Sign", "Signature"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        const nlohmann::json scenario = {
            {"sign", {{"hex", "0102abcd"}}},
            {"fail", nlohmann::json::array({{{"fn", c.function}, {"crash", "hang"}}})}};
        const auto started = std::chrono::steady_clock::now();
        const ClientRun run = run_client({"--timeout", "2"}, "1234\n", scenario);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(run.result.exit_code, 1) << run.result.err;
        EXPECT_TRUE(has_line(run.result.err, "sign-client: timed out while " + c.awaited +
                                                 " was due; sign-cli was killed\n"))
            << run.result.err;
        EXPECT_EQ(run.result.out, "");
        ASSERT_FALSE(run.calls.empty());
        EXPECT_EQ(run.calls.back(), c.function); // the call that hung, and nothing after it
        EXPECT_GE(took, std::chrono::seconds(2));
        EXPECT_LT(took, std::chrono::seconds(12)); // the step's 2 s, the starts, a loaded machine
    }
}

TEST(SignClientRun, ProblemsBeforeAnySession) {
    struct Case {
        std::vector<std::string> options;
        std::string input;
        int exit_code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{}, "", 2, "sign-client: no PIN on the first line of standard input"},
        {{"--sign-cli=" + executable_dir() + "/no-such-sign-cli"},
         "1234\n",
         1,
         "sign-client: cannot start "},
    };
    for (const Case& c : cases) {
        const ClientRun run = run_client(c.options, c.input);
        EXPECT_EQ(run.result.exit_code, c.exit_code) << c.line;
        EXPECT_EQ(run.result.out, "");
        EXPECT_TRUE(has_line(run.result.err, c.line)) << run.result.err;
        EXPECT_TRUE(run.calls.empty());
    }
}

TEST(SignClientRun, VersionIsTheProjects) {
    ChildRun run;
    run.args = {"--version"};
    const ChildResult r = run_child(program_path("sign-client"), run);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "sign-client " + std::string(korvan::version) + "\n");
    EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace korvan::test
