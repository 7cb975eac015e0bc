// Middleware starts threads in C_Initialize that keep running its code, and protocol 2 never calls
// C_Finalize: the library must stay loaded until the process exits, on every path after a
// successful C_Initialize. A release there lets the thread run into unmapped code.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto2/base64.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

namespace korvan::test {
namespace {

using nlohmann::json;

const std::string marker = "<<KORVAN_SIGN_PROTO_2>>\n";

TEST(ModuleLifetime, AThreadStartedInCInitializeRunsUntilTheOutcomeIsOut) {
    const TrustedModule threaded(mock_module_path("threaded-pkcs11"));
    ASSERT_TRUE(threaded.ok()) << threaded.error();
    struct Case {
        const char* label;
        json scenario;
        std::string digest;
        int exit_code;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"signature", json::object(), std::string(64, 'a'), 0,
         marker + cli::encode_base64(mock_signature(256)) + "\n"},
        {"PIN check only", json::object(), "VERIFY_ONLY", 0, marker},
        {"wrong PIN",
         {{"fail", {{{"fn", "C_Login"}, {"rv", "0xA0"}}}}},
         std::string(64, 'a'),
         3,
         marker},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MockToken mock(c.scenario);
        ChildRun run;
        run.args = {"--proto=2", threaded.module_path(), c.digest, "01", "rsa", "0"};
        threaded.add_to(run);
        mock.add_to(run);
        run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
        run.input = "1234\n";
        const ChildResult r = run_child(program_path("sign-cli"), run);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.err;
        const std::vector<std::string> calls = mock.calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "C_CloseSession"); // and no C_Finalize
    }
}

} // namespace
} // namespace korvan::test
