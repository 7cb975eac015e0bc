// The core library's runs of the built sign-cli against the mock module, a protocol-3 session and a
// protocol-2 run: the environment passed, each step, a module that hangs, the child's end.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "trusted_module.hpp"

#include "korvan/parent/proto2_run.hpp"
#include "korvan/parent/proto3_session.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace korvan::test {
namespace {

using parent::Proto3Session;
using parent::StepFailure;
using std::chrono::steady_clock;

const nlohmann::json signing = {{"sign", {{"hex", "0102abcd"}}}};

// Protocol 3's arguments; protocol 2's when a digest (or VERIFY_ONLY) is given.
parent::SignCliCommand command_for(const MockToken& mock,
                                   std::optional<std::string> digest = std::nullopt) {
    ChildRun run;
    run.args = {trusted_mock_module().module_path(), "01", "", "0"};
    if (digest) {
        run.args.insert(run.args.begin() + 1, *digest);
    }
    trusted_mock_module().add_to(run);
    mock.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    parent::SignCliCommand command{program_path("sign-cli"), run.args, {}};
    for (const auto& [name, value] : run.env) {
        command.environment.emplace_back(name, value);
    }
    return command;
}

platform::Deadline in_seconds(int seconds) {
    return steady_clock::now() + std::chrono::seconds(seconds);
}

platform::SecretBytes pin(std::string_view text) {
    return platform::SecretBytes(text.begin(), text.end());
}

std::optional<int> exit_code(const std::optional<platform::ChildEnd>& end) {
    const auto* exited = end ? std::get_if<platform::ChildExited>(&*end) : nullptr;
    return exited != nullptr ? std::optional(exited->code) : std::nullopt;
}

TEST(ParentSession, LoginSignFlagsAndCloseWithTheEnvironmentGiven) {
    MockToken mock(signing);
    auto started = Proto3Session::start(command_for(mock), in_seconds(30));
    ASSERT_TRUE(std::holds_alternative<Proto3Session>(started))
        << std::get<StepFailure>(started).text;
    Proto3Session& session = std::get<Proto3Session>(started);

    auto ready = session.login(pin("1234"), false, in_seconds(30));
    ASSERT_TRUE(std::holds_alternative<sign_proto::SessionReady>(ready));
    EXPECT_EQ(std::get<sign_proto::SessionReady>(ready).key_kind, sign_proto::KeyKindCode::rsa);
    for (int i = 0; i < 2; ++i) {
        auto signature = session.sign(std::vector<std::uint8_t>(32, 0xdd), in_seconds(30));
        ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(signature));
        EXPECT_EQ(std::get<std::vector<std::uint8_t>>(signature),
                  (std::vector<std::uint8_t>{0x01, 0x02, 0xab, 0xcd}));
    }
    auto flags = session.query_token_flags(in_seconds(30));
    ASSERT_TRUE(std::holds_alternative<sign_proto::TokenFlags>(flags));
    EXPECT_EQ(std::get<sign_proto::TokenFlags>(flags).flags, 0x40du);
    auto closed = session.close(in_seconds(30));
    ASSERT_TRUE(std::holds_alternative<platform::ChildEnd>(closed));
    EXPECT_EQ(exit_code(std::get<platform::ChildEnd>(closed)), 0);

    const auto calls = mock.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_Login"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_Sign"), 2);
}

TEST(ParentSession, AFailureEndsTheSessionWithTheChildsExit) {
    {
        SCOPED_TRACE("the expected token removed from the environment: exit 2 before the marker");
        MockToken mock(signing);
        parent::SignCliCommand command = command_for(mock);
        command.environment.emplace_back("KORVAN_EXPECT_TOKEN", std::nullopt);
        auto started = Proto3Session::start(command, in_seconds(30));
        ASSERT_TRUE(std::holds_alternative<StepFailure>(started));
        const StepFailure& failure = std::get<StepFailure>(started);
        EXPECT_EQ(failure.kind, StepFailure::Kind::ChildGone);
        EXPECT_EQ(failure.text, "sign-cli's output ended while the protocol-3 marker line was due");
        EXPECT_EQ(exit_code(failure.child_end), 2);
    }
    {
        SCOPED_TRACE("a wrong PIN: the Error frame, exit 1, and nothing more to ask");
        MockToken mock(signing);
        auto started = Proto3Session::start(command_for(mock), in_seconds(30));
        ASSERT_TRUE(std::holds_alternative<Proto3Session>(started));
        Proto3Session& session = std::get<Proto3Session>(started);
        auto ready = session.login(pin("9999"), false, in_seconds(30));
        ASSERT_TRUE(std::holds_alternative<StepFailure>(ready));
        const StepFailure& failure = std::get<StepFailure>(ready);
        EXPECT_EQ(failure.kind, StepFailure::Kind::ErrorFrame);
        ASSERT_TRUE(failure.error.has_value());
        EXPECT_EQ(failure.error->code, sign_proto::Proto3ErrorCode::PinIncorrect);
        EXPECT_EQ(exit_code(failure.child_end), 1);
        auto after = session.sign(std::vector<std::uint8_t>(32, 0xdd), in_seconds(30));
        ASSERT_TRUE(std::holds_alternative<StepFailure>(after));
        EXPECT_EQ(std::get<StepFailure>(after).kind, StepFailure::Kind::SessionOver);
    }
}

