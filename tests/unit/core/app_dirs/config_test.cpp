#include "core_fixtures.hpp"
#include "korvan/app_dirs/config.hpp"
#include "korvan/platform/files.hpp"

#include <gtest/gtest.h>

namespace korvan::app_dirs {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

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
        // Raw NUL bytes: the parser would end its input at the first one.
        "{}\0"sv,
        "{}\0\0\0\0"sv,
        "{\"telemetry_consent\":true}\0{\"pkcs11_module_path\":\"/usr/lib/p11.so\"}"sv,
        "{\"a\":\"x\0y\"}"sv,
        "\0{}"sv,
        // Names are UTF-8 too: a bad byte, an overlong form, an encoded surrogate.
        "{\"\xFF\":1}",
        "{\"pkcs11_module_path\xC3\":\"a\"}",
        "{\"a\":\"\xC0\xAF\"}",
        "{\"a\":\"\xED\xA0\x80\"}",
        "{\"a\":\"\\udc00\"}",
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

TEST(LoadConfig, FilesOfEverySizeAroundTheReadChunkArriveWhole) {
    test::TempDir dir;
    const std::string path = dir.file("config.json");
    const std::string head = R"({"pkcs11_module_path":")";
    for (const std::size_t size : {8191u, 8192u, 8193u, 16385u, 1048577u}) {
        const std::string value(size - head.size() - 2, 'v');
        test::write_file(path, head + value + "\"}");
        auto result = load_config(path);
        ASSERT_TRUE(std::holds_alternative<Config>(result)) << size;
        EXPECT_EQ(std::get<Config>(result).pkcs11_module_path, value) << size;
    }
    // An empty file is read, and is no settings.
    test::write_file(path, "");
    auto empty = load_config(path);
    ASSERT_TRUE(std::holds_alternative<ConfigError>(empty));
    EXPECT_EQ(std::get<ConfigError>(empty).kind, ConfigError::Kind::Parse);
}

TEST(LoadConfig, APathHoldingANulNamesNoFile) {
    // An escaped NUL is a valid string; cut at it, the path would be a file that exists.
    test::TempDir dir;
    const std::string module = dir.file("p11.so");
    test::write_file(module, "module");
    const std::string named = module + "\0.txt"s;
    const std::string text = nlohmann::json{{"pkcs11_module_path", named}}.dump();
    ASSERT_NE(text.find("\\u0000"), std::string::npos) << text;
    EXPECT_EQ(parsed(text).pkcs11_module_path, named);
    EXPECT_TRUE(std::holds_alternative<platform::FileError>(platform::canonicalize(named)));
    EXPECT_TRUE(std::holds_alternative<platform::FileError>(platform::File::open_read(named)));
    EXPECT_FALSE(platform::file_size(named).has_value());
    EXPECT_FALSE(platform::path_exists(named));
    test::write_file(dir.file("config.json"), "{}");
    auto loaded = load_config(dir.file("config.json") + "\0"s);
    ASSERT_TRUE(std::holds_alternative<ConfigError>(loaded));
    EXPECT_EQ(std::get<ConfigError>(loaded).kind, ConfigError::Kind::Read);
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
