#include "engine/key_kind.hpp"
#include "shared/arguments.hpp"
#include "shared/hex.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DecodeHex, MixedCaseEvenLengthOnly) {
    EXPECT_EQ(decode_hex(""), Bytes{});
    EXPECT_EQ(decode_hex("00ffAb9C"), (Bytes{0x00, 0xFF, 0xAB, 0x9C}));
    for (const char* bad : {"0", "abc", "0g", " 00", "00 ", "0x00", "+1"}) {
        EXPECT_EQ(decode_hex(bad), std::nullopt) << bad;
    }
}

TEST(ParseKeyKind, ExactCaseSensitiveTextForms) {
    EXPECT_EQ(engine::parse_key_kind("rsa"), engine::KeyKind::rsa);
    EXPECT_EQ(engine::parse_key_kind("ec-p256"), engine::KeyKind::ec_p256);
    EXPECT_EQ(engine::parse_key_kind("ec-p384"), engine::KeyKind::ec_p384);
    EXPECT_EQ(engine::parse_key_kind("ec-p521"), engine::KeyKind::ec_p521);
    for (const char* bad : {"RSA", " rsa", "rsa ", "ec-P256", "ec_p256", "p256", ""}) {
        EXPECT_EQ(engine::parse_key_kind(bad), std::nullopt) << bad;
    }
}

TEST(ParseSlotId, DecimalWithOptionalPlusWithin32Bits) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> slot;
    };
    const Case cases[] = {
        {"0", 0u},        {"7", 7u},   {"+7", 7u},         {"007", 7u},
        {"4294967295", 4294967295u},   {"4294967296", {}}, {"99999999999999999999", {}},
        {"-1", {}},       {"", {}},    {"+", {}},          {"++7", {}},
        {" 7", {}},       {"7 ", {}},  {"7a", {}},         {"0x10", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_slot_id(c.text), c.slot) << '"' << c.text << '"';
    }
}

TEST(ParseUnsignedDecimal, HonoursTheUpperBoundExactly) {
    EXPECT_EQ(parse_unsigned_decimal("18446744073709551615", UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(parse_unsigned_decimal("18446744073709551616", UINT64_MAX), std::nullopt);
}

TEST(ParseExpectedToken, SplitsAtTheFirstColonAndDemandsUtf8) {
    struct Case {
        const char* text;
        bool valid;
        const char* serial;
        const char* label;
    };
    const Case cases[] = {
        {":", true, "", ""},
        {"3132:", true, "12", ""},
        {":4b6172", true, "", "Kar"},
        {"41:42:43", false, "", ""}, // the label part "42:43" is not hex
        {"4142", false, "", ""},     // no colon
        {"414:42", false, "", ""},   // odd serial
        {"41:4", false, "", ""},     // odd label
        {"ff:", false, "", ""},      // serial not UTF-8
        {":c3", false, "", ""},      // label not UTF-8
        {"c49f:c4b0", true, "\xC4\x9F", "\xC4\xB0"},
    };
    for (const auto& c : cases) {
        const auto token = parse_expected_token(c.text);
        ASSERT_EQ(token.has_value(), c.valid) << c.text;
        if (token) {
            EXPECT_EQ(token->serial, c.serial) << c.text;
            EXPECT_EQ(token->label, c.label) << c.text;
        }
    }
}

TEST(TrimLineEnds, RemovesOnlyTrailingCarriageReturnsAndLineFeeds) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"1234\r\n", "1234"},   {"1234\n\r\n\r", "1234"}, {" 12 34 \n", " 12 34 "},
        {"\n1234", "\n1234"},   {"12\r34\n", "12\r34"},   {"\r\n", ""},
        {"1234\t", "1234\t"},   {"", ""},
    };
    for (const auto& c : cases) {
        const Bytes bytes(c.in.begin(), c.in.end());
        const auto trimmed = trim_line_ends(bytes);
        EXPECT_EQ(std::string(trimmed.begin(), trimmed.end()), c.out)
            << testing::PrintToString(c.in);
    }
}

} // namespace
} // namespace korvan::cli
