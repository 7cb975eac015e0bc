// The child runner itself: a child that cannot be started fails the test that asked for it, with
// the call and the system's error, instead of passing for a child that ran and said nothing.
#include "child_process.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvan::test {
namespace {

TEST(RunChild, AStartThatFailsFailsTheCallerWithTheCallAndItsError) {
    struct Case {
        const char* what;
        ChildRun run;
        std::string failure; // how the start failure begins
    };
    const bool windows = program_path("x").ends_with(".exe");
    ChildRun clashing;
    clashing.stdin_is_stderr = true;
    clashing.stderr_is_stdout = true;
    const std::vector<Case> cases = {
        {"no such program",
         {},
         windows ? "CreateProcessW: error 2 ("
                 : "posix_spawn: No such file or directory (errno 2)"},
        {"layouts that clash", clashing, "stdin_is_stderr and stderr_is_stdout cannot be combined"},
    };
    for (const Case& c : cases) {
        ChildResult r;
        EXPECT_NONFATAL_FAILURE(r = run_child(program_path("no-such-program"), c.run),
                                "the child did not start: " + c.failure);
        ASSERT_TRUE(r.start_failure) << c.what;
        EXPECT_EQ(r.start_failure->rfind(c.failure, 0), 0u) << c.what << ": " << *r.start_failure;
        EXPECT_EQ(r.out + r.err, "") << c.what;
    }
}

} // namespace
} // namespace korvan::test
