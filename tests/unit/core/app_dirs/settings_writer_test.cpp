// The parent's side of the settings: what is written reads back as the same record, a reader never
// sees half a file, and pinning or staging a module stores only what the policy can accept.
#include "core_fixtures.hpp"
#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/app_dirs/settings_writer.hpp"
#include "korvan/platform/files.hpp"
#include "korvan/platform/sha256.hpp"
#include "world_doubles.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <random>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvan::app_dirs {
namespace {

using json = nlohmann::json;
using Kind = SettingsFailure::Kind;
using test::TempDir;
using test::write_file;
namespace fs = std::filesystem;

constexpr bool windows = build_family == PlatformFamily::windows;
const std::string sep = windows ? "\\" : "/";

// A system folder for modules, one outside all of them, a disqualifying folder name.
const std::string trusted_parent = windows ? "C:\\Program Files" : "/opt";
const std::string untrusted_parent = windows ? "C:\\" : "/var";
const std::string scratch_name = windows ? "Downloads" : "tmp";

Config read_back(const std::string& dir) {
    auto loaded = load_config(config_path(dir));
    if (auto* error = std::get_if<ConfigError>(&loaded)) {
        ADD_FAILURE() << error->text << "\n" << test::read_file_text(config_path(dir));
        return {};
    }
    return std::get<Config>(loaded);
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(test::native(dir))) {
        names.push_back(test::utf8(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string canonical(const std::string& path) {
    auto result = platform::canonicalize(path);
    return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "";
}

std::string token_text(const platform::SecretBytes& token) {
    return std::string(token.begin(), token.end());
}

// Every JSON type among the members the parent keeps and this project does not know, and texts
// past ASCII in the paths.
Config full_config() {
    Config config;
    config.pkcs11_module_path = "C:\\Program Files\\E-Tu\xC4\x9Fra\\p11 \"quoted\".dll";
    config.pkcs11_module_sha256 = std::string(64, 'a');
    config.pending_module_path = "/opt/\xE2\x9C\x93/back\\slash.so";
    config.pending_module_sha256 = "";
    config.pending_module_token_sha256 = std::string(64, 'c');
    config.pending_module_expires = 18446744073709551615ULL;
    config.telemetry_consent = false;
    config.telemetry_notice_version = 4294967295u;
    config.verify_online_revocation = true;
    config.verify_online_informed = false;
    config.verify_online_notice_version = 0;
    config.extra = {
        {"null", nullptr},
        {"true", true},
        {"false", false},
        {"unsigned", 18446744073709551615ULL},
        {"negative", -9223372036854775807LL - 1},
        {"fraction", 0.1},
        {"tiny", 5e-324},
        {"text", "control \x01 line\nfeed \xF0\x9F\x98\x80 \\ \""},
        {"empty", ""},
        {"array", json::array({1, "two", nullptr, json::array(), json::object()})},
        {"object", {{"nested", {{"deeper", {1.5, false}}}}, {"PKCS11_MODULE_PATH", "x"}}},
        {"PKCS11_MODULE_PATH", "C:\\other.dll"},
        {"\xC3\xBC name with \"quote\"", 1},
        {std::string("nul\0inside", 10), "x"},
    };
    return config;
}

TEST(SettingsWriter, WhatIsWrittenReadsBackAsTheSameRecord) {
    TempDir home;
    const std::string dir = test::utf8(test::native(home.path()) / "a" / ".korvan-qes");
    for (const Config& config : {Config{}, full_config()}) {
        ASSERT_EQ(write_config(dir, config), std::nullopt);
        EXPECT_EQ(read_back(dir), config);
    }
    // The named members first, in the record's order, then the others by name.
    const std::string text = test::read_file_text(config_path(dir));
    std::vector<std::size_t> at;
    for (const char* name : {"\"pkcs11_module_path\"", "\"pending_module_expires\"",
                             "\"verify_online_notice_version\"", "\"PKCS11_MODULE_PATH\"",
                             "\"array\"", "\"unsigned\""}) {
        at.push_back(text.find(name));
        EXPECT_NE(at.back(), std::string::npos) << name;
    }
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << text;
    EXPECT_EQ(text.back(), '\n');
    // The new file took the old one's name: nothing is left beside it but the writers' lock.
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"config.json", "config.lock"}));
}

// Random records of every shape, through the file and back.
TEST(SettingsWriter, RandomRecordsSurviveTheRoundTrip) {
    std::mt19937_64 random(20261210);
    auto pick = [&random](std::uint64_t n) { return random() % n; };
    auto text = [&] {
        // clang-format off
        static const std::vector<std::string> pieces = {
            "a", "Z", " ", "\\", "\"", "/", "\x01", "\n", "\xC4\x9F", "\xE2\x80\x94",
            "\xF0\x9F\x94\x91", "C:\\Program Files\\", "/usr/lib/"};
        // clang-format on
        std::string out;
        for (std::uint64_t i = pick(6); i > 0; --i) {
            out += pieces[pick(pieces.size())];
        }
        return out;
    };
    std::function<json(int)> value = [&](int depth) -> json {
        switch (pick(depth > 3 ? 6 : 8)) {
        case 0:
            return nullptr;
        case 1:
            return pick(2) == 0;
        case 2:
            return random();
        case 3:
            return -static_cast<std::int64_t>(pick(1000000)) - 1;
        case 4:
            return static_cast<double>(random() % 100000) / 64.0 + 0.5;
        case 5:
            return text();
        case 6: {
            json array = json::array();
            for (std::uint64_t i = pick(4); i > 0; --i) {
                array.push_back(value(depth + 1));
            }
            return array;
        }
        default: {
            json object = json::object();
            for (std::uint64_t i = pick(4); i > 0; --i) {
                object[text()] = value(depth + 1);
            }
            return object;
        }
        }
    };
    TempDir home;
    for (int round = 0; round < 200; ++round) {
        Config config;
        auto maybe = [&](auto& member, auto make) {
            if (pick(2) == 0) {
                member = make();
            }
        };
        maybe(config.pkcs11_module_path, text);
        maybe(config.pkcs11_module_sha256, text);
        maybe(config.pending_module_path, text);
        maybe(config.pending_module_sha256, text);
        maybe(config.pending_module_token_sha256, text);
        maybe(config.pending_module_expires, [&] { return random(); });
        maybe(config.telemetry_consent, [&] { return pick(2) == 0; });
        maybe(config.telemetry_notice_version,
              [&] { return static_cast<std::uint32_t>(random()); });
        maybe(config.verify_online_revocation, [&] { return pick(2) == 0; });
        maybe(config.verify_online_informed, [&] { return pick(2) == 0; });
        maybe(config.verify_online_notice_version,
              [&] { return static_cast<std::uint32_t>(random()); });
        for (std::uint64_t i = pick(5); i > 0; --i) {
            const std::string name = text();
            if (!is_named_member(name)) {
                config.extra[name] = value(0);
            }
        }
        ASSERT_EQ(write_config(home.path(), config), std::nullopt) << round;
        ASSERT_EQ(read_back(home.path()), config) << round;
    }
}

TEST(SettingsWriter, RecordsThatWouldNotReadBackTheSameAreNotWritten) {
    json deep = 1;
    for (int i = 0; i < 600; ++i) {
        deep = json::array({std::move(deep)});
    }
    const std::vector<std::pair<std::string, Config>> cases = {
        {"path not UTF-8",
         [] {
             Config c;
             c.pkcs11_module_path = "\xFF";
             return c;
         }()},
        {"extra text not UTF-8",
         [] {
             Config c;
             c.extra["a"] = "\xC0\xAF";
             return c;
         }()},
        {"extra name not UTF-8",
         [] {
             Config c;
             c.extra["\xFF"] = 1;
             return c;
         }()},
        {"infinite",
         [] {
             Config c;
             c.extra["a"] = {1, HUGE_VAL};
             return c;
         }()},
        {"a named member as extra",
         [] {
             Config c;
             c.extra["pkcs11_module_path"] = "x";
             return c;
         }()},
        {"too deep",
         [&deep] {
             Config c;
             c.extra["a"] = deep;
             return c;
         }()},
    };
    TempDir home;
    write_file(config_path(home.path()), "{\"telemetry_consent\": true}\n");
    for (const auto& [label, config] : cases) {
        const auto failure = write_config(home.path(), config);
        ASSERT_TRUE(failure.has_value()) << label;
        EXPECT_EQ(failure->kind, Kind::not_written) << label;
        EXPECT_EQ(test::read_file_text(config_path(home.path())),
                  "{\"telemetry_consent\": true}\n");
    }
}

// A reader that starts while the file is replaced sees the old settings or the new ones.
TEST(SettingsWriter, AReaderNeverSeesAPartialFile) {
    TempDir home;
    Config a;
    a.pkcs11_module_path = "/opt/a.so";
    a.extra["padding"] = std::string(300000, 'a');
    Config b;
    b.pending_module_path = "/opt/b.so";
    b.extra["padding"] = json::array();
    for (int i = 0; i < 20000; ++i) {
        b.extra["padding"].push_back(i);
    }
    ASSERT_EQ(write_config(home.path(), a), std::nullopt);

    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            auto loaded = load_config(config_path(home.path()));
            const auto* config = std::get_if<Config>(&loaded);
            if (config == nullptr || (*config != a && *config != b)) {
                ++torn;
            }
            ++reads;
        }
    });
    int writes = 0;
    for (; writes < 150 || reads < 50; ++writes) {
        ASSERT_EQ(write_config(home.path(), writes % 2 == 0 ? b : a), std::nullopt);
        if (writes > 5000) {
            break;
        }
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << reads << " reads during " << writes << " writes";
    EXPECT_GE(reads, 50);
    EXPECT_EQ(names_in(home.path()), (std::vector<std::string>{"config.json", "config.lock"}));
}

