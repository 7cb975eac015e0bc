#include "engine/key_resolution.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace korvan::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes p256{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const Bytes p384{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
const Bytes p521{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
const Bytes secp256k1{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x0A};

std::string describe(const KeyKindResolution& r) {
    if (const auto* kind = std::get_if<KeyKind>(&r)) {
        return std::string("kind ") + std::string(to_text(*kind));
    }
    if (const auto* f = std::get_if<outcome::KeyResolutionFailed>(&r)) {
        return "resolution: " + f->text;
    }
    return "unsupported: " + std::get<outcome::UnsupportedKeyType>(r).text;
}

TEST(ResolveKeyKind, ReconcilesTheTokenWithTheRequestedKind) {
    const std::optional<KeyKind> none;
    const std::optional<CK_KEY_TYPE> unknown;
    const std::optional<Bytes> no_params;
    struct Case {
        std::optional<KeyKind> requested;
        std::optional<CK_KEY_TYPE> type;
        std::optional<Bytes> params;
        std::string result;
    };
    const std::string clash = "resolution: anahtar türü sertifikayla çelişiyor ";
    const Case cases[] = {
        {none, unknown, no_params, "kind rsa"},
        {KeyKind::ec_p384, unknown, no_params, "kind ec-p384"},
        {none, CKK_RSA, no_params, "kind rsa"},
        {KeyKind::rsa, CKK_RSA, no_params, "kind rsa"},
        {KeyKind::ec_p256, CKK_RSA, no_params, clash + "(token: rsa, sertifika: ec-p256)"},
        {none, CKK_DSA, no_params, "unsupported: anahtar türü desteklenmiyor (CKK 0x1)"},
        {KeyKind::rsa, 0x2A, no_params, "unsupported: anahtar türü desteklenmiyor (CKK 0x2a)"},
        {KeyKind::rsa, CKK_EC, no_params, clash + "(token: EC, sertifika: rsa)"},
        {KeyKind::ec_p521, CKK_EC, no_params, "kind ec-p521"},
        {none, CKK_EC, no_params, "unsupported: EC anahtarın eğrisi okunamadı"},
        {none, CKK_EC, p256, "kind ec-p256"},
        {none, CKK_EC, p384, "kind ec-p384"},
        {KeyKind::ec_p521, CKK_EC, p521, "kind ec-p521"},
        {KeyKind::ec_p256, CKK_EC, p384, clash + "(token: ec-p384, sertifika: ec-p256)"},
        {KeyKind::rsa, CKK_EC, p256, clash + "(token: ec-p256, sertifika: rsa)"},
        {KeyKind::ec_p256, CKK_EC, secp256k1, "unsupported: EC anahtarın eğrisi desteklenmiyor"},
        {none, CKK_EC, Bytes{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22, 0x00},
         "unsupported: EC anahtarın eğrisi desteklenmiyor"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(resolve_key_kind(c.requested, c.type, c.params)), c.result);
    }
}

TEST(KeyTypeFrom, KnownOnlyWithExactlyTheNativeWidth) {
    CK_KEY_TYPE ec = CKK_EC;
    Bytes native(sizeof ec);
    std::memcpy(native.data(), &ec, sizeof ec);
    EXPECT_EQ(key_type_from(native), CKK_EC);
    EXPECT_EQ(key_type_from(Bytes(sizeof(CK_KEY_TYPE) == 8 ? 4 : 8, 0)), std::nullopt);
    EXPECT_EQ(key_type_from(std::nullopt), std::nullopt);
}

TEST(CheckDigestSize, EachKindSignsOneDigestLength) {
    EXPECT_EQ(check_digest_size(KeyKind::rsa, 32), std::nullopt);
    EXPECT_EQ(check_digest_size(KeyKind::ec_p256, 32), std::nullopt);
    EXPECT_EQ(check_digest_size(KeyKind::ec_p384, 48), std::nullopt);
    EXPECT_EQ(check_digest_size(KeyKind::ec_p521, 64), std::nullopt);
    struct Case {
        KeyKind kind;
        std::size_t length;
        const char* text;
    };
    const Case cases[] = {
        {KeyKind::rsa, 64, "rsa anahtarı 32 baytlık özet bekler, 64 bayt geldi"},
        {KeyKind::rsa, 48, "rsa anahtarı 32 baytlık özet bekler, 48 bayt geldi"},
        {KeyKind::ec_p384, 32, "ec-p384 anahtarı 48 baytlık özet bekler, 32 bayt geldi"},
        {KeyKind::ec_p521, 48, "ec-p521 anahtarı 64 baytlık özet bekler, 48 bayt geldi"},
        {KeyKind::ec_p256, 0, "ec-p256 anahtarı 32 baytlık özet bekler, 0 bayt geldi"},
    };
    for (const auto& c : cases) {
        const auto mismatch = check_digest_size(c.kind, c.length);
        ASSERT_TRUE(mismatch);
        EXPECT_EQ(mismatch->text, c.text);
    }
}

} // namespace
} // namespace korvan::engine
