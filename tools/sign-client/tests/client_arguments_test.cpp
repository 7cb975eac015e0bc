// What sign-client accepts on its command line, and the first mistake it names otherwise.

#include "client_arguments.hpp"

#include <gtest/gtest.h>

namespace korvan::client {
namespace {

const std::string digest32(64, 'a');
const std::string digest48(96, 'B');
const std::string digest64(128, '0');

platform::EnvValue expect_token(std::string value = "53313233:4b617274") {
    return {platform::EnvValue::Status::Set, std::move(value)};
}

std::vector<std::string> command(std::vector<std::string> after_program) {
    after_program.insert(after_program.begin(), "sign-client");
    return after_program;
}

TEST(ClientArguments, OptionsSignCliArgumentsAndDigests) {
    const auto parsed = parse_client_args(
        command({"--query-flags", "--sign-cli=/opt/x/sign-cli", "--allow-final-try", "/m.so", "",
                 "", "+3", digest32, digest48, digest64}),
        expect_token());
    ASSERT_TRUE(std::holds_alternative<ClientArgs>(parsed));
    const auto& args = std::get<ClientArgs>(parsed);
    EXPECT_EQ(args.sign_cli, "/opt/x/sign-cli");
    EXPECT_TRUE(args.allow_final_try);
    EXPECT_TRUE(args.query_flags);
    // Passed on as given: sign-cli reads "+3" and the empty texts itself.
    EXPECT_EQ(args.sign_cli_args, (std::vector<std::string>{"/m.so", "", "", "+3"}));
    ASSERT_EQ(args.digests.size(), 3u);
    EXPECT_EQ(args.digests[0], std::vector<std::uint8_t>(32, 0xAA));
    EXPECT_EQ(args.digests[1], std::vector<std::uint8_t>(48, 0xBB));
    EXPECT_EQ(args.digests[2], std::vector<std::uint8_t>(64, 0x00));
}

TEST(ClientArguments, DefaultsAndNoDigests) {
    const auto parsed = parse_client_args(command({"/m.so", "01", "rsa", "0"}), expect_token());
    ASSERT_TRUE(std::holds_alternative<ClientArgs>(parsed));
    const auto& args = std::get<ClientArgs>(parsed);
    EXPECT_FALSE(args.sign_cli);
    EXPECT_FALSE(args.allow_final_try);
    EXPECT_FALSE(args.query_flags);
    EXPECT_FALSE(args.step_timeout);
    EXPECT_TRUE(args.digests.empty());
}

TEST(ClientArguments, TimeoutInBothSpellings) {
    for (const auto& options : {std::vector<std::string>{"--timeout", "86400"},
                                std::vector<std::string>{"--timeout=86400"}}) {
        std::vector<std::string> line = options;
        line.insert(line.end(), {"/m.so", "01", "rsa", "0"});
        const auto parsed = parse_client_args(command(line), expect_token());
        ASSERT_TRUE(std::holds_alternative<ClientArgs>(parsed));
        EXPECT_EQ(std::get<ClientArgs>(parsed).step_timeout, std::chrono::seconds(86400));
        EXPECT_EQ(std::get<ClientArgs>(parsed).sign_cli_args.front(), "/m.so");
    }
}

TEST(ClientArguments, DoubleDashEndsTheOptions) {
    const auto parsed =
        parse_client_args(command({"--", "--odd-module.so", "01", "rsa", "0"}), expect_token());
    ASSERT_TRUE(std::holds_alternative<ClientArgs>(parsed));
    EXPECT_EQ(std::get<ClientArgs>(parsed).sign_cli_args[0], "--odd-module.so");
}

TEST(ClientArguments, HelpAndVersion) {
    EXPECT_TRUE(std::holds_alternative<HelpWanted>(
        parse_client_args(command({"--help", "whatever"}), expect_token())));
    EXPECT_TRUE(std::holds_alternative<VersionWanted>(
        parse_client_args(command({"--version"}), platform::EnvValue{})));
}

TEST(ClientArguments, MistakesAreNamed) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> expect_token;
        std::string message;
    };
    const std::string token = "53313233:4b617274";
    const std::vector<Case> cases = {
        {{}, token, "sign-cli's four arguments are missing"},
        {{"/m.so", "01", "rsa"}, token, "sign-cli's four arguments are missing"},
        {{"--verbose", "/m.so", "01", "rsa", "0"}, token, "unknown option --verbose"},
        {{"--sign-cli=", "/m.so", "01", "rsa", "0"}, token, "--sign-cli needs a path"},
        {{"--timeout", "0", "/m.so", "01", "rsa", "0"},
         token,
         "--timeout takes whole seconds from 1 to 86400, not \"0\""},
        {{"--timeout=86401", "/m.so", "01", "rsa", "0"},
         token,
         "--timeout takes whole seconds from 1 to 86400, not \"86401\""},
        {{"--timeout=+5", "/m.so", "01", "rsa", "0"},
         token,
         "--timeout takes whole seconds from 1 to 86400, not \"+5\""},
        {{"--timeout"}, token, "--timeout needs a number of seconds"},
        {{"--sign-cli=a", "--sign-cli=b", "/m.so", "01", "rsa", "0"},
         token,
         "--sign-cli given twice"},
        {{"", "01", "rsa", "0"}, token, "missing module path"},
        {{"/m.so", "0g", "rsa", "0"}, token, "invalid CKA_ID hex"},
        {{"/m.so", "01", "RSA", "0"},
         token,
         "invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)"},
        {{"/m.so", "01", "rsa", "-1"}, token, "missing or invalid slot id"},
        {{"/m.so", "01", "rsa", "0"}, std::nullopt, "missing or invalid expected token"},
        {{"/m.so", "01", "rsa", "0"}, "zz", "missing or invalid expected token"},
        {{"/m.so", "01", "rsa", "0", digest32, std::string(62, 'a')},
         token,
         "digest 2 is not 64, 96 or 128 hex digits: \"" + std::string(62, 'a') + "\""},
        {{"/m.so", "01", "rsa", "0", std::string(63, 'a') + "x"},
         token,
         "digest 1 is not 64, 96 or 128 hex digits: \"" + std::string(63, 'a') + "x\""},
        {{"/m.so", "01", "rsa", "0", ""}, token, "digest 1 is not 64, 96 or 128 hex digits: \"\""},
    };
    for (const Case& c : cases) {
        const platform::EnvValue env =
            c.expect_token ? expect_token(*c.expect_token) : platform::EnvValue{};
        const auto parsed = parse_client_args(command(c.args), env);
        const auto* error = std::get_if<UsageError>(&parsed);
        ASSERT_NE(error, nullptr) << c.message;
        EXPECT_EQ(error->message, c.message);
    }
}

} // namespace
} // namespace korvan::client