#ifdef _WIN32
// A reader of another program that opened the file without delete sharing holds the replacement
// off: the writer waits a little for it, and gives up leaving the old file as it was.
TEST(SettingsWriter, AReaderThatLocksTheFileDelaysTheReplacementOrRefusesIt) {
    TempDir home;
    Config before;
    before.telemetry_consent = true;
    ASSERT_EQ(write_config(home.path(), before), std::nullopt);
    const std::wstring path = test::native(config_path(home.path())).wstring();
    auto hold = [&path] {
        return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    Config after;
    after.telemetry_consent = false;

    HANDLE briefly = hold();
    ASSERT_NE(briefly, INVALID_HANDLE_VALUE);
    std::thread release([briefly] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CloseHandle(briefly);
    });
    EXPECT_EQ(write_config(home.path(), after), std::nullopt);
    release.join();
    EXPECT_EQ(read_back(home.path()), after);

    HANDLE held = hold();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto refused = write_config(home.path(), before);
    CloseHandle(held);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->kind, Kind::not_written);
    EXPECT_EQ(read_back(home.path()), after);
    EXPECT_EQ(names_in(home.path()), (std::vector<std::string>{"config.json", "config.lock"}));
}
#endif

// Module files at the places the build's family trusts, and at places it never does.
class Modules {
  public:
    Modules() {
        fs::create_directories(test::native(vendor.file(scratch_name)));
        write_file(good(), "module bytes");
        write_file(untrusted.file("p11.dll"), "module bytes");
        write_file(scratch(), "module bytes");
    }
    std::string good() const { return vendor.file("p11.dll"); }
    std::string scratch() const { return vendor.file(scratch_name) + sep + "p11.dll"; }

