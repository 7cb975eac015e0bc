// The module trust policy against real files at the places the build's platform family trusts:
// under Wine the test prefix's own C:\Windows\System32 and C:\Program Files, on Linux /opt.
#include "core_fixtures.hpp"
#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/app_dirs/config.hpp"
#include "korvan/app_dirs/known_modules.hpp"
#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/sha256.hpp"
#include "korvan/platform/unicode.hpp"
#include "well_known_place.hpp"
#include "world_doubles.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvan::app_dirs {
namespace {

using test::FixedClock;
using test::PlacedFile;
using test::TempDir;
using test::utf8;
using test::WellKnownLock;
using test::write_file;
namespace fs = std::filesystem;

constexpr bool windows = build_family == PlatformFamily::windows;
constexpr std::int64_t now = 1740820502;
using Via = ModuleAccepted::Via;
// What a case expects: the way in, or the reason.
using Expected = std::variant<Via, ModuleRejectReason>;
constexpr Expected via_well_known = Via::well_known;
constexpr Expected via_pinned = Via::pinned;
constexpr Expected via_pending = Via::pending;
constexpr auto not_absolute = ModuleRejectReason::not_absolute;
constexpr auto not_known = ModuleRejectReason::not_known;
constexpr auto pin_mismatch = ModuleRejectReason::pin_mismatch;
constexpr auto outside = ModuleRejectReason::target_outside_system_dir;

std::string text_of(const Expected& v) {
    const auto* r = std::get_if<ModuleRejectReason>(&v);
    return r ? std::string(reason_name(*r))
             : "accepted: " + std::string(via_name(std::get<Via>(v)));
}
std::string text_of(const ModuleVerdict& v) {
    const auto* accepted = std::get_if<ModuleAccepted>(&v);
    return text_of(accepted ? Expected{accepted->via} : Expected{std::get<ModuleRejectReason>(v)});
}
std::string text_of(ModuleRejectReason reason) {
    return text_of(Expected{reason});
}

std::string canonical(const std::string& path) {
    auto result = platform::canonicalize(path);
    EXPECT_TRUE(std::holds_alternative<std::string>(result)) << path;
    auto* text = std::get_if<std::string>(&result);
    return text ? *text : std::string();
}

std::string digest_of(const std::string& path) {
    auto result = file_sha256_hex(path);
    return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "";
}

std::string sha256_text(std::string_view text) {
    return hex_lower(*platform::sha256(text));
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// A home folder with a settings file, and the evaluation as the program runs it.
class Policy {
  public:
    Policy() { env.values["HOME"] = {platform::EnvValue::Status::Set, home.path()}; }

    void settings(const nlohmann::json& config) { settings_text(config.dump()); }
    void settings_text(const std::string& text) {
        const std::string dir = *app_dir(env);
        fs::create_directories(test::native(dir));
        write_file(join_path(dir, "config.json"), text);
    }
    void token(std::string value,
               platform::EnvValue::Status status = platform::EnvValue::Status::Set) {
        env.values["KORVAN_MODULE_TRIAL_TOKEN"] = {status, std::move(value)};
    }
    ModuleVerdict evaluate(std::string_view candidate) const {
        return evaluate_module_policy(candidate, env, clock);
    }

    TempDir home;
    test::FakeEnvironment env;
    FixedClock clock{now};
};

struct Places {
    std::string well_known;       // an entry of the list, created by the test
    std::string other_spelling;   // the same entry written differently
    std::string other_case;       // not the same entry
    std::string missing;          // an entry whose file does not exist
    std::string trusted_parent;   // a system folder for pinned modules
    std::string untrusted_parent; // outside every system folder
    std::string disqualifying;    // a folder name that makes everything below it untrusted
    std::vector<std::string> relative;
};

Places places() {
    if constexpr (windows) {
        return {"C:\\Windows\\System32\\akisp11.dll",
                "c:/Windows/System32//akisp11.dll",
                "C:\\WINDOWS\\System32\\akisp11.dll",
                "C:\\Windows\\System32\\eTPKCS11.dll",
                "C:\\Program Files",
                "C:\\",
                "Temp",
                {"akisp11.dll", "\\Windows\\System32\\akisp11.dll", "C:akisp11.dll", ""}};
    } else {
        return {"/opt/akis/libakisp11.so",
                "/opt//akis/./libakisp11.so",
                "/opt/AKIS/libakisp11.so",
                "/usr/lib/arnica_p11.so",
                "/opt",
                "/var",
                "tmp",
                {"libakisp11.so", "opt/akis/libakisp11.so", "./libakisp11.so", ""}};
    }
}

TEST(ModulePolicy, KnownModuleListsAreExact) {
    const auto win = known_modules(PlatformFamily::windows);
    const auto mac = known_modules(PlatformFamily::macos);
    const auto lin = known_modules(PlatformFamily::linux);
    EXPECT_EQ(win.size(), 8u);
    EXPECT_EQ(mac.size(), 11u);
    EXPECT_EQ(lin.size(), 9u);
    EXPECT_EQ(win[4], "C:\\Program Files\\E-Tu\xC4\x9Fra\\E-\xC4\xB0mza\\eimzap11.dll");
    EXPECT_EQ(win[5], "C:\\Program Files\\T\xC3\xBCrkTrust\\Arnica\\arnica_pkcs11.dll");
    EXPECT_EQ(win[6], "C:\\Program Files\\E-G\xC3\xBCven\\eguvenp11.dll");
    EXPECT_EQ(mac[1], "/Library/AK\xC4\xB0S/lib/libakisp11.dylib");
    EXPECT_EQ(mac[3], "/Library/E-Tu\xC4\x9Fra/eimzap11.dylib");
    // Every entry is absolute; all but macOS's application bundles lie in system folders (those
    // are accepted only when they resolve to a well-known entry).
    for (const auto& [family, list] :
         {std::pair{PlatformFamily::windows, win}, std::pair{PlatformFamily::macos, mac},
          std::pair{PlatformFamily::linux, lin}}) {
        for (const std::string& entry : list) {
            EXPECT_TRUE(platform::is_valid_utf8(entry)) << entry;
            EXPECT_TRUE(is_absolute(entry, family)) << entry;
            EXPECT_EQ(in_system_dir(entry, family), entry.rfind("/Applications/", 0) != 0) << entry;
        }
    }
}

TEST(ModulePolicy, WellKnownLocations) {
    const Places p = places();
    WellKnownLock lock;
    if (fs::exists(test::native(p.well_known)) || fs::exists(test::native(p.missing))) {
        GTEST_SKIP() << "a real vendor module is installed here";
    }
    PlacedFile module(p.well_known, "module");
    Policy policy;
    // Settings never matter for a well-known entry, not even unreadable ones.
    policy.settings_text("{\"pkcs11_module_path\": 1}");

    struct Case {
        std::string candidate;
        Expected verdict;
    };
    std::vector<Case> cases = {
        {p.well_known, via_well_known},
        {p.other_spelling, via_well_known},
        {p.other_case, not_known},
        {p.missing, not_known},
    };
    if constexpr (windows) {
        // The canonical form carries the verbatim prefix, which no entry has.
        cases.push_back({canonical(p.well_known), not_known});
    }
    for (const std::string& relative : p.relative) {
        cases.push_back({relative, not_absolute});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(text_of(policy.evaluate(c.candidate)), text_of(c.verdict)) << c.candidate;
    }
}

TEST(ModulePolicy, AWellKnownEntryLinkingOutOfTheSystemFolders) {
    const Places p = places();
    WellKnownLock lock;
    Policy policy;
    if constexpr (windows) {
        // Made before the test, on the Unix side of the prefix.
        const std::string entry = "C:\\Windows\\System32\\eToken.dll";
        const std::string target = canonical(entry);
        if (target.find("korvan-outside") == std::string::npos) {
            GTEST_SKIP() << "no link at " << entry << " (made by the core_wine_links test)";
        }
        EXPECT_EQ(text_of(policy.evaluate(entry)), text_of(outside));
    } else {
        const std::string entry = "/opt/etugra/eimzap11.so";
        if (fs::exists(fs::symlink_status(entry))) {
            GTEST_SKIP() << "a real vendor module is installed here";
        }
        TempDir outside_dir("/var/tmp", "korvan-outside");
        TempDir inside_dir("/opt", "korvan-inside");
        fs::create_directories(inside_dir.file("tmp"));
        write_file(outside_dir.file("x.so"), "x");
        write_file(inside_dir.file("tmp/x.so"), "x");
        write_file(inside_dir.file("x.so"), "x");
        PlacedFile placeholder(entry, "");
        struct Case {
            std::string target;
            Expected verdict;
        };
        const Case cases[] = {
            {outside_dir.file("x.so"), outside},
            {inside_dir.file("tmp/x.so"), outside},
            {inside_dir.file("x.so"), via_well_known},
            {inside_dir.file("gone.so"), not_known}, // a dangling link cannot be resolved
        };
        for (const Case& c : cases) {
            fs::remove(entry);
            fs::create_symlink(c.target, entry);
            EXPECT_EQ(text_of(policy.evaluate(entry)), text_of(c.verdict)) << c.target;
            EXPECT_EQ(text_of(policy.evaluate("/opt/etugra//eimzap11.so")), text_of(c.verdict));
        }
    }
}

TEST(ModulePolicy, APinnedModuleIsAcceptedInCanonicalFormWithItsDigest) {
    const Places p = places();
    TempDir vendor(p.trusted_parent, "KorvanTest");
    const std::string module = vendor.file("p11.dll");
    write_file(module, std::string(20000, 'm'));
    const std::string digest = digest_of(module);
    const std::string canonical_path = canonical(module);
    ASSERT_EQ(digest.size(), 64u);

    struct Case {
        std::string label;
        nlohmann::json settings;
        std::string candidate;
        Expected verdict;
    };
    const std::string wrong = std::string(63, '0') + "1";
    std::vector<Case> cases = {
        {"pinned",
         {{"pkcs11_module_path", module}, {"pkcs11_module_sha256", digest}},
         canonical_path,
         via_pinned},
        {"wrong digest",
         {{"pkcs11_module_path", module}, {"pkcs11_module_sha256", wrong}},
         canonical_path,
         pin_mismatch},
        {"upper-case digest",
         {{"pkcs11_module_path", module}, {"pkcs11_module_sha256", upper(digest)}},
         canonical_path,
         pin_mismatch},
        {"digest with a blank",
         {{"pkcs11_module_path", module}, {"pkcs11_module_sha256", digest + " "}},
         canonical_path,
         pin_mismatch},
        {"no digest", {{"pkcs11_module_path", module}}, canonical_path, not_known},
        {"no path", {{"pkcs11_module_sha256", digest}}, canonical_path, not_known},
        {"another module",
         {{"pkcs11_module_path", module}, {"pkcs11_module_sha256", digest}},
         canonical(vendor.path()) + (windows ? "\\other.dll" : "/other.dll"),
         not_known},
    };
    if constexpr (windows) {
        cases.push_back({"drive form",
                         {{"pkcs11_module_path", module}, {"pkcs11_module_sha256", digest}},
                         module,
                         not_known});
    }
    for (const Case& c : cases) {
        Policy policy;
        policy.settings(c.settings);
        EXPECT_EQ(text_of(policy.evaluate(c.candidate)), text_of(c.verdict)) << c.label;
    }
    {
        Policy policy; // settings that cannot be read are no settings
        policy.settings_text("\xEF\xBB\xBF" + nlohmann::json{{"pkcs11_module_path", module},
                                                             {"pkcs11_module_sha256", digest}}
                                                  .dump());
        EXPECT_EQ(text_of(policy.evaluate(canonical_path)), text_of(not_known));
    }
}

// The acceptance carries the hashed file itself: renaming another file over the path afterwards
// changes nothing about what would be loaded.
TEST(ModulePolicy, AnAcceptedPinHoldsTheFileItHashed) {
    const Places p = places();
    TempDir vendor(p.trusted_parent, "KorvanTest");
    const std::string module = vendor.file("p11.dll");
    write_file(module, std::string(20000, 'm'));
    write_file(vendor.file("impostor.dll"), std::string(20000, 'i'));
    const std::string digest = digest_of(module);
    for (const bool pending : {false, true}) {
        Policy policy;
        if (pending) {
            policy.token("t");
            policy.settings({{"pending_module_path", module},
                             {"pending_module_sha256", digest},
                             {"pending_module_token_sha256", sha256_text("t")},
                             {"pending_module_expires", now + 5}});
        } else {
            policy.settings({{"pkcs11_module_path", module}, {"pkcs11_module_sha256", digest}});
        }
        ModuleVerdict verdict = policy.evaluate(canonical(module));
        auto* accepted = std::get_if<ModuleAccepted>(&verdict);
        ASSERT_NE(accepted, nullptr) << text_of(verdict);
        ASSERT_TRUE(accepted->held.has_value());
        EXPECT_EQ(accepted->held->path(), canonical(module));

        std::error_code refused;
        fs::rename(test::native(vendor.file("impostor.dll")), test::native(module), refused);
        // Held without delete sharing, the file cannot be replaced on Windows at all.
        EXPECT_EQ(static_cast<bool>(refused), windows) << refused.message();
        const auto held_digest = file_sha256_hex(*accepted->held);
        ASSERT_TRUE(std::holds_alternative<std::string>(held_digest));
        EXPECT_EQ(std::get<std::string>(held_digest), digest) << (pending ? "pending" : "pinned");
        if (!refused) {
            write_file(module, std::string(20000, 'm'));
            write_file(vendor.file("impostor.dll"), std::string(20000, 'i'));
        }
    }
}

#ifndef _WIN32
// Settings another local user planted, or could change, are no settings: the module they pin is
// not accepted, and the reader names the file and why. As root, "another user" is nobody.
TEST(ModulePolicy, SettingsAnotherUserCouldPlantOrChangeAreNoSettings) {
    const Places p = places();
    TempDir vendor(p.trusted_parent, "KorvanTest");
    const std::string module = vendor.file("p11.dll");
    write_file(module, std::string(20000, 'm'));
    const nlohmann::json pin = {{"pkcs11_module_path", module},
                                {"pkcs11_module_sha256", digest_of(module)}};
    constexpr uid_t nobody = 65534;
    const bool root = ::geteuid() == 0;
    using Plant = std::function<void(const fs::path& dir, const fs::path& file)>;
    struct Case {
        std::string label;
        Plant plant;
        std::string problem; // in the reader's error; empty: the settings count
        bool needs_root;
    };
    const auto mode = [](fs::perms perms, bool folder) {
        return [perms, folder](const fs::path& dir, const fs::path& file) {
            fs::permissions(folder ? dir : file, perms);
        };
    };
    const auto owner = [](bool folder) {
        return [folder](const fs::path& dir, const fs::path& file) {
            ASSERT_EQ(::chown((folder ? dir : file).c_str(), nobody, nobody), 0);
        };
    };
    using fs::perms;
    const Case cases[] = {
        {"as written", [](const fs::path&, const fs::path&) {}, "", false},
        {"folder 0700, file 0600",
         [](const fs::path& dir, const fs::path& file) {
             fs::permissions(dir, perms::owner_all);
             fs::permissions(file, perms::owner_read | perms::owner_write);
         },
         "", false},
        {"folder writable by group", mode(perms::owner_all | perms::group_all, true),
         "is writable by group", false},
        {"folder writable by others", mode(perms::owner_all | perms::others_all, true),
         "is writable by others", false},
        {"folder of another user", owner(true), "is owned by user 65534", true},
        {"file writable by group",
         mode(perms::owner_read | perms::owner_write | perms::group_write, false),
         "config.json is writable by group", false},
        {"file writable by others",
         mode(perms::owner_read | perms::owner_write | perms::others_write, false),
         "config.json is writable by others", false},
        {"file of another user", owner(false), "config.json is owned by user 65534", true},
        {"file a link to good settings",
         [](const fs::path& dir, const fs::path& file) {
             fs::rename(file, dir / "real.json");
             fs::create_symlink(dir / "real.json", file);
         },
         "config.json is a symbolic link", false},
        {"file a FIFO",
         [](const fs::path&, const fs::path& file) {
             fs::remove(file);
             ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
         },
         "config.json is not a regular file", false},
    };
    for (const Case& c : cases) {
        if (c.needs_root && !root) {
            continue; // only root can give a file away
        }
        Policy policy;
        policy.settings(pin);
        const std::string dir = *app_dir(policy.env);
        c.plant(test::native(dir), test::native(config_path(dir)));
        const ModuleVerdict verdict = policy.evaluate(canonical(module));
        EXPECT_EQ(text_of(verdict), text_of(c.problem.empty() ? via_pinned : not_known)) << c.label;
        auto loaded = load_config(config_path(dir));
        if (c.problem.empty()) {
            EXPECT_TRUE(std::holds_alternative<Config>(loaded)) << c.label;
        } else if (auto* error = std::get_if<ConfigError>(&loaded)) {
            EXPECT_NE(error->text.find(c.problem), std::string::npos)
                << c.label << ": " << error->text;
        } else {
            ADD_FAILURE() << c.label << ": the settings were read";
        }
    }
}
#endif

TEST(ModulePolicy, APinOutsideTheSystemFoldersNeverCounts) {
    const Places p = places();
    TempDir untrusted(p.untrusted_parent, "korvan-untrusted");
    TempDir temp; // the user's temporary folder
    TempDir vendor(p.trusted_parent, "KorvanTest");
    const std::string disqualified = vendor.file(p.disqualifying);
    fs::create_directories(test::native(disqualified));
    const std::string sep = windows ? "\\" : "/";
    // Text inside a system folder that resolves outside of it.
    const std::string escaping =
        p.trusted_parent + sep + ".." + untrusted.path().substr(windows ? 2 : 0) + sep + "p11.dll";
    std::vector<std::string> modules = {untrusted.file("p11.dll"),
                                        disqualified + (windows ? "\\p11.dll" : "/p11.dll"),
                                        temp.file("p11.dll"), escaping};
    for (const std::string& module : modules) {
        write_file(module, "module");
        Policy policy;
        policy.settings(
            {{"pkcs11_module_path", module}, {"pkcs11_module_sha256", digest_of(module)}});
        EXPECT_EQ(text_of(policy.evaluate(canonical(module))), text_of(not_known)) << module;
        EXPECT_EQ(text_of(policy.evaluate(module)), text_of(not_known)) << module;
    }
    // A pinned path that resolves but cannot be read as a file is a mismatch, not an acceptance.
    Policy policy;
    policy.settings(
        {{"pkcs11_module_path", vendor.path()}, {"pkcs11_module_sha256", sha256_text("")}});
    EXPECT_EQ(text_of(policy.evaluate(canonical(vendor.path()))), text_of(pin_mismatch));
}

TEST(ModulePolicy, APendingModuleCountsWithinItsWindowAndWithItsToken) {
    const Places p = places();
    TempDir vendor(p.trusted_parent, "KorvanTest");
    const std::string module = vendor.file("pending.dll");
    write_file(module, "pending module");
    const std::string digest = digest_of(module);
    const std::string candidate = canonical(module);
    const std::string token = "trial-\xC4\x9F";

    struct Case {
        std::string label;
        std::int64_t clock;
        nlohmann::json settings;
        std::optional<platform::EnvValue> token;
        Expected verdict;
    };
    auto pending = [&](nlohmann::json expires, std::string sha = "", std::string token_sha = "") {
        nlohmann::json settings = {
            {"pending_module_path", module},
            {"pending_module_sha256", sha.empty() ? digest : sha},
            {"pending_module_token_sha256", token_sha.empty() ? sha256_text(token) : token_sha}};
        if (!expires.is_null()) {
            settings["pending_module_expires"] = expires;
        }
        return settings;
    };
    using Status = platform::EnvValue::Status;
    const platform::EnvValue set{Status::Set, token};
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::vector<Case> cases = {
        {"expires now", now, pending(now), set, via_pending},
        {"expires in 30 s", now, pending(now + 30), set, via_pending},
        {"expires in 31 s", now, pending(now + 31), set, not_known},
        {"expired 1 s ago", now, pending(now - 1), set, not_known},
        {"no expiry", now, pending(nullptr), set, not_known},
        {"no token", now, pending(now), std::nullopt, not_known},
        {"token not Unicode", now, pending(now), platform::EnvValue{Status::NotUnicode, token},
         not_known},
        {"another token", now, pending(now), platform::EnvValue{Status::Set, token + "x"},
         not_known},
        {"upper-case token digest", now, pending(now, "", upper(sha256_text(token))), set,
         not_known},
        {"an empty token is a token", now, pending(now, "", sha256_text("")),
         platform::EnvValue{Status::Set, ""}, via_pending},
        {"wrong module digest", now, pending(now, std::string(64, 'a')), set, pin_mismatch},
        {"clock before 1970 reads as 0", -5, pending(30), set, via_pending},
        {"clock before 1970, expired", -5, pending(31), set, not_known},
        {"the largest expiry", now, pending(max), set, not_known},
    };
    TempDir temp;
    {
        nlohmann::json no_sha = pending(now);
        no_sha.erase("pending_module_sha256");
        cases.push_back({"no module digest", now, no_sha, set, not_known});
        nlohmann::json elsewhere = pending(now);
        write_file(temp.file("pending.dll"), "pending module");
        elsewhere["pending_module_path"] = temp.file("pending.dll");
        cases.push_back({"pending module outside", now, elsewhere, set, not_known});
        // The pinned module's own mismatch is final, whatever the pending entry says.
        nlohmann::json both = pending(now);
        both["pkcs11_module_path"] = module;
        both["pkcs11_module_sha256"] = std::string(64, 'b');
        cases.push_back({"pinned mismatch first", now, both, set, pin_mismatch});
    }
    for (const Case& c : cases) {
        Policy policy;
        policy.clock.time.seconds = c.clock;
        policy.settings(c.settings);
        if (c.token) {
            policy.token(c.token->value, c.token->status);
        }
        EXPECT_EQ(text_of(policy.evaluate(candidate)), text_of(c.verdict)) << c.label;
    }
}

TEST(ModulePolicy, AConfiguredLocationIsRefusedWithItsReason) {
    const Places p = places();
    TempDir untrusted(p.untrusted_parent, "korvan-untrusted");
    TempDir vendor(p.trusted_parent, "KorvanTest");
    const std::string sep = windows ? "\\" : "/";
    fs::create_directories(test::native(vendor.file(p.disqualifying)));
    write_file(untrusted.file("p11.dll"), "m");
    write_file(vendor.file(p.disqualifying) + sep + "p11.dll", "m");
    write_file(vendor.file("p11.dll"), "m");
    const std::string escaping =
        p.trusted_parent + sep + ".." + untrusted.path().substr(windows ? 2 : 0) + sep + "p11.dll";
    using Problem = LocationRefused::Problem;
    struct Case {
        std::string configured;
        std::optional<Problem> problem; // none: accepted
        std::string path;               // the canonical path, or the one that was refused
    };
    const Case cases[] = {
        {untrusted.file("p11.dll"), Problem::outside_system_dirs, untrusted.file("p11.dll")},
        {vendor.file(p.disqualifying) + sep + "p11.dll", Problem::below_scratch_folder,
         vendor.file(p.disqualifying) + sep + "p11.dll"},
        {vendor.file("none.dll"), Problem::not_canonical, vendor.file("none.dll")},
        {escaping, Problem::outside_system_dirs, canonical(untrusted.file("p11.dll"))},
        {vendor.file("p11.dll"), std::nullopt, canonical(vendor.file("p11.dll"))},
    };
    for (const Case& c : cases) {
        const auto checked = check_module_location(c.configured);
        if (!c.problem) {
            ASSERT_TRUE(std::holds_alternative<std::string>(checked)) << c.configured;
            EXPECT_EQ(std::get<std::string>(checked), c.path);
            EXPECT_EQ(trusted_module_location(c.configured), c.path);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<LocationRefused>(checked)) << c.configured;
        const LocationRefused& refused = std::get<LocationRefused>(checked);
        EXPECT_EQ(refused.problem, *c.problem) << c.configured;
        EXPECT_EQ(refused.path, c.path) << c.configured;
        EXPECT_NE(refusal_text(refused).find(c.path), std::string::npos) << refusal_text(refused);
        EXPECT_EQ(trusted_module_location(c.configured), std::nullopt) << c.configured;
    }
}

TEST(ModulePolicy, FileDigestsAreStreamedAndExact) {
    TempDir dir;
    struct Case {
        std::string content;
        std::string digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        write_file(dir.file("m"), c.content);
        EXPECT_EQ(digest_of(dir.file("m")), c.digest) << c.content.size();
    }
    EXPECT_TRUE(std::holds_alternative<platform::FileError>(file_sha256_hex(dir.file("none"))));
}

TEST(ModulePolicy, EnforcingReportsOnlyRejections) {
    Policy policy;
    test::MemorySink err;
    EXPECT_FALSE(enforce_module_policy("relative.dll", policy.env, policy.clock, err).has_value());
    EXPECT_EQ(err.text, "child module path rejected: not_absolute\n");
    const std::string log = test::read_file_text(join_path(*app_dir(policy.env), "audit.log"));
    EXPECT_NE(log.find("\"error\":\"child_module_rejected:not_absolute\"}\n"), std::string::npos)
        << log;

    const Places p = places();
    WellKnownLock lock;
    if (fs::exists(test::native(p.well_known))) {
        GTEST_SKIP() << "a real vendor module is installed here";
    }
    PlacedFile module(p.well_known, "module");
    test::MemorySink quiet;
    const auto accepted = enforce_module_policy(p.well_known, policy.env, policy.clock, quiet);
    ASSERT_TRUE(accepted.has_value());
    EXPECT_EQ(accepted->via, Via::well_known);
    EXPECT_FALSE(accepted->held.has_value()) << "a location is vouched for, not a file";
    EXPECT_EQ(quiet.text, "");
}

} // namespace
} // namespace korvan::app_dirs
