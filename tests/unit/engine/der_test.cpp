#include "engine/der.hpp"

#include <gtest/gtest.h>

namespace korvan::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(EcdsaRawToDer, EncodesIntegersMinimallyWithSignPadding) {
    struct Case {
        const char* what;
        Bytes raw;
        Bytes der;
    };
    const Case cases[] = {
        {"small halves",
         {0x00, 0x01, 0x00, 0x02},
         {0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02}},
        {"high bit gets a zero byte",
         {0x80, 0x00, 0x7F, 0xFF},
         {0x30, 0x09, 0x02, 0x03, 0x00, 0x80, 0x00, 0x02, 0x02, 0x7F, 0xFF}},
        {"leading zeros dropped before the high-bit test",
         {0x00, 0x00, 0x00, 0x80, 0x01, 0x02, 0x03, 0x04},
         {0x30, 0x0A, 0x02, 0x02, 0x00, 0x80, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ecdsa_raw_to_der(c.raw), c.der) << c.what;
    }
}

TEST(EcdsaRawToDer, P256WithHighBitsIs72Bytes) {
    const Bytes raw(64, 0xFF);
    const auto der = ecdsa_raw_to_der(raw);
    ASSERT_TRUE(der);
    ASSERT_EQ(der->size(), 72u);
    EXPECT_EQ((Bytes{der->begin(), der->begin() + 5}), (Bytes{0x30, 0x46, 0x02, 0x21, 0x00}));
}

TEST(EcdsaRawToDer, FullP521NeedsTheLongLengthForm) {
    const Bytes half = concat({0x01}, Bytes(65, 0xAB));
    const auto der = ecdsa_raw_to_der(concat(half, half));
    ASSERT_TRUE(der);
    EXPECT_EQ((Bytes{der->begin(), der->begin() + 5}), (Bytes{0x30, 0x81, 0x88, 0x02, 0x42}));
    EXPECT_EQ(der->size(), 3u + 2 * (2 + 66));
}

TEST(EcdsaRawToDer, MalformedInputs) {
    for (const Bytes& raw : {Bytes{}, Bytes{0x01, 0x02, 0x03}, Bytes{0x00, 0x00, 0x01, 0x01},
                             Bytes{0x01, 0x01, 0x00, 0x00}, Bytes(64, 0x00)}) {
        EXPECT_EQ(ecdsa_raw_to_der(raw), std::nullopt) << testing::PrintToString(raw);
    }
}

} // namespace
} // namespace korvan::engine