    TempDir vendor{trusted_parent, "KorvanTest"};
    TempDir untrusted{untrusted_parent, "korvan-untrusted"};
    TempDir temp; // the user's temporary folder
};

TEST(SettingsWriter, PinRefusesWhatThePolicyCouldNeverAccept) {
    Modules modules;
    write_file(modules.temp.file("p11.dll"), "module bytes");
    struct Case {
        std::string label;
        std::string module;
        Kind kind;
    };
    std::vector<Case> cases = {
        {"missing", modules.vendor.file("none.dll"), Kind::not_canonical},
        {"outside the system folders", modules.untrusted.file("p11.dll"),
         Kind::outside_system_dirs},
        {"below a scratch folder", modules.scratch(), Kind::below_scratch_folder},
        {"a folder, not a file", modules.vendor.path(), Kind::unreadable_module},
        {"relative and missing", "no-such-module.dll", Kind::not_canonical},
    };
    // The temporary folder is below "tmp" on Linux and "Temp" on Windows.
    cases.push_back(
        {"the temporary folder", modules.temp.file("p11.dll"), Kind::below_scratch_folder});
    TempDir home;
    const std::string dir = home.file(".korvan-qes");
    for (const Case& c : cases) {
        const auto result = pin_module(dir, c.module);
        ASSERT_TRUE(std::holds_alternative<SettingsFailure>(result)) << c.label;
        const SettingsFailure& failure = std::get<SettingsFailure>(result);
        EXPECT_EQ(static_cast<int>(failure.kind), static_cast<int>(c.kind))
            << c.label << ": " << failure.text;
        EXPECT_FALSE(failure.text.empty());
        EXPECT_FALSE(fs::exists(test::native(dir))) << c.label << ": nothing is written";
    }
    // Settings the parent must mend are not written over.
    fs::create_directories(test::native(dir));
    write_file(config_path(dir), "{\"telemetry_consent\": 1}");
    const auto result = pin_module(dir, modules.good());
    ASSERT_TRUE(std::holds_alternative<SettingsFailure>(result));
    EXPECT_EQ(std::get<SettingsFailure>(result).kind, Kind::unreadable_settings);
    EXPECT_EQ(test::read_file_text(config_path(dir)), "{\"telemetry_consent\": 1}");
}

