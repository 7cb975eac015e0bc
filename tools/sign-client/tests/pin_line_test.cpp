// The PIN line: what is taken from standard input, what is left there, and what is refused.

#include "pin_line.hpp"
#include "world_doubles.hpp"

#include <gtest/gtest.h>

namespace korvan::client {
namespace {

std::string as_text(const platform::SecretBytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(PinLine, TakesTheFirstLineWithoutItsLineEnd) {
    struct Case {
        std::deque<std::string> input;
        std::string pin;
    };
    const std::vector<Case> cases = {
        {{"1234\n"}, "1234"},
        {{"1234\r\n"}, "1234"},
        {{"1234"}, "1234"},           // no line end before the end of input
        {{"12", "3", "4\n"}, "1234"}, // arriving in pieces
        {{"12\r34\n"}, "12\r34"},     // only a CR right before the LF is a line end
        {{" pin with spaces \n"}, " pin with spaces "},
        {{std::string(255, 'x') + "\r\n"}, std::string(255, 'x')},
        {{std::string("\xff\x00\x01\n", 4)}, std::string("\xff\x00\x01", 3)},
    };
    for (const Case& c : cases) {
        test::ChunkedSource in(c.input);
        auto pin = read_pin_line(in);
        ASSERT_TRUE(std::holds_alternative<platform::SecretBytes>(pin)) << c.pin;
        EXPECT_EQ(as_text(std::get<platform::SecretBytes>(pin)), c.pin);
    }
}

TEST(PinLine, LeavesWhatFollowsTheLine) {
    test::ChunkedSource in({"1234\nnext line\n"});
    ASSERT_TRUE(std::holds_alternative<platform::SecretBytes>(read_pin_line(in)));
    std::array<std::uint8_t, 64> rest{};
    const auto read = in.read_some(rest);
    ASSERT_EQ(read.status, platform::ReadResult::Status::Data);
    EXPECT_EQ(std::string(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(read.count)),
              "next line\n");
}

TEST(PinLine, RefusesEmptyTooLongAndUnreadable) {
    struct Case {
        std::deque<std::string> input;
        bool read_fails;
        std::string_view message;
    };
    const std::vector<Case> cases = {
        {{}, false, "no PIN on the first line of standard input"},
        {{"\n1234\n"}, false, "no PIN on the first line of standard input"},
        {{"\r\n"}, false, "no PIN on the first line of standard input"},
        {{std::string(256, 'x') + "\n"}, false, "the PIN is longer than 255 bytes"},
        {{std::string(256, 'x')}, false, "the PIN is longer than 255 bytes"},
        {{std::string(100000, 'x')}, false, "the PIN is longer than 255 bytes"},
        {{"12"}, true, "standard input could not be read"},
    };
    for (const Case& c : cases) {
        test::ChunkedSource in(c.input, c.read_fails);
        const auto pin = read_pin_line(in);
        const auto* message = std::get_if<std::string_view>(&pin);
        ASSERT_NE(message, nullptr) << c.message;
        EXPECT_EQ(*message, c.message);
    }
}

} // namespace
} // namespace korvan::client
