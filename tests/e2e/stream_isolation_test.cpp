// Where a module's writes to standard output and reads of standard input end up once the
// standard streams are isolated, in the layouts a parent may give the child.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto3_conversation.hpp"
#include "trusted_module.hpp"

#include "korvan/app_dirs/path_rules.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::test {
namespace {

const std::string parent_bytes = "frames a module must never see";

const std::vector<std::string> noise_lines = {
    "isolation-probe: printf noise\n",
    "isolation-probe: fd 1 noise\n",
    "isolation-probe: stdout handle noise\n",
};

// Everything the probe reports once isolation succeeded.
const std::vector<std::string> isolated_lines = {
    "isolation-probe: fd 0 read 0 bytes\n",
    "isolation-probe: stdin handle read 0 bytes\n",
    "isolation-probe: stdout handle is stderr handle: yes\n",
    "isolation-probe: private handles inheritable: no no\n",
    "isolation-probe: stderr handle works\n",
};

// Every C runtime a module may print or read through, as the probe sees it after isolation: the
// Universal C runtime as well as ours on Windows.
std::vector<std::string> runtime_lines() {
    const std::vector<std::string> runtimes =
        app_dirs::build_family == app_dirs::PlatformFamily::windows
            ? std::vector<std::string>{"ucrt", "msvcrt"}
            : std::vector<std::string>{"libc"};
    std::vector<std::string> lines;
    for (const std::string& runtime : runtimes) {
        lines.push_back("isolation-probe: " + runtime + " fd 0 is the null device: yes\n");
        lines.push_back("isolation-probe: " + runtime + " fd 1 is stderr: yes\n");
    }
    return lines;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The C runtime writes text-mode lines, which on Windows end with "\r\n"; where the lines end up
// is the point here, not their line ends.
std::string without_cr(std::string text) {
    std::erase(text, '\r');
    return text;
}

ChildResult run_probe(const ChildRun& run) {
    ChildResult r = run_child(program_path("isolation-probe"), run);
    r.out = without_cr(r.out);
    r.err = without_cr(r.err);
    return r;
}

TEST(StreamIsolation, ModuleNoiseGoesToStandardErrorAndOnlyThePayloadToStandardOutput) {
    struct Case {
        const char* layout;
        ChildRun run;
        std::string payload;
    };
    ChildRun pipes{{"--echo"}, {}, parent_bytes};
    ChildRun shared_input_and_error{{}, {}, parent_bytes};
    shared_input_and_error.stdin_is_stderr = true;
    const std::vector<Case> cases = {
        {"three pipes", pipes, "PAYLOAD[" + parent_bytes + "]"},
        // Closing the original input must not take standard error along.
        {"stdin is stderr", shared_input_and_error, "PAYLOAD[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        const ChildResult r = run_probe(c.run);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, c.payload);
        for (const std::string& line : noise_lines) {
            EXPECT_TRUE(contains(r.err, line)) << line << "in:\n" << r.err;
        }
        for (const std::string& line : isolated_lines) {
            EXPECT_TRUE(contains(r.err, line)) << line << "in:\n" << r.err;
        }
        for (const std::string& line : runtime_lines()) {
            EXPECT_TRUE(contains(r.err, line)) << line << "in:\n" << r.err;
        }
        EXPECT_FALSE(contains(r.err, parent_bytes)) << r.err;
    }
}

TEST(StreamIsolation, StandardOutputAndErrorOnOnePipeIsRefusedBeforeAnythingIsWritten) {
    ChildRun run{{"--echo"}, {}, parent_bytes};
    run.stderr_is_stdout = true;
    const ChildResult r = run_probe(run);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "isolation-probe: failed: standard handles\n");
    EXPECT_EQ(r.err, "");
}

// The module prints and reads while sign-cli holds the conversation: the frames must arrive intact,
// the noise on standard error, and the module must not swallow the parent's requests.
TEST(StreamIsolation, ANoisyModuleNeverLandsBetweenTheFrames) {
    const TrustedModule noisy(mock_module_path("noisy-pkcs11"));
    ASSERT_TRUE(noisy.ok()) << noisy.error();
    Proto3Invocation invocation;
    invocation.trusted = &noisy;
    const Proto3Run run =
        run_proto3(nlohmann::json::object(), {login("1234"), close_request()}, invocation);
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    const std::vector<sign_proto::Proto3Response> frames = {
        sign_proto::Hello{}, sign_proto::SessionReady{sign_proto::KeyKindCode::rsa, false},
        sign_proto::Goodbye{}};
    EXPECT_EQ(run.conversation.frames(), describe(frames));
    const std::string err = without_cr(run.result.err);
    for (const char* line :
         {"noisy-pkcs11: printf noise\n", "noisy-pkcs11: fd 1 noise\n",
          "noisy-pkcs11: stdout handle noise\n", "noisy-pkcs11: fd 0 read 0 bytes\n",
          "noisy-pkcs11: stdin handle read 0 bytes\n"}) {
        EXPECT_TRUE(contains(err, line)) << line << "in:\n" << err;
    }
}

} // namespace
} // namespace korvan::test
