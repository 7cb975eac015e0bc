#include "proto2/base64.hpp"

#include <gtest/gtest.h>

namespace korvan::cli {
namespace {

std::string encode(const std::string& text) {
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    return encode_base64(bytes);
}

TEST(Base64, Rfc4648TestVectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
}

TEST(Base64, UsesPlusSlashAndPadsBinaryInput) {
    EXPECT_EQ(encode(std::string(3, '\0')), "AAAA");
    EXPECT_EQ(encode("\xFF"), "/w==");
    EXPECT_EQ(encode("\xFB\xEF\xBE"), "++++");
    EXPECT_EQ(encode("\xFF\xFF\xFF"), "////");
}

TEST(Base64, SignatureSizesGiveTheLengthsTheParentExpects) {
    struct Case {
        std::size_t bytes;
        std::size_t chars;
        std::size_t padding;
    };
    for (const Case c : {Case{256, 344, 2}, Case{72, 96, 0}, Case{70, 96, 2}, Case{71, 96, 1}}) {
        const std::string text = encode_base64(std::vector<std::uint8_t>(c.bytes, 0xA5));
        EXPECT_EQ(text.size(), c.chars);
        EXPECT_EQ(text.size() - text.find_last_not_of('='), c.padding + 1);
    }
}

} // namespace
} // namespace korvan::cli
