// The built program under valgrind's leak checker, against the mock module: a protocol-2 and a
// protocol-3 run, orderly and failing, end with no memory definitely or indirectly lost.

#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto3_conversation.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

namespace korvan::test {
namespace {

constexpr int leak_exit = 97;

TEST(LeakCheck, NoRunLosesMemory) {
    const TrustedModule& trusted = trusted_mock_module();
    ASSERT_TRUE(trusted.ok()) << trusted.error();
    const nlohmann::json always = {{"id", "01"}, {"always_authenticate", true}};
    struct Case {
        std::string label;
        std::vector<std::string> args; // after the module path
        nlohmann::json scenario;
        std::string input;
        int exit_code;
    };
    const std::vector<Case> cases = {
        {"proto 2 signed", {"--proto=2", std::string(64, 'a'), "01", "rsa", "0"}, {}, "1234\n", 0},
        {"proto 2 wrong PIN",
         {"--proto=2", std::string(64, 'a'), "01", "rsa", "0"},
         {{"pin", "9999"}},
         "1234\n",
         3},
        {"proto 3 signed twice",
         {"--proto=3", "01", "rsa", "0"},
         {{"keys", {always}}},
         conversation_input({login("1234"), sign(1), sign(2), close_request()}),
         0},
        {"proto 3 wrong PIN",
         {"--proto=3", "01", "rsa", "0"},
         {{"pin", "9999"}},
         conversation_input({login("1234"), sign(1)}),
         1},
    };
    for (const Case& c : cases) {
        MockToken mock(c.scenario.is_null() ? nlohmann::json::object() : c.scenario);
        ChildRun run;
        run.args = {"--leak-check=full",
                    "--errors-for-leak-kinds=definite,indirect",
                    "--error-exitcode=" + std::to_string(leak_exit),
                    "--quiet",
                    program_path("sign-cli"),
                    c.args[0],
                    trusted.module_path()};
        run.args.insert(run.args.end(), c.args.begin() + 1, c.args.end());
        run.input = c.input;
        trusted.add_to(run);
        mock.add_to(run);
        run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
        const ChildResult r = run_child(KORVAN_VALGRIND, run);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.label << "\n" << r.err;
        EXPECT_EQ(r.err.find("lost in"), std::string::npos) << c.label << "\n" << r.err;
    }
}

} // namespace
} // namespace korvan::test
