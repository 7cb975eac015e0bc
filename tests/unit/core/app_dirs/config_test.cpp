#include "core_fixtures.hpp"
#include "korvan/app_dirs/config.hpp"

#include <gtest/gtest.h>

namespace korvan::app_dirs {
namespace {

bool readable(std::string_view text) {
    return std::holds_alternative<Config>(parse_config(text));
}

Config parsed(std::string_view text) {
    auto result = parse_config(text);
    if (auto* error = std::get_if<ConfigError>(&result)) {
        ADD_FAILURE() << "unreadable: " << error->text << "\n" << text;
        return {};
    }
    return std::get<Config>(result);
}

TEST(LoadConfig, UnreadableTexts) {
    const std::string_view texts[] = {
        "",
        "   \n",
        "[]",
        "[{}]",
        "\"text\"",
        "42",
        "null",
        "\xEF\xBB\xBF{}",
        "{} x",
        "{}{}",
        "{} // comment",
        "{\"a\":1,}",
        "{\"a\":1",
        "{\"a\":\"\xFF\"}",
        "{\"a\":\"\\ud800\"}",
        "{\"pending_module_expires\":-1}",
        "{\"pending_module_expires\":-0}",
        "{\"pending_module_expires\":1.5}",
        "{\"pending_module_expires\":1e9}",
        "{\"pending_module_expires\":1E2}",
        "{\"pending_module_expires\":10.0}",
        "{\"pending_module_expires\":\"5\"}",
        "{\"pending_module_expires\":18446744073709551616}",
        "{\"pending_module_expires\":true}",
        "{\"telemetry_notice_version\":4294967296}",
        "{\"verify_online_notice_version\":-1}",
        "{\"verify_online_notice_version\":2.0}",
        "{\"telemetry_notice_version\":\"1\"}",
        "{\"telemetry_consent\":1}",
        "{\"telemetry_consent\":\"true\"}",
        "{\"verify_online_informed\":0}",
        "{\"pkcs11_module_path\":1}",
        "{\"pkcs11_module_path\":[\"C:\\\\x\"]}",
        "{\"pkcs11_module_sha256\":{}}",
        "{\"pkcs11_module_path\":\"a\",\"pkcs11_module_path\":\"a\"}",
        // A repeated named member is refused even when one of them is null.
        "{\"pending_module_path\":null,\"pending_module_path\":\"b\"}",
        // One bad member hides the good one beside it.
        "{\"pkcs11_module_path\":\"C:\\\\p11.dll\",\"pending_module_expires\":-1}",
    };
    for (const std::string_view text : texts) {
        EXPECT_FALSE(readable(text)) << text;
    }
}

TEST(LoadConfig, ReadableTexts) {
    EXPECT_EQ(parsed("{}"), Config{});
    EXPECT_EQ(parsed(" \t\r\n{}\r\n\n \t"), Config{});
    EXPECT_EQ(parsed("{\"pkcs11_module_path\":null}"), Config{});

    const Config full = parsed(R"({
        "verify_online_notice_version": 4294967295,
        "pkcs11_module_path": "C:\\Program Files\\V\\p11.dll",
        "pkcs11_module_sha256": "ab",
        "pending_module_path": "\u00fc",
        "pending_module_sha256": "",
        "pending_module_token_sha256": "cd",
        "pending_module_expires": 18446744073709551615,
        "telemetry_consent": false,
        "telemetry_notice_version": 0,
        "verify_online_revocation": true,
        "verify_online_informed": false
    })");
    EXPECT_EQ(full.pkcs11_module_path, "C:\\Program Files\\V\\p11.dll");
    EXPECT_EQ(full.pkcs11_module_sha256, "ab");
    EXPECT_EQ(full.pending_module_path, "\xC3\xBC");
    EXPECT_EQ(full.pending_module_sha256, "");
    EXPECT_EQ(full.pending_module_token_sha256, "cd");
    EXPECT_EQ(full.pending_module_expires, 18446744073709551615ULL);
    EXPECT_EQ(full.telemetry_consent, false);
    EXPECT_EQ(full.telemetry_notice_version, 0u);
    EXPECT_EQ(full.verify_online_revocation, true);
    EXPECT_EQ(full.verify_online_informed, false);
    EXPECT_EQ(full.verify_online_notice_version, 4294967295u);
    EXPECT_TRUE(full.extra.empty());
}

TEST(LoadConfig, OtherMembersLandInExtraByNameWithTheLaterDuplicateWinning) {
    const Config config = parsed(R"({"zeta":[1,{"pkcs11_module_path":5}],
        "PKCS11_MODULE_PATH":"C:\\x.dll", "alpha":1, "alpha":{"b":null}, "nothing":null,
        "pkcs11_module_path\u0000":"x"})");
    EXPECT_EQ(config.pkcs11_module_path, std::nullopt);
    std::vector<std::string> names;
    for (const auto& [name, value] : config.extra) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"PKCS11_MODULE_PATH", "alpha", "nothing",
                                               std::string("pkcs11_module_path\0", 19), "zeta"}));
    EXPECT_EQ(config.extra.at("alpha"), nlohmann::json::parse(R"({"b":null})"));
    EXPECT_TRUE(config.extra.at("nothing").is_null());
    EXPECT_EQ(config.extra.at("PKCS11_MODULE_PATH"), "C:\\x.dll");
}

TEST(LoadConfig, MissingFilesAndFoldersAreReadErrors) {
    test::TempDir dir;
    for (const std::string& path : {dir.file("config.json"), dir.file("none") + "/config.json"}) {
        auto result = load_config(path);
        ASSERT_TRUE(std::holds_alternative<ConfigError>(result)) << path;
        EXPECT_EQ(std::get<ConfigError>(result).kind, ConfigError::Kind::Read);
    }
    test::write_file(dir.file("config.json"), "{\"pkcs11_module_sha256\":\"ff\"}\n");
    auto result = load_config(dir.file("config.json"));
    ASSERT_TRUE(std::holds_alternative<Config>(result));
    EXPECT_EQ(std::get<Config>(result).pkcs11_module_sha256, "ff");
}

} // namespace
} // namespace korvan::app_dirs
