// Decoded PINs and encoded frames, on the paths the program and the parent take: every block is
// seen coming back, sized as it was allocated, and all zeros by then.

#include "released_secrets.hpp"
#include "world_doubles.hpp"

#include "korvan/sign_proto/child.hpp"
#include "korvan/sign_proto/parent.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace korvan::sign_proto {
namespace {

using test::ChunkedSource;
using test::MemorySink;
using test::ReleasedSecrets;

class RefusingSink final : public platform::ByteSink {
  public:
    bool write_all(std::span<const std::uint8_t>) override { return false; }
};

std::string login_frame(const std::string& pin) {
    const std::size_t length = pin.size() + 3;
    std::string frame = {
        0,    0,    static_cast<char>(length >> 8), static_cast<char>(length & 0xFF),
        0x01, 0x00, static_cast<char>(pin.size())};
    return frame + pin;
}

TEST(FrameSecrets, ADecodedPinIsReleasedWipedWhenTheLoginIsDropped) {
    for (const std::string& pin :
         {std::string("Q"), std::string("Q7#pinZ-91x"), std::string(255, '\xEE')}) {
        ReleasedSecrets released;
        {
            ChunkedSource input({login_frame(pin)});
            std::array<std::uint8_t, frame_buffer_size> frame{};
            RequestRead read = read_frame(input, frame, false);
            auto* request = std::get_if<Proto3Request>(&read);
            ASSERT_TRUE(request != nullptr && std::holds_alternative<Login>(*request));
            ASSERT_EQ(std::get<Login>(*request).pin.size(), pin.size());
        }
        EXPECT_EQ(released.of_size(pin.size()), 1u) << pin.size() << ": " << released.describe();
        EXPECT_EQ(released.unwiped(), 0u) << released.describe();
    }
}

TEST(FrameSecrets, AnEncodedLoginIsReleasedWipedWhetherOrNotItWasWritten) {
    Login login;
    login.pin.assign(11, 0x51);
    for (bool refuse : {false, true}) {
        ReleasedSecrets released;
        MemorySink accepting;
        RefusingSink refusing;
        platform::ByteSink& out = refuse ? static_cast<platform::ByteSink&>(refusing) : accepting;
        const WriteOutcome outcome = write_request(out, login);
        EXPECT_EQ(std::holds_alternative<Written>(outcome), !refuse);
        EXPECT_EQ(released.of_size(5 + 2 + 11), 1u) << refuse << ": " << released.describe();
        EXPECT_EQ(released.unwiped(), 0u) << released.describe();
    }
}

TEST(FrameSecrets, EveryResponseFrameIsReleasedWipedOverItsWholeSize) {
    const std::vector<Proto3Response> responses = {
        Hello{},
        SessionReady{KeyKindCode::ec_p384, true},
        Signature{7, std::vector<std::uint8_t>(1024, 0xC1)},
        TokenFlags{0x4040d},
        Goodbye{},
        Proto3Failure{Proto3ErrorCode::PinIncorrect, 0xa0, true, 0x4040d},
    };
    for (std::size_t i = 0; i < responses.size(); ++i) {
        for (bool refuse : {false, true}) {
            ReleasedSecrets released;
            MemorySink accepting;
            RefusingSink refusing;
            platform::ByteSink& out =
                refuse ? static_cast<platform::ByteSink&>(refusing) : accepting;
            write_frame(out, responses[i]);
            ASSERT_EQ(released.blocks().size(), 1u) << i << ": " << released.describe();
            EXPECT_TRUE(released.blocks()[0].wiped) << i;
            if (!refuse) {
                EXPECT_EQ(released.blocks()[0].size, accepting.text.size()) << i;
            }
        }
    }
}

TEST(FrameSecrets, ARequestRefusedByTheEncoderLeavesNothingUnwiped) {
    Login too_long;
    too_long.pin.assign(256, 0x51);
    ReleasedSecrets released;
    EXPECT_TRUE(std::holds_alternative<WriteFailure>(encode_request(too_long)));
    platform::release(too_long.pin);
    EXPECT_GE(released.of_size(256), 1u) << released.describe();
    EXPECT_EQ(released.unwiped(), 0u) << released.describe();
}

} // namespace
} // namespace korvan::sign_proto
