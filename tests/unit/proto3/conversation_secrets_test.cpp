// A whole protocol-3 conversation in this process, against the mock module: the decoded PIN, the
// PIN retained for an always-authenticate key and every frame sent are released all zeros, on
// the orderly close and on every failure.

#include "loaded_module.hpp"
#include "mock_module.hpp"
#include "proto3/conversation.hpp"
#include "proto3_conversation.hpp"
#include "released_secrets.hpp"
#include "world_doubles.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

using test::ReleasedSecrets;

const std::string pin = "Q7#pinZ-91x";

TEST(ConversationSecrets, ThePinAndEveryFrameAreReleasedWipedOnEveryPath) {
    const nlohmann::json always = {{"id", "01"}, {"always_authenticate", true}};
    const nlohmann::json plain = {{"id", "01"}};
    struct Case {
        std::string label;
        nlohmann::json scenario;
        std::vector<test::InputPiece> input;
        int exit_code;
        std::string last_frame;
        std::string module = test::mock_module_path();
        std::size_t logins = 1;
    };
    const auto login = test::login(pin);
    const std::vector<Case> cases = {
        {"retained PIN, closed",
         {{"pin", pin}, {"keys", {always}}},
         {login, test::sign(1), test::sign(2), test::close_request()},
         0,
         "Goodbye"},
        {"retained PIN, input ends",
         {{"pin", pin}, {"keys", {always}}},
         {login, test::sign(1)},
         0,
         "Goodbye"},
        {"retained PIN, context login refused",
         {{"pin", pin},
          {"keys", {always}},
          {"fail", {{{"fn", "C_Login"}, {"call", 3}, {"rv", "0xA0"}}}}},
         {login, test::sign(1), test::sign(2)},
         1,
         "Error code=6"},
        {"retained PIN, signing fails",
         {{"pin", pin}, {"keys", {always}}, {"fail", {{{"fn", "C_Sign"}, {"rv", "0x5"}}}}},
         {login, test::sign(1)},
         1,
         "Error code=4"},
        {"plain key, closed",
         {{"pin", pin}, {"keys", {plain}}},
         {login, test::sign(1), test::query_token_flags(), test::close_request()},
         0,
         "Goodbye"},
        {"wrong PIN", {{"pin", "1234"}}, {login, test::sign(1)}, 1, "Error code=6"},
        {"second login",
         {{"pin", pin}},
         {login, login},
         1,
         "Error code=1",
         test::mock_module_path(),
         2},
        {"module not loadable",
         nlohmann::json::object(),
         {login},
         1,
         "Error code=3",
         test::mock_module_path() + ".missing"},
    };
    for (const Case& c : cases) {
        test::MockToken mock(c.scenario);
        for (const auto& [name, value] : mock.env()) {
            test::set_environment(name, value.value_or(""));
        }
        const Proto3Args args{c.module, {0x01}, std::nullopt, 0, {"S123", "Kart"}};
        test::ChunkedSource input({test::conversation_input(c.input)});
        test::MemorySink out, err;
        test::RecordingGate gate;
        int code = -1;
        std::size_t released_pins = 0;
        {
            ReleasedSecrets released;
            code = run_conversation(args, {input, out, err, gate});
            released_pins = released.of_size(pin.size());
            EXPECT_EQ(released.unwiped(), 0u) << c.label << ": " << released.describe();
            // Hello and the last frame at least, each in a block of its own.
            EXPECT_GE(released.blocks().size(), released_pins + 2) << c.label;
        }
        EXPECT_EQ(code, c.exit_code) << c.label << "\n" << err.text;
        EXPECT_EQ(released_pins, c.logins) << c.label << ": the decoded PINs' blocks";
        const std::vector<std::string> frames = test::parse_conversation(out.text).frames();
        ASSERT_FALSE(frames.empty()) << c.label;
        EXPECT_EQ(frames.back().rfind(c.last_frame, 0), 0u) << c.label << ": " << frames.back();
    }
}

} // namespace
} // namespace korvan::cli
