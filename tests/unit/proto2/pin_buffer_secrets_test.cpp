// The protocol-2 PIN buffer through the real front end: on success and on every way the PIN
// intake or the engine can fail, the whole 1024-byte buffer goes back all zeros.

#include "proto2/pin_input.hpp"
#include "proto2/run_protocol2.hpp"
#include "released_secrets.hpp"
#include "world_doubles.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

using test::ReleasedSecrets;

TEST(PinBufferSecrets, TheWholeBufferIsReleasedWipedOnEveryPath) {
    struct Case {
        std::string label;
        std::deque<std::string> input;
        engine::SignOutcome outcome;
        int exit_code;
        bool probed; // a full buffer is followed by the one-byte probe
    };
    const std::string pin = "Q7#pinZ-91x";
    const std::vector<Case> cases = {
        {"signed", {pin + "\r\n"}, engine::outcome::Signed{{1, 2}}, 0, false},
        {"wrong PIN", {pin}, engine::outcome::PinIncorrect{}, 3, false},
        {"call failed", {pin}, engine::outcome::Pkcs11Failed{"C_Sign", 0x5}, 4, false},
        {"exactly 1024 bytes", {std::string(1024, 'x')}, engine::outcome::Signed{}, 0, true},
        {"too long", {std::string(1024, 'x'), "y"}, engine::outcome::Signed{}, 2, true},
        {"not UTF-8", {pin + "\xFF"}, engine::outcome::Signed{}, 2, false},
        {"only a line end", {"\r\n"}, engine::outcome::Signed{}, 2, false},
    };
    for (const Case& c : cases) {
        ReleasedSecrets released;
        test::ChunkedSource input(c.input);
        test::MemorySink out, err;
        test::FakeEnvironment environment;
        environment.values["KORVAN_EXPECT_TOKEN"] = {platform::EnvValue::Status::Set, ":"};
        test::RecordingGate gate;
        test::RecordingEngine engine(c.outcome);
        Proto2World world{input, out, err, environment, gate, engine};
        const int code =
            run_protocol2({"sign-cli", "/m.so", std::string(64, 'a'), "01", "rsa", "0"}, world);
        EXPECT_EQ(code, c.exit_code) << c.label << "\n" << err.text;
        EXPECT_EQ(released.of_size(pin_buffer_size), 1u) << c.label << ": " << released.describe();
        EXPECT_EQ(released.of_size(1), c.probed ? 1u : 0u)
            << c.label << ": " << released.describe();
        EXPECT_EQ(released.unwiped(), 0u) << c.label << ": " << released.describe();
    }
}

} // namespace
} // namespace korvan::cli
