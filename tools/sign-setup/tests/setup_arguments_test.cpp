#include "setup_arguments.hpp"

#include <gtest/gtest.h>

namespace korvan::setup {
namespace {

ParsedSetupArgs parse(std::vector<std::string> args) {
    args.insert(args.begin(), "sign-setup");
    return parse_setup_args(args);
}

TEST(SetupArguments, CommandsWithTheirOptionsAnywhere) {
    struct Case {
        std::vector<std::string> args;
        SetupArgs expected;
    };
    const auto with = [](Command command, std::string module) {
        SetupArgs a;
        a.command = command;
        a.module = std::move(module);
        return a;
    };
    SetupArgs approve2 = with(Command::approve, "/opt/p11.so");
    approve2.seconds = 2;
    SetupArgs tokens = with(Command::tokens, "/opt/p11.so");
    tokens.json = true;
    tokens.login = true;
    tokens.slot = 4294967295;
    tokens.allow_final_try = true;
    SetupArgs dashed = with(Command::check, "--odd");
    SetupArgs audit_json = with(Command::audit, "");
    audit_json.json = true;
    const Case cases[] = {
        {{"pin", "/opt/p11.so"}, with(Command::pin, "/opt/p11.so")},
        {{"approve", "/opt/p11.so"}, with(Command::approve, "/opt/p11.so")},
        {{"approve", "/opt/p11.so", "--seconds", "2"}, approve2},
        {{"approve", "--seconds=+2", "/opt/p11.so"}, approve2},
        {{"tokens", "--json", "/opt/p11.so", "--login", "--slot", "4294967295",
          "--allow-final-try"},
         tokens},
        {{"check", "--", "--odd"}, dashed},
        {{"audit", "--json"}, audit_json},
        {{"clear"}, with(Command::clear, "")},
        {{"check", "relative.dll"}, with(Command::check, "relative.dll")},
    };
    for (const Case& c : cases) {
        const ParsedSetupArgs parsed = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<SetupArgs>(parsed)) << c.args[0];
        const SetupArgs& got = std::get<SetupArgs>(parsed);
        EXPECT_EQ(got.command, c.expected.command);
        EXPECT_EQ(got.module, c.expected.module);
        EXPECT_EQ(got.seconds, c.expected.seconds);
        EXPECT_EQ(got.json, c.expected.json);
        EXPECT_EQ(got.login, c.expected.login);
        EXPECT_EQ(got.slot, c.expected.slot);
        EXPECT_EQ(got.allow_final_try, c.expected.allow_final_try);
    }
}

TEST(SetupArguments, UsageErrorsNameTheirCommand) {
    struct Case {
        std::vector<std::string> args;
        std::optional<Command> command;
        std::string message;
    };
    const Case cases[] = {
        {{}, std::nullopt, "a command is missing"},
        {{"sign"}, std::nullopt, "unknown command \"sign\""},
        {{"pin"}, Command::pin, "pin takes one MODULE"},
        {{"pin", "a", "b"}, Command::pin, "pin takes one MODULE"},
        {{"audit", "a"}, Command::audit, "audit takes no MODULE"},
        {{"clear", "/opt/p11.so"}, Command::clear, "clear takes no MODULE"},
        {{"clear", "--json"}, Command::clear, "clear takes no option --json"},
        {{"pin", "--json", "a"}, Command::pin, "pin takes no option --json"},
        {{"check", "--seconds", "2", "a"}, Command::check, "check takes no option --seconds"},
        {{"approve", "a", "--seconds", "0"}, Command::approve, "--seconds takes 1 to 30, not \"0\""},
        {{"approve", "a", "--seconds", "31"}, Command::approve,
         "--seconds takes 1 to 30, not \"31\""},
        {{"approve", "a", "--seconds"}, Command::approve, "--seconds needs a value"},
        {{"tokens", "a", "--slot", "x"}, Command::tokens, "--slot takes a slot id, not \"x\""},
        {{"tokens", "a", "--json=1"}, Command::tokens, "--json takes no value"},
        {{"tokens", "a", "--allow-final-try"}, Command::tokens,
         "--allow-final-try goes with --login"},
    };
    for (const Case& c : cases) {
        const ParsedSetupArgs parsed = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<UsageError>(parsed)) << c.message;
        EXPECT_EQ(std::get<UsageError>(parsed).message, c.message);
        EXPECT_EQ(std::get<UsageError>(parsed).command, c.command) << c.message;
    }
}

TEST(SetupArguments, HelpForTheToolAndEachCommand) {
    EXPECT_TRUE(std::holds_alternative<VersionWanted>(parse({"--version"})));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"help"}}) {
        const ParsedSetupArgs parsed = parse(args);
        ASSERT_TRUE(std::holds_alternative<HelpWanted>(parsed));
        EXPECT_EQ(std::get<HelpWanted>(parsed).command, std::nullopt);
    }
    const std::pair<std::string, Command> commands[] = {{"pin", Command::pin},
                                                        {"approve", Command::approve},
                                                        {"clear", Command::clear},
                                                        {"check", Command::check},
                                                        {"tokens", Command::tokens},
                                                        {"audit", Command::audit}};
    for (const auto& [name, command] : commands) {
        const ParsedSetupArgs parsed = parse({name, "--help"});
        ASSERT_TRUE(std::holds_alternative<HelpWanted>(parsed)) << name;
        EXPECT_EQ(std::get<HelpWanted>(parsed).command, command);
        const std::string_view text = usage_text(command);
        EXPECT_EQ(text.rfind("usage: sign-setup " + name, 0), 0u) << text;
        EXPECT_NE(usage_text(std::nullopt).find("  " + name + " "), std::string::npos) << name;
    }
}

} // namespace
} // namespace korvan::setup
