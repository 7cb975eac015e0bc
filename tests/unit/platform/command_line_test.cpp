#include "korvan/platform/command_line.hpp"

#include <gtest/gtest.h>

namespace korvan::platform {
namespace {

// The expected lines follow CommandLineToArgvW's rules: inside quotes, 2n backslashes before a
// quote are n backslashes and the quote ends the argument; 2n+1 are n and a literal quote;
// backslashes anywhere else are literal.
TEST(WindowsCommandLine, SplitsBackIntoTheSameArguments) {
    struct Case {
        std::vector<std::string> arguments;
        std::string line;
    };
    const Case cases[] = {
        {{"sign-cli.exe"}, R"("sign-cli.exe")"},
        {{"p", "", "a b"}, R"("p" "" "a b")"},
        {{R"(say "hi")"}, R"("say \"hi\"")"},
        {{R"(C:\dir\file)"}, R"("C:\dir\file")"},
        {{R"(C:\dir\)"}, R"("C:\dir\\")"},
        {{R"(a\"b)"}, R"("a\\\"b")"},
        {{R"(a\\)", "b"}, R"("a\\\\" "b")"},
        {{"\xC5\x9F\xFF"}, "\"\xC5\x9F\xFF\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(windows_command_line(c.arguments), c.line) << c.line;
    }
}

} // namespace
} // namespace korvan::platform