TEST(SettingsWriter, APinnedModuleIsAcceptedAndTheOtherMembersStay) {
    Modules modules;
    TempDir home;
    test::FakeEnvironment env;
    env.values["HOME"] = {platform::EnvValue::Status::Set, home.path()};
    const std::string dir = *app_dir(env);
    Config before = full_config();
    ASSERT_EQ(write_config(dir, before), std::nullopt);

    const auto result = pin_module(dir, modules.good());
    ASSERT_TRUE(std::holds_alternative<PinnedModule>(result))
        << std::get<SettingsFailure>(result).text;
    const PinnedModule& pinned = std::get<PinnedModule>(result);
    EXPECT_EQ(pinned.path, canonical(modules.good()));
    EXPECT_EQ(pinned.sha256, hex_lower(*platform::sha256(std::string_view("module bytes"))));

    Config expected = before;
    expected.pkcs11_module_path = pinned.path;
    expected.pkcs11_module_sha256 = pinned.sha256;
    EXPECT_EQ(read_back(dir), expected);

    const test::FixedClock clock;
    const ModuleVerdict verdict = evaluate_module_policy(pinned.path, env, clock);
    ASSERT_TRUE(std::holds_alternative<ModuleAccepted>(verdict));
    EXPECT_EQ(std::get<ModuleAccepted>(verdict).via, ModuleAccepted::Via::pinned);
}

TEST(SettingsWriter, AStagedModuleIsAcceptedWithItsTokenWithinItsWindowOnly) {
    Modules modules;
    TempDir home;
    test::FakeEnvironment env;
    env.values["HOME"] = {platform::EnvValue::Status::Set, home.path()};
    const std::string dir = *app_dir(env);
    test::FixedClock clock(1740820502);

    for (const std::uint64_t lifetime : {0u, 31u}) {
        const auto refused = stage_pending_module(dir, modules.good(), lifetime, clock);
        ASSERT_TRUE(std::holds_alternative<SettingsFailure>(refused)) << lifetime;
        EXPECT_EQ(std::get<SettingsFailure>(refused).kind, Kind::bad_lifetime);
    }
    const auto outside = stage_pending_module(dir, modules.scratch(), 30, clock);
    ASSERT_TRUE(std::holds_alternative<SettingsFailure>(outside));
    EXPECT_EQ(std::get<SettingsFailure>(outside).kind, Kind::below_scratch_folder);
    EXPECT_FALSE(fs::exists(test::native(dir)));

    Config before;
    before.telemetry_consent = true;
    before.extra["kept"] = {{"a", 1}};
    ASSERT_EQ(write_config(dir, before), std::nullopt);
    auto result = stage_pending_module(dir, modules.good(), 30, clock);
    ASSERT_TRUE(std::holds_alternative<StagedModule>(result))
        << std::get<SettingsFailure>(result).text;
    const StagedModule& staged = std::get<StagedModule>(result);
    const std::string token = token_text(staged.token);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_EQ(staged.expires, 1740820502u + 30);

    const Config stored = read_back(dir);
    EXPECT_EQ(stored.pending_module_path, canonical(modules.good()));
    EXPECT_EQ(stored.pending_module_sha256, staged.sha256);
    EXPECT_EQ(stored.pending_module_token_sha256, hex_lower(*platform::sha256(token)));
    EXPECT_EQ(stored.pending_module_expires, staged.expires);
    EXPECT_EQ(stored.telemetry_consent, true);
    EXPECT_EQ(stored.extra, before.extra);
    EXPECT_EQ(stored.pkcs11_module_path, std::nullopt);
    EXPECT_EQ(test::read_file_text(config_path(dir)).find(token), std::string::npos);

    // Two approvals never share a token.
    const auto again = stage_pending_module(dir, modules.good(), 30, clock);
    ASSERT_TRUE(std::holds_alternative<StagedModule>(again));
    const std::string second = token_text(std::get<StagedModule>(again).token);
    EXPECT_NE(second, token);

    struct Case {
        std::string label;
        std::int64_t clock;
        std::string token;
        bool accepted;
    };
    const Case cases[] = {
        {"at once", 1740820502, second, true},
        {"at the end of the window", 1740820502 + 30, second, true},
        {"after the window", 1740820502 + 31, second, false},
        {"the replaced token", 1740820502, token, false},
    };
    for (const Case& c : cases) {
        env.values["KORVAN_MODULE_TRIAL_TOKEN"] = {platform::EnvValue::Status::Set, c.token};
        clock.time.seconds = c.clock;
        const ModuleVerdict verdict = evaluate_module_policy(staged.path, env, clock);
        const auto* accepted = std::get_if<ModuleAccepted>(&verdict);
        EXPECT_EQ(accepted != nullptr, c.accepted) << c.label;
        if (accepted != nullptr) {
            EXPECT_EQ(accepted->via, ModuleAccepted::Via::pending) << c.label;
        }
    }

    ASSERT_EQ(clear_pending_module(dir), std::nullopt);
    EXPECT_EQ(read_back(dir), before);
    TempDir empty;
    EXPECT_EQ(clear_pending_module(empty.file("none")), std::nullopt);
    EXPECT_FALSE(fs::exists(test::native(empty.file("none"))));
}

