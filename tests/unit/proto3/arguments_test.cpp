#include "proto3/arguments.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

using Args = std::vector<std::string>;

platform::EnvValue token(std::string value) {
    return {platform::EnvValue::Status::Set, std::move(value)};
}

// "S123" as the serial, "Kart" as the label.
const platform::EnvValue expected_token = token("53313233:4b617274");

std::string error_of(const Args& args, const platform::EnvValue& env = expected_token) {
    const auto parsed = parse_proto3_args(args, env);
    const auto* message = std::get_if<std::string_view>(&parsed);
    return message ? std::string(*message) : std::string("<accepted>");
}

Args valid() {
    return {"sign-cli", "--proto=3", "/opt/m.so", "a1b2", "ec-p256", "3"};
}

Args with(std::size_t position, std::string value) {
    Args args = valid();
    args[position] = std::move(value);
    return args;
}

TEST(Proto3Arguments, AcceptedValuesAreKeptAsGiven) {
    const auto parsed = parse_proto3_args(with(5, "+18446744073709551615"), expected_token);
    ASSERT_TRUE(std::holds_alternative<Proto3Args>(parsed));
    const auto& args = std::get<Proto3Args>(parsed);
    EXPECT_EQ(args.module_path, "/opt/m.so");
    EXPECT_EQ(args.cka_id, (std::vector<std::uint8_t>{0xA1, 0xB2}));
    EXPECT_EQ(args.requested_kind, engine::KeyKind::ec_p256);
    EXPECT_EQ(args.slot_id, 18446744073709551615u);
    EXPECT_EQ(args.expected_token.serial, "S123");
    EXPECT_EQ(args.expected_token.label, "Kart");

    const auto open = parse_proto3_args(with(4, ""), expected_token);
    ASSERT_TRUE(std::holds_alternative<Proto3Args>(open));
    EXPECT_EQ(std::get<Proto3Args>(open).requested_kind, std::nullopt);
    const auto unfiltered = parse_proto3_args(with(3, ""), expected_token);
    ASSERT_TRUE(std::holds_alternative<Proto3Args>(unfiltered));
    EXPECT_TRUE(std::get<Proto3Args>(unfiltered).cka_id.empty());
}

TEST(Proto3Arguments, EachWrongArgumentHasItsMessage) {
    const std::string usage = "usage: --proto=3 <module-path> <cka_id-hex> <key-kind> <slot-id>";
    const std::string slot = "missing or invalid slot id";
    struct Case {
        Args args;
        std::string message;
    };
    const Case cases[] = {
        {{"sign-cli", "--proto=3", "/m", "01", "rsa"}, usage},
        {{"sign-cli", "--proto=3", "/m", "01", "rsa", "0", "x"}, usage},
        {with(2, ""), "missing module path"},
        {with(3, "0g"), "invalid CKA_ID hex"},
        {with(4, "RSA"), "invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)"},
        {with(5, "-7"), slot},
        {with(5, "+"), slot},
        {with(5, "7a"), slot},
        {with(5, ""), slot},
        {with(5, "18446744073709551616"), slot},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(c.args), c.message) << ::testing::PrintToString(c.args);
    }
}

TEST(Proto3Arguments, TheExpectedTokenIsCheckedLast) {
    const std::string message = "missing or invalid expected token";
    EXPECT_EQ(error_of(valid(), platform::EnvValue{}), message);
    EXPECT_EQ(error_of(valid(), {platform::EnvValue::Status::NotUnicode, "x"}), message);
    EXPECT_EQ(error_of(valid(), token("zz")), message);
    // A bad slot id is named before a missing token.
    EXPECT_EQ(error_of(with(5, "x"), platform::EnvValue{}), "missing or invalid slot id");
}

} // namespace
} // namespace korvan::cli
