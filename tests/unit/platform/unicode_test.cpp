#include "korvan/platform/unicode.hpp"

#include <gtest/gtest.h>

namespace korvan::platform {
namespace {

TEST(Utf8Validity, AcceptsWellFormedAndRejectsEveryIllFormedShape) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xC4\x9F \xC4\xB0 \xC3\xBC", true}, // ğ İ ü
        {"\xE2\x9C\x93", true},               // ✓
        {"\xF0\x9F\x94\x91", true},           // U+1F511
        {"\xF4\x8F\xBF\xBF", true},           // U+10FFFF
        {"\xC0\x80", false},                  // overlong NUL
        {"\xE0\x80\xAF", false},              // overlong
        {"\xED\xA0\x80", false},              // surrogate
        {"\xF4\x90\x80\x80", false},          // past U+10FFFF
        {"\xC3", false},                      // truncated
        {"\x80", false},                      // lone continuation
        {"\xFF", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    }
}

TEST(Utf8Lossy, ReplacesEachMaximalInvalidPartWithOneReplacementCharacter) {
    const std::string input = "a\xFF"
                              "b\xE2\x9C"
                              "c\xC4\x9F";
    const std::vector<std::uint8_t> bytes(input.begin(), input.end());
    EXPECT_EQ(utf8_lossy(bytes), "a\xEF\xBF\xBD"
                                 "b\xEF\xBF\xBD"
                                 "c\xC4\x9F");
}

TEST(Utf16, RoundTripsAndRefusesUnpairedSurrogates) {
    const std::string text = "C:\\Program Files\\E-Tu\xC4\x9Fra \xF0\x9F\x94\x91";
    const std::u16string wide = utf8_to_utf16(text);
    EXPECT_EQ(utf16_to_utf8(wide), text);
    EXPECT_EQ(utf16_to_utf8(u"x\xD800"), std::nullopt);
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t{0xDC00})), std::nullopt);
}

TEST(Utf16Lossy, ReplacesOnlyUnpairedSurrogatesAndKeepsPairs) {
    const std::u16string text = u"a\xD800"
                                u"b\U0001F511" +
                                std::u16string(1, char16_t{0xDC00});
    EXPECT_EQ(utf16_to_utf8_lossy(text), "a\xEF\xBF\xBD"
                                         "b\xF0\x9F\x94\x91\xEF\xBF\xBD");
    EXPECT_EQ(utf16_to_utf8_lossy(u"C:\\Users\\\u00FC"), "C:\\Users\\\xC3\xBC");
}

} // namespace
} // namespace korvan::platform