// The pin answers for its path before a pending module is looked at: an approval over a pin the
// file no longer matches could never pass, so it is refused and nothing is written.
TEST(SettingsWriter, StagingRefusesAPathWhosePinTheFileNoLongerMatches) {
    Modules modules;
    TempDir home;
    test::FakeEnvironment env;
    env.values["HOME"] = {platform::EnvValue::Status::Set, home.path()};
    const std::string dir = *app_dir(env);
    const test::FixedClock clock(1740820502);
    ASSERT_TRUE(std::holds_alternative<PinnedModule>(pin_module(dir, modules.good())));
    write_file(modules.good(), "module bytes, rebuilt");
    const std::string before = test::read_file_text(config_path(dir));

    const auto refused = stage_pending_module(dir, modules.good(), 30, clock);
    ASSERT_TRUE(std::holds_alternative<SettingsFailure>(refused));
    EXPECT_EQ(std::get<SettingsFailure>(refused).kind, Kind::pinned_otherwise);
    EXPECT_EQ(test::read_file_text(config_path(dir)), before);

    // Why: with that approval written all the same, the policy still answers from the pin.
    Config forced = read_back(dir);
    const std::string token(64, 'a');
    forced.pending_module_path = canonical(modules.good());
    forced.pending_module_sha256 = std::get<std::string>(file_sha256_hex(modules.good()));
    forced.pending_module_token_sha256 = hex_lower(*platform::sha256(token));
    forced.pending_module_expires = 1740820502 + 30;
    ASSERT_EQ(write_config(dir, forced), std::nullopt);
    env.values["KORVAN_MODULE_TRIAL_TOKEN"] = {platform::EnvValue::Status::Set, token};
    EXPECT_EQ(evaluate_module_policy(canonical(modules.good()), env, clock),
              ModuleVerdict(ModuleRejectReason::pin_mismatch));
}

