#include "engine/token_identity.hpp"

#include <gtest/gtest.h>

namespace korvan::engine {
namespace {

std::string normalized(const std::string& field) {
    const std::vector<std::uint8_t> bytes(field.begin(), field.end());
    return normalize_token_text(bytes);
}

TEST(NormalizeTokenText, StripsPaddingControlsAndUnicodeSpaceButKeepsInnerText) {
    struct Case {
        std::string field;
        std::string text;
    };
    const Case cases[] = {
        {"Kart 1" + std::string(26, ' '), "Kart 1"},
        {std::string("Kart\0\0\0\0", 8), "Kart"},
        {std::string("  Kart \0 ", 9), "Kart"},
        {"K\x01"
         "a\x7Fr\xC2\x85t",
         "Kart"},                                         // controls removed anywhere
        {"\xC2\xA0\xE2\x80\x80Kart\xE3\x80\x80", "Kart"}, // U+00A0, U+2000, U+3000
        {"E-Tu\xC4\x9Fra  \xC4\xB0mza", "E-Tu\xC4\x9Fra  \xC4\xB0mza"},
        {"Kart\xFF", "Kart\xEF\xBF\xBD"}, // invalid UTF-8 -> U+FFFD
        {"\xC4", "\xEF\xBF\xBD"},
        {std::string(16, ' '), ""},
        {std::string(16, '\0'), ""},
        {"A\tB", "AB"}, // a tab is a control
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalized(c.field), c.text) << testing::PrintToString(c.field);
    }
}

TEST(ClassifyTokenCheck, SerialDecidesAloneLabelOnlyWithoutSerial) {
    enum Result { match, changed, failed };
    struct Case {
        const char* what;
        CK_RV rv;
        bool has_identity;
        TokenIdentity token;
        ExpectedToken expected;
        Result result;
    };
    const Case cases[] = {
        {"same serial, other label", CKR_OK, true, {"Other", "S1"}, {"S1", "Kart"}, match},
        {"other serial", CKR_OK, true, {"Kart", "S2"}, {"S1", "Kart"}, changed},
        {"no expected serial, token has one", CKR_OK, true, {"Kart", "S1"}, {"", "Kart"}, changed},
        {"no serials, same label", CKR_OK, true, {"Kart", ""}, {"", "Kart"}, match},
        {"no serials, other label", CKR_OK, true, {"Kart2", ""}, {"", "Kart"}, changed},
        {"serial compared byte for byte", CKR_OK, true, {"Kart", "s1"}, {"S1", "Kart"}, changed},
        {"slot invalid", CKR_SLOT_ID_INVALID, false, {}, {"S1", ""}, changed},
        {"device removed", CKR_DEVICE_REMOVED, false, {}, {"S1", ""}, changed},
        {"not present", CKR_TOKEN_NOT_PRESENT, false, {}, {"S1", ""}, changed},
        {"not recognized", CKR_TOKEN_NOT_RECOGNIZED, false, {}, {"S1", ""}, changed},
        {"other failure", CKR_GENERAL_ERROR, false, {}, {"S1", ""}, failed},
        {"no identity", CKR_OK, false, {}, {"S1", ""}, failed},
    };
    for (const auto& c : cases) {
        const TokenCheck check =
            classify_token_check(c.rv, c.has_identity ? &c.token : nullptr, c.expected);
        EXPECT_EQ(static_cast<Result>(check.index()), c.result) << c.what;
        if (const auto* f = std::get_if<token_check::Failed>(&check)) {
            EXPECT_EQ(f->rv, c.rv) << c.what;
        }
    }
}

TEST(SharedSerial, ASerialMatchWithAnotherLabelStandsOnlyForASerialNoOtherTokenHas) {
    const ExpectedToken expected{"S1", "Kart"};
    EXPECT_FALSE(matches_by_serial_alone({"Kart", "S1"}, expected)) << "label equal too";
    EXPECT_TRUE(matches_by_serial_alone({"Renamed", "S1"}, expected));
    EXPECT_FALSE(matches_by_serial_alone({"Renamed", "S2"}, expected)) << "no match at all";
    EXPECT_FALSE(matches_by_serial_alone({"Renamed", ""}, {"", "Kart"})) << "label rule";

    const std::vector<ListedToken> listing = {
        {1, {"Renamed", "S1"}}, {2, {"Kart", "S2"}}, {3, {"Kart", "S2"}}};
    EXPECT_TRUE(serial_names_one_token(listing, 1, "S1")) << "only its own slot";
    EXPECT_FALSE(serial_names_one_token(listing, 2, "S2")) << "slot 3 has it too";
    EXPECT_FALSE(serial_names_one_token(listing, 9, "S1")) << "a slot the listing lacks";
    EXPECT_TRUE(serial_names_one_token({}, 1, "S1")) << "nothing listed: nothing contradicts";
}

TEST(FindUniqueToken, NeedsExactlyOneSlotWithSerialAndLabel) {
    const std::vector<ListedToken> listing = {
        {1, {"Kart", "S1"}},  {2, {"Kart", "S2"}}, {5, {"Kart", "S2"}},
        {7, {"Other", "S3"}}, {9, {"Kart", ""}},
    };
    EXPECT_EQ(find_unique_token(listing, {"S1", "Kart"}), CK_SLOT_ID{1});
    EXPECT_EQ(find_unique_token(listing, {"S2", "Kart"}), std::nullopt) << "two slots";
    EXPECT_EQ(find_unique_token(listing, {"S3", "Kart"}), std::nullopt) << "label differs";
    EXPECT_EQ(find_unique_token(listing, {"", "Kart"}), std::nullopt) << "no expected serial";
    EXPECT_EQ(find_unique_token({}, {"S1", "Kart"}), std::nullopt);
}

} // namespace
} // namespace korvan::engine
