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
        {{"p", "", "a b"}, R"("p" "" "a b")"},    // an empty argument survives
        {{R"(say "hi")"}, R"("say \"hi\"")"},     // a quote is escaped
        {{R"(C:\dir\file)"}, R"("C:\dir\file")"}, // inner backslashes are literal
        {{R"(C:\dir\)"}, R"("C:\dir\\")"},        // ... but not before the closing quote
        {{R"(a\"b)"}, R"("a\\\"b")"},             // a backslash before a quote
        {{R"(a\\)", "b"}, R"("a\\\\" "b")"},      // two before the closing quote
        {{"\xC5\x9F\xFF"}, "\"\xC5\x9F\xFF\""},   // other bytes pass as they are
    };
    for (const Case& c : cases) {
        EXPECT_EQ(windows_command_line(c.arguments), c.line) << c.line;
    }
}

} // namespace
} // namespace korvan::platform