// While another writer holds the lock past the wait, every writer fails with a clear text and
// writes nothing; all three wait at once, so the test waits the time once.
TEST(SettingsWriter, AWriterThatCannotHaveTheLockWritesNothing) {
    Modules modules;
    TempDir home;
    const std::string dir = home.file(".korvan-qes");
    Config before;
    before.pending_module_path = "/opt/before.so";
    ASSERT_EQ(write_config(dir, before), std::nullopt);
    const std::string content = test::read_file_text(config_path(dir));
    auto held = platform::FileLock::acquire(join_path(dir, "config.lock"), settings_lock_wait);
    ASSERT_TRUE(std::holds_alternative<platform::FileLock>(held));

    const test::FixedClock clock;
    using Writer = std::function<std::optional<SettingsFailure>()>;
    const auto failure_of = [](const auto& result) -> std::optional<SettingsFailure> {
        if (const auto* failure = std::get_if<SettingsFailure>(&result)) {
            return *failure;
        }
        return std::nullopt;
    };
    const std::vector<std::pair<std::string, Writer>> writers = {
        {"pin", [&] { return failure_of(pin_module(dir, modules.good())); }},
        {"stage", [&] { return failure_of(stage_pending_module(dir, modules.good(), 5, clock)); }},
        {"clear", [&] { return clear_pending_module(dir); }},
        {"write", [&] { return write_config(dir, full_config()); }},
    };
    std::vector<std::optional<SettingsFailure>> failures(writers.size());
    const auto start = std::chrono::steady_clock::now();
    {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < writers.size(); ++i) {
            threads.emplace_back([&, i] { failures[i] = writers[i].second(); });
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, settings_lock_wait);
    EXPECT_LT(waited, settings_lock_wait * 3);
    for (std::size_t i = 0; i < writers.size(); ++i) {
        ASSERT_TRUE(failures[i].has_value()) << writers[i].first;
        EXPECT_EQ(failures[i]->kind, Kind::busy) << writers[i].first;
        EXPECT_NE(failures[i]->text.find("was not free within 5 seconds; nothing was written"),
                  std::string::npos)
            << failures[i]->text;
    }
    EXPECT_EQ(test::read_file_text(config_path(dir)), content);
    held = platform::FileLock();
    EXPECT_EQ(clear_pending_module(dir), std::nullopt) << "the lock is free again";
    EXPECT_EQ(read_back(dir), Config{});
}

#ifndef _WIN32
// The folder is the user's alone, and a lock file planted in a folder that is not cannot make a
// writer follow a link, hang on a FIFO or share a lock with another user.
TEST(SettingsWriter, TheFolderIsPrivateAndAPlantedLockFileIsRefused) {
    Modules modules;
    {
        TempDir home;
        const std::string dir = home.file("new") + "/.korvan-qes";
        ASSERT_TRUE(std::holds_alternative<PinnedModule>(pin_module(dir, modules.good())));
        EXPECT_EQ(fs::status(test::native(dir)).permissions() & fs::perms::all,
                  fs::perms::owner_all);
        EXPECT_EQ(fs::status(test::native(config_path(dir))).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    struct Case {
        std::string label;
        std::function<void(const fs::path& lock, const fs::path& target)> plant;
        std::string problem;
        bool needs_root;
    };
    const Case cases[] = {
        {"link",
         [](const fs::path& lock, const fs::path& target) { fs::create_symlink(target, lock); },
         "config.lock is a symbolic link", false},
        {"FIFO",
         [](const fs::path& lock, const fs::path&) { ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0); },
         "config.lock is not a regular file", false},
        {"folder", [](const fs::path& lock, const fs::path&) { fs::create_directory(lock); },
         "config.lock", false},
        {"writable by others",
         [](const fs::path& lock, const fs::path&) {
             write_file(test::utf8(lock), "");
             fs::permissions(lock, fs::perms::owner_read | fs::perms::owner_write |
                                       fs::perms::others_write);
         },
         "config.lock is writable by others", false},
        {"another user's",
         [](const fs::path& lock, const fs::path&) {
             write_file(test::utf8(lock), "");
             ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
         },
         "config.lock is owned by user 65534", true},
    };
    for (const Case& c : cases) {
        if (c.needs_root && ::geteuid() != 0) {
            continue;
        }
        TempDir home;
        const std::string dir = home.file(".korvan-qes");
        ASSERT_EQ(write_config(dir, Config{}), std::nullopt);
        const fs::path target = test::native(home.file("elsewhere"));
        write_file(test::utf8(target), "kept");
        fs::remove(test::native(join_path(dir, "config.lock")));
        c.plant(test::native(join_path(dir, "config.lock")), target);
        const auto result = pin_module(dir, modules.good());
        const auto* failure = std::get_if<SettingsFailure>(&result);
        ASSERT_NE(failure, nullptr) << c.label;
        EXPECT_EQ(failure->kind, Kind::not_written) << c.label;
        EXPECT_NE(failure->text.find(c.problem), std::string::npos) << failure->text;
        EXPECT_EQ(test::read_file_text(test::utf8(target)), "kept") << c.label;
        EXPECT_EQ(read_back(dir), Config{}) << c.label;
    }
}
#endif

} // namespace
} // namespace korvan::app_dirs