// The mock never returns from the call: the step ends at its deadline, and the child is killed and
// reaped (its end is known).
TEST(ParentSession, AHungModuleIsKilledAtTheDeadline) {
    for (const std::string function : {"C_Login", "C_Sign"}) {
        SCOPED_TRACE(function);
        MockToken mock({{"sign", {{"hex", "0102abcd"}}},
                        {"fail", nlohmann::json::array({{{"fn", function}, {"crash", "hang"}}})}});
        auto started = Proto3Session::start(command_for(mock), in_seconds(30));
        ASSERT_TRUE(std::holds_alternative<Proto3Session>(started));
        Proto3Session& session = std::get<Proto3Session>(started);

        const auto step_started = steady_clock::now();
        std::optional<StepFailure> failure;
        auto ready = session.login(pin("1234"), false, step_started + std::chrono::seconds(1));
        if (auto* broken = std::get_if<StepFailure>(&ready)) {
            failure = *broken;
        } else {
            auto signature = session.sign(std::vector<std::uint8_t>(32, 0xdd),
                                          step_started + std::chrono::seconds(1));
            ASSERT_TRUE(std::holds_alternative<StepFailure>(signature));
            failure = std::get<StepFailure>(signature);
        }
        const auto took = steady_clock::now() - step_started;
        EXPECT_EQ(failure->kind, StepFailure::Kind::TimedOut) << failure->text;
        EXPECT_TRUE(failure->child_end.has_value());
        EXPECT_GE(took, std::chrono::seconds(1));
        EXPECT_LT(took,
                  std::chrono::seconds(4)); // the kill and the reap: far less on a calm machine
        const auto calls = mock.calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), function);
    }
}

TEST(ParentProto2Run, ResultFromBothStreamsAndTheExitCode) {
    const std::string digest(64, 'd');
    struct Case {
        std::string name;
        std::string pin;
        std::string digest;
        parent::Proto2Exit exit;
        std::optional<std::vector<std::uint8_t>> signature;
        std::string outcome_line;
    } const cases[] = {
        {"signed", "1234", digest, parent::Proto2Exit::Done,
         std::vector<std::uint8_t>{0x01, 0x02, 0xab, 0xcd}, "sign-cli: OK (4 bytes signature)"},
        {"PIN verified", "1234", "VERIFY_ONLY", parent::Proto2Exit::Done, std::nullopt,
         "sign-cli: VERIFY OK"},
        {"wrong PIN", "9999", digest, parent::Proto2Exit::PinRefused, std::nullopt,
         "sign-cli: PIN_INCORRECT"},
        {"digest of no key's length", "1234", std::string(96, 'd'),
         parent::Proto2Exit::DigestLengthMismatch, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MockToken mock(signing);
        auto ran = parent::run_proto2(command_for(mock, c.digest), pin(c.pin), in_seconds(30));
        ASSERT_TRUE(std::holds_alternative<parent::Proto2Result>(ran))
            << std::get<parent::Proto2Failure>(ran).text;
        const auto& result = std::get<parent::Proto2Result>(ran);
        EXPECT_EQ(result.exit, c.exit);
        EXPECT_EQ(result.exit_code, static_cast<int>(c.exit));
        EXPECT_TRUE(result.marker_seen);
        EXPECT_EQ(result.signature, c.signature);
        if (!c.outcome_line.empty()) {
            EXPECT_EQ(result.outcome_line, c.outcome_line);
        } else {
            EXPECT_EQ(result.outcome_line.rfind("sign-cli: DIGEST_KEY_MISMATCH: ", 0), 0u)
                << result.outcome_line;
        }
        EXPECT_FALSE(result.error_lines.empty());
    }
}

TEST(ParentProto2Run, AHungModuleIsKilledAtTheDeadline) {
    for (const std::string function : {"C_Login", "C_Sign"}) {
        SCOPED_TRACE(function);
        MockToken mock({{"sign", {{"hex", "0102abcd"}}},
                        {"fail", nlohmann::json::array({{{"fn", function}, {"crash", "hang"}}})}});
        const auto started = steady_clock::now();
        auto ran = parent::run_proto2(command_for(mock, std::string(64, 'd')), pin("1234"),
                                      started + std::chrono::seconds(2));
        const auto took = steady_clock::now() - started;
        ASSERT_TRUE(std::holds_alternative<parent::Proto2Failure>(ran));
        const auto& failure = std::get<parent::Proto2Failure>(ran);
        EXPECT_EQ(failure.kind, parent::Proto2Failure::Kind::TimedOut);
        EXPECT_TRUE(failure.child_end.has_value());
        EXPECT_GE(took, std::chrono::seconds(2));
        EXPECT_LT(took, std::chrono::seconds(5)); // the kill and the reap
        const auto calls = mock.calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), function);
    }
}

} // namespace
} // namespace korvan::test
