// pin, approve, check and audit in-process, against real files at the places the build's
// platform family trusts (under Wine the test prefix's C:\Program Files, on Linux /opt).
#include "hostile_files.hpp"
#include "run_setup.hpp"
#include "well_known_place.hpp"
#include "world_doubles.hpp"

#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/app_dirs/known_modules.hpp"
#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/app_dirs/settings_writer.hpp"
#include "korvan/audit/audit_log.hpp"
#include "korvan/audit/audit_reader.hpp"
#include "korvan/audit/rejection_report.hpp"
#include "korvan/platform/files.hpp"
#include "korvan/version.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace korvan::setup {
namespace {

namespace fs = std::filesystem;
using app_dirs::build_family;
using app_dirs::PlatformFamily;

constexpr bool windows = build_family == PlatformFamily::windows;
constexpr std::int64_t now = 1740820502; // 2025-03-01T09:15:02Z

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}
std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
std::string unique(const std::string& stem) {
    static std::mt19937_64 random{std::random_device{}()};
    return stem + std::to_string(random() % 1000000000000ULL);
}
void write(const std::string& path, const std::string& content) {
    fs::create_directories(native(path).parent_path());
    std::ofstream(native(path), std::ios::binary | std::ios::trunc) << content;
}
std::string read(const std::string& path) {
    std::ifstream in(native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
std::string canonical(const std::string& path) {
    auto result = platform::canonicalize(path);
    return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "";
}

class Folder {
  public:
    explicit Folder(const std::string& parent) : path(utf8(native(parent) / unique("korvan-"))) {
        fs::create_directories(native(path));
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(native(path), ignored);
    }
    std::string file(const std::string& name) const { return utf8(native(path) / native(name)); }
    const std::string path;
};

class FixedClock final : public platform::Clock {
  public:
    platform::UtcTime now() const override { return time; }
    platform::UtcTime time{setup::now, 0};
};

// One run of the tool in this process, with a home folder of its own.
class Tool {
  public:
    Tool() { env.values["HOME"] = {platform::EnvValue::Status::Set, home.path}; }

    int run(std::vector<std::string> args, std::string input = "") {
        args.insert(args.begin(), "sign-setup");
        out.text.clear();
        err.text.clear();
        test::ChunkedSource in({std::move(input)});
        SetupWorld world{env, clock, in, out, err, {}};
        return run_setup(args, world);
    }
    std::string dir() const { return *app_dirs::app_dir(env); }
    void token(const std::string& value) {
        env.values["KORVAN_MODULE_TRIAL_TOKEN"] = {platform::EnvValue::Status::Set, value};
    }

    Folder home{utf8(fs::temp_directory_path())};
    test::FakeEnvironment env;
    FixedClock clock;
    test::MemorySink out;
    test::MemorySink err;
};

const std::string trusted_parent = windows ? "C:\\Program Files" : "/opt";

TEST(SetupCommands, PinPrintsThePinAndRefusesWithTheReason) {
    Folder vendor(trusted_parent);
    write(vendor.file("p11.dll"), "module bytes");
    Tool setup;
    ASSERT_EQ(setup.run({"pin", vendor.file("p11.dll")}), exit_ok) << setup.err.text;
    const std::string digest =
        std::get<std::string>(app_dirs::file_sha256_hex(vendor.file("p11.dll")));
    EXPECT_EQ(setup.out.text, canonical(vendor.file("p11.dll")) + "\n" + digest + "\n");
    EXPECT_NE(read(app_dirs::config_path(setup.dir())).find(digest), std::string::npos);
    EXPECT_EQ(setup.run({"check", canonical(vendor.file("p11.dll"))}), exit_ok);
    EXPECT_EQ(setup.out.text, "accepted: pinned\n");

    Tool refused;
    EXPECT_EQ(refused.run({"pin", vendor.file("none.dll")}), exit_usage);
    EXPECT_EQ(refused.out.text, "");
    EXPECT_EQ(refused.err.text.rfind("sign-setup: not pinned: " + vendor.file("none.dll") +
                                         " cannot be resolved: ",
                                     0),
              0u)
        << refused.err.text;
    EXPECT_FALSE(fs::exists(native(refused.dir())));
}

TEST(SetupCommands, ApprovePrintsOnlyTheTokenWhichTheSettingsNeverHold) {
    Folder vendor(trusted_parent);
    write(vendor.file("pending.dll"), "pending module");
    const std::string module = canonical(vendor.file("pending.dll"));
    Tool setup;
    ASSERT_EQ(setup.run({"approve", vendor.file("pending.dll"), "--seconds", "2"}), exit_ok)
        << setup.err.text;
    ASSERT_EQ(setup.out.text.size(), 65u) << setup.out.text;
    EXPECT_EQ(setup.out.text.back(), '\n');
    const std::string token = setup.out.text.substr(0, 64);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(setup.err.text.find(token), std::string::npos) << setup.err.text;
    EXPECT_NE(setup.err.text.find("2025-03-01T09:15:04Z"), std::string::npos) << setup.err.text;
    for (const auto& entry : fs::directory_iterator(native(setup.dir()))) {
        EXPECT_EQ(read(utf8(entry.path())).find(token), std::string::npos) << entry.path();
    }

    struct Case {
        std::string label;
        std::optional<std::string> token;
        std::int64_t clock;
        std::string out;
        int exit;
    };
    const Case cases[] = {
        {"with the token", token, now + 2, "accepted: pending\n", exit_ok},
        {"after the window", token, now + 3, "rejected: not_known\n", exit_rejected},
        {"another token", std::string(64, '0'), now, "rejected: not_known\n", exit_rejected},
        {"no token", std::nullopt, now, "rejected: not_known\n", exit_rejected},
    };
    for (const Case& c : cases) {
        setup.env.values.erase("KORVAN_MODULE_TRIAL_TOKEN");
        if (c.token) {
            setup.token(*c.token);
        }
        setup.clock.time.seconds = c.clock;
        EXPECT_EQ(setup.run({"check", module}), c.exit) << c.label;
        EXPECT_EQ(setup.out.text, c.out) << c.label;
        EXPECT_EQ(setup.err.text, "") << c.label;
    }

    Tool refused;
    EXPECT_EQ(refused.run({"approve", vendor.file("none.dll")}), exit_usage);
    EXPECT_EQ(refused.out.text, "");
    EXPECT_EQ(refused.err.text.rfind("sign-setup: not approved: ", 0), 0u) << refused.err.text;
}

// Every answer the policy can give, as check prints it; nothing is loaded or recorded.
TEST(SetupCommands, CheckNamesEachAcceptanceAndEachReason) {
    test::WellKnownLock lock;
    // The first entry is a plain file, another one a link out of the system folders: made here
    // on Linux, and outside the test under Wine (the core_wine_links test).
    const std::string well_known = app_dirs::known_modules(build_family).front();
    const std::string linked =
        windows ? "C:\\Windows\\System32\\eToken.dll" : "/opt/etugra/eimzap11.so";
    if (fs::exists(native(well_known)) || (!windows && fs::exists(fs::symlink_status(linked)))) {
        GTEST_SKIP() << "a real vendor module is installed here";
    }
    test::PlacedFile placed(well_known, "module");
    Folder outside(windows ? "C:\\" : "/var");
    write(outside.file("x.dll"), "x");
    std::optional<test::PlacedFile> link_folder;
    if constexpr (!windows) {
        link_folder.emplace(linked, "");
        fs::remove(native(linked));
        fs::create_symlink(native(outside.file("x.dll")), native(linked));
    }
    Folder vendor(trusted_parent);
    write(vendor.file("p11.dll"), "pinned");
    Tool setup;
    const auto pinned = app_dirs::pin_module(setup.dir(), vendor.file("p11.dll"));
    ASSERT_TRUE(std::holds_alternative<app_dirs::PinnedModule>(pinned));
    const std::string pinned_path = std::get<app_dirs::PinnedModule>(pinned).path;
    Folder other(trusted_parent);
    write(other.file("p11.dll"), "pending");
    auto staged =
        app_dirs::stage_pending_module(setup.dir(), other.file("p11.dll"), 30, setup.clock);
    ASSERT_TRUE(std::holds_alternative<app_dirs::StagedModule>(staged));
    const auto& token = std::get<app_dirs::StagedModule>(staged).token;
    setup.token(std::string(token.begin(), token.end()));

    struct Case {
        std::string candidate;
        std::string out;
    };
    std::vector<Case> cases = {
        {well_known, "accepted: well-known\n"},
        {pinned_path, "accepted: pinned\n"},
        {canonical(other.file("p11.dll")), "accepted: pending\n"},
        {"relative.dll", "rejected: not_absolute\n"},
        {outside.file("x.dll"), "rejected: not_known\n"},
    };
    if (!windows || canonical(linked).find("korvan-outside") != std::string::npos) {
        cases.push_back({linked, "rejected: target_outside_system_dir\n"});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(setup.run({"check", c.candidate}),
                  c.out.rfind("accepted", 0) == 0 ? exit_ok : exit_rejected)
            << c.candidate;
        EXPECT_EQ(setup.out.text, c.out) << c.candidate;
    }
    write(vendor.file("p11.dll"), "changed");
    EXPECT_EQ(setup.run({"check", pinned_path}), exit_rejected);
    EXPECT_EQ(setup.out.text, "rejected: pin_mismatch\n");
    EXPECT_EQ(setup.err.text, "sign-setup: the SHA-256 of " + pinned_path + " is " +
                                  std::get<std::string>(app_dirs::file_sha256_hex(pinned_path)) +
                                  ", not the one the settings store\n");
    EXPECT_FALSE(fs::exists(native(app_dirs::join_path(setup.dir(), "audit.log"))));
    if constexpr (!windows) {
        fs::remove(native(linked));
    }
}

TEST(SetupCommands, AuditListsTheRotatedFilesOldestFirstAndCountsBrokenLines) {
    Tool setup;
    const std::string log = app_dirs::join_path(setup.dir(), "audit.log");
    auto line = [](const std::string& ts, const std::string& reason) {
        audit::AuditRecord record;
        record.ts = ts;
        record.action = audit::AuditAction::child_module_rejected;
        record.error = "child_module_rejected:" + reason;
        return std::get<std::string>(record.to_json()) + "\n";
    };
    write(audit::rotated_path(log, 2), line("2025-01-01T00:00:00Z", "not_known"));
    write(audit::rotated_path(log, 1), "broken\n" + line("2025-02-01T00:00:00Z", "pin_mismatch"));
    write(
        log,
        line("2025-03-01T00:00:00Z", "not_absolute") +
            R"({"ts":"2025-03-02T00:00:00Z","action":"sign","success":true,"file":"C:\\a b.pdf"})" +
            "\n");

    ASSERT_EQ(setup.run({"audit"}), exit_ok) << setup.err.text;
    EXPECT_EQ(setup.out.text,
              "2025-01-01T00:00:00Z\tchild_module_rejected\t-\tchild_module_rejected:not_known\n"
              "2025-02-01T00:00:00Z\tchild_module_rejected\t-\tchild_module_rejected:pin_mismatch\n"
              "2025-03-01T00:00:00Z\tchild_module_rejected\t-\tchild_module_rejected:not_absolute\n"
              "2025-03-02T00:00:00Z\tsign\tC:\\a b.pdf\t-\n"
              "unreadable lines: 1\n");
    ASSERT_EQ(setup.run({"audit", "--json"}), exit_ok);
    EXPECT_EQ(
        setup.out.text,
        line("2025-01-01T00:00:00Z", "not_known") + line("2025-02-01T00:00:00Z", "pin_mismatch") +
            line("2025-03-01T00:00:00Z", "not_absolute") +
            R"({"ts":"2025-03-02T00:00:00Z","action":"sign","success":true,"file":"C:\\a b.pdf"})"
            "\n{\"unreadable_lines\":1}\n");

    Tool empty;
    ASSERT_EQ(empty.run({"audit"}), exit_ok);
    EXPECT_EQ(empty.out.text, "unreadable lines: 0\n");
}

// A pinned path is answered from its pin before any pending module is looked at: over a pin its
// file no longer matches, an approval could never pass and is refused with nothing written.
TEST(SetupCommands, ApproveRefusesAPathPinnedWithAnotherDigest) {
    Folder vendor(trusted_parent);
    write(vendor.file("pinned.dll"), "pinned module");
    write(vendor.file("other.dll"), "other module");
    const std::string pinned = canonical(vendor.file("pinned.dll"));
    struct Case {
        std::string label;
        std::string module;
        bool changed_since_pin;
        int exit;
    };
    const Case cases[] = {
        {"the pinned path, changed since", vendor.file("pinned.dll"), true, exit_usage},
        {"the pinned path, unchanged", vendor.file("pinned.dll"), false, exit_ok},
        {"another path while the pin is stale", vendor.file("other.dll"), true, exit_ok},
    };
    for (const Case& c : cases) {
        write(vendor.file("pinned.dll"), "pinned module");
        Tool setup;
        ASSERT_EQ(setup.run({"pin", vendor.file("pinned.dll")}), exit_ok) << setup.err.text;
        if (c.changed_since_pin) {
            write(vendor.file("pinned.dll"), "pinned module, rebuilt");
        }
        const std::string before = read(app_dirs::config_path(setup.dir()));
        EXPECT_EQ(setup.run({"approve", c.module}), c.exit) << c.label << ": " << setup.err.text;
        if (c.exit == exit_ok) {
            EXPECT_EQ(setup.out.text.size(), 65u) << c.label;
            continue;
        }
        EXPECT_EQ(setup.out.text, "") << c.label;
        EXPECT_EQ(setup.err.text,
                  "sign-setup: not approved: " + pinned +
                      " is pinned with another SHA-256 than its file has now: the policy refuses "
                      "it as pin_mismatch before it looks at a pending module; `sign-setup pin` "
                      "replaces the pin\n")
            << c.label;
        EXPECT_EQ(read(app_dirs::config_path(setup.dir())), before) << c.label;
        // As the line says: pinning again makes the path acceptable, and approvable.
        ASSERT_EQ(setup.run({"pin", c.module}), exit_ok) << c.label;
        EXPECT_EQ(setup.run({"approve", c.module}), exit_ok) << c.label << ": " << setup.err.text;
    }
}

TEST(SetupCommands, ClearRemovesThePendingModuleAndKeepsTheRest) {
    Folder vendor(trusted_parent);
    write(vendor.file("pinned.dll"), "pinned");
    write(vendor.file("pending.dll"), "pending");
    Tool setup;
    ASSERT_EQ(setup.run({"clear"}), exit_ok) << setup.err.text; // no settings: nothing to do
    EXPECT_FALSE(fs::exists(native(app_dirs::config_path(setup.dir()))));

    app_dirs::Config config;
    config.telemetry_consent = true;
    config.extra["parent_window"] = nlohmann::json::array({1, "two"});
    ASSERT_EQ(app_dirs::write_config(setup.dir(), config), std::nullopt);
    ASSERT_EQ(setup.run({"pin", vendor.file("pinned.dll")}), exit_ok) << setup.err.text;
    ASSERT_EQ(setup.run({"approve", vendor.file("pending.dll")}), exit_ok) << setup.err.text;
    setup.token(setup.out.text.substr(0, 64));
    const std::string pending = canonical(vendor.file("pending.dll"));
    ASSERT_EQ(setup.run({"check", pending}), exit_ok);
    auto kept = app_dirs::load_config(app_dirs::config_path(setup.dir()));
    ASSERT_TRUE(std::holds_alternative<app_dirs::Config>(kept));
    app_dirs::Config expected = std::get<app_dirs::Config>(kept);
    expected.pending_module_path.reset();
    expected.pending_module_sha256.reset();
    expected.pending_module_token_sha256.reset();
    expected.pending_module_expires.reset();

    ASSERT_EQ(setup.run({"clear"}), exit_ok) << setup.err.text;
    EXPECT_EQ(setup.out.text, "");
    EXPECT_EQ(setup.err.text, "sign-setup: no pending module is left in " +
                                  app_dirs::config_path(setup.dir()) + "\n");
    auto cleared = app_dirs::load_config(app_dirs::config_path(setup.dir()));
    ASSERT_TRUE(std::holds_alternative<app_dirs::Config>(cleared));
    EXPECT_EQ(std::get<app_dirs::Config>(cleared), expected);
    EXPECT_TRUE(expected.pkcs11_module_sha256 && expected.telemetry_consent);
    // The token handed out lets nothing in any more; the pin still does.
    EXPECT_EQ(setup.run({"check", pending}), exit_rejected);
    EXPECT_EQ(setup.out.text, "rejected: not_known\n");
    EXPECT_EQ(setup.run({"check", canonical(vendor.file("pinned.dll"))}), exit_ok);

    // Settings it cannot read are the parent's to mend: left as they are.
    write(app_dirs::config_path(setup.dir()), "{broken");
    EXPECT_EQ(setup.run({"clear"}), exit_usage);
    EXPECT_EQ(setup.err.text.rfind("sign-setup: not cleared: the settings file ", 0), 0u)
        << setup.err.text;
    EXPECT_EQ(read(app_dirs::config_path(setup.dir())), "{broken");
}

// A record's fields are anyone's text: in the text listing no line feed may start what reads as
// another record and no escape sequence may reach the terminal; --json gives them exactly.
TEST(SetupCommands, AuditEscapesControlCharactersInTextAndKeepsJsonExact) {
    Tool setup;
    audit::AuditRecord forged;
    forged.ts = "2025-03-01T00:00:00Z";
    forged.action = audit::AuditAction::sign;
    forged.success = true;
    forged.file = "C:\\a.pdf\n2025-03-02T00:00:00Z\tsign\tC:\\forged.pdf\t-";
    forged.error = "\x1b]0;title\x07\x1b[2J\r\x7f\xc2\x9b"
                   "31m \xc2\xa0\xc4\x9f";
    const std::string line = std::get<std::string>(forged.to_json()) + "\n";
    write(app_dirs::join_path(setup.dir(), "audit.log"), line);

    ASSERT_EQ(setup.run({"audit"}), exit_ok) << setup.err.text;
    EXPECT_EQ(setup.out.text, "2025-03-01T00:00:00Z\tsign\t"
                              "C:\\a.pdf\\n2025-03-02T00:00:00Z\\tsign\\tC:\\forged.pdf\\t-\t"
                              "\\x1b]0;title\\x07\\x1b[2J\\r\\x7f\\u009b31m \xc2\xa0\xc4\x9f\n"
                              "unreadable lines: 0\n");
    ASSERT_EQ(setup.run({"audit", "--json"}), exit_ok);
    EXPECT_EQ(setup.out.text, line + "{\"unreadable_lines\":0}\n");
    EXPECT_EQ(audit::parse_audit_record(setup.out.text.substr(0, line.size() - 1)), forged);
}

// In-process, where every system can have them: a folder and a huge file in the log's places.
TEST(SetupCommands, AuditNamesTheFilesItSkippedOrReadOnlyInPart) {
    Tool setup;
    const std::string log = app_dirs::join_path(setup.dir(), "audit.log");
    audit::AuditRecord record;
    record.ts = "2025-03-01T00:00:00Z";
    record.action = audit::AuditAction::sign;
    record.success = true;
    const std::string line = std::get<std::string>(record.to_json()) + "\n";
    fs::create_directories(native(audit::rotated_path(log, 3)));
    fs::create_directories(native(audit::rotated_path(log, 1)));
    ASSERT_TRUE(
        test::make_sparse(native(audit::rotated_path(log, 2)), line, test::three_gib, "\n" + line));
    write(log, line);

    ASSERT_EQ(setup.run({"audit"}), exit_ok) << setup.err.text;
    EXPECT_EQ(setup.out.text, "2025-03-01T00:00:00Z\tsign\t-\t-\n"
                              "2025-03-01T00:00:00Z\tsign\t-\t-\n"
                              "unreadable lines: 0\n");
    EXPECT_EQ(setup.err.text,
              fmt::format("sign-setup: skipped 2 files that are not regular files: "
                          "{} (a folder), {} (a folder)\n"
                          "sign-setup: {} is larger than {} bytes: only its newest "
                          "records were read\n",
                          audit::rotated_path(log, 3), audit::rotated_path(log, 1),
                          audit::rotated_path(log, 2), audit::audit_read_limit_bytes));
}

// Written out as it is read: a listing longer than what is held at once still comes whole.
TEST(SetupCommands, AuditListsALongLogWhole) {
    Tool setup;
    std::string log;
    std::string listed;
    for (int i = 0; i < 5000; ++i) {
        audit::AuditRecord record;
        record.ts = "2025-03-01T00:00:00." + std::to_string(i) + "Z";
        record.action = audit::AuditAction::sign;
        record.success = true;
        log += std::get<std::string>(record.to_json()) + "\n";
        listed += record.ts + "\tsign\t-\t-\n";
    }
    write(app_dirs::join_path(setup.dir(), "audit.log"), log);
    ASSERT_EQ(setup.run({"audit"}), exit_ok) << setup.err.text;
    EXPECT_EQ(setup.out.text, listed + "unreadable lines: 0\n");
    ASSERT_EQ(setup.run({"audit", "--json"}), exit_ok) << setup.err.text;
    EXPECT_EQ(setup.out.text, log + "{\"unreadable_lines\":0}\n");
}

TEST(SetupCommands, HelpVersionAndUsageErrors) {
    Tool setup;
    EXPECT_EQ(setup.run({"--version"}), exit_ok);
    EXPECT_EQ(setup.out.text, "sign-setup " + std::string(korvan::version) + "\n");
    EXPECT_EQ(setup.run({"tokens", "--help"}), exit_ok);
    EXPECT_EQ(setup.out.text.rfind("usage: sign-setup tokens MODULE", 0), 0u);
    EXPECT_EQ(setup.err.text, "");
    EXPECT_EQ(setup.run({"approve", "x", "--seconds", "31"}), exit_usage);
    EXPECT_EQ(setup.out.text, "");
    EXPECT_EQ(setup.err.text.rfind("sign-setup: --seconds takes 1 to 30, not \"31\"\n"
                                   "usage: sign-setup approve MODULE",
                                   0),
              0u)
        << setup.err.text;
}

#ifndef _WIN32
// A module that another user could replace counts for nothing: the policy refuses it whatever its
// digest, pin and approve refuse to write it, and check names the file or folder and why.
TEST(SetupCommands, AModuleAnotherUserCouldReplaceIsRefusedAndCheckSaysWhy) {
    using fs::perms;
    constexpr uid_t nobody = 65534;
    const perms folder = perms::owner_all | perms::group_read | perms::group_exec |
                         perms::others_read | perms::others_exec;
    const perms file =
        perms::owner_read | perms::owner_write | perms::group_read | perms::others_read;
    struct Case {
        std::string label;
        perms folder_mode;
        perms file_mode;
        bool folder_owned_by_nobody;
        bool file_owned_by_nobody;
        std::string named;  // "folder" or "file": which one the cause names
        std::string reason; // the end of the cause
    };
    const Case cases[] = {
        {"folder writable by group", folder | perms::group_write, file, false, false, "folder",
         " is writable by group"},
        {"folder writable by others", folder | perms::others_write, file, false, false, "folder",
         " is writable by others"},
        {"file writable by group", folder, file | perms::group_write, false, false, "file",
         " is writable by group"},
        {"file writable by others", folder, file | perms::others_write, false, false, "file",
         " is writable by others"},
        {"folder of another user", folder, file, true, false, "folder",
         " is owned by user 65534, not by user 0 or root"},
        {"file of another user", folder, file, false, true, "file",
         " is owned by user 65534, not by user 0 or root"},
    };
    for (const Case& c : cases) {
        if ((c.folder_owned_by_nobody || c.file_owned_by_nobody) && ::geteuid() != 0) {
            continue; // only root can give a file away
        }
        Folder vendor(trusted_parent);
        write(vendor.file("p11.so"), "module bytes");
        const std::string module = canonical(vendor.file("p11.so"));
        Tool setup;
        ASSERT_EQ(setup.run({"pin", module}), exit_ok) << c.label << ": " << setup.err.text;
        const std::string settings = read(app_dirs::config_path(setup.dir()));

        fs::permissions(native(vendor.path), c.folder_mode);
        fs::permissions(native(module), c.file_mode);
        if (c.folder_owned_by_nobody) {
            ASSERT_EQ(::chown(vendor.path.c_str(), nobody, nobody), 0);
        }
        if (c.file_owned_by_nobody) {
            ASSERT_EQ(::chown(module.c_str(), nobody, nobody), 0);
        }
        const std::string cause =
            (c.named == "folder" ? canonical(vendor.path) : module) + c.reason;
        EXPECT_EQ(setup.run({"check", module}), exit_rejected) << c.label;
        EXPECT_EQ(setup.out.text, "rejected: pin_mismatch\n") << c.label;
        EXPECT_EQ(setup.err.text, "sign-setup: " + cause +
                                      ": another user could replace the module, so no digest "
                                      "counts\n")
            << c.label;
        for (const char* writer : {"pin", "approve"}) {
            EXPECT_EQ(setup.run({writer, module}), exit_usage) << c.label << ": " << writer;
            EXPECT_NE(setup.err.text.find(cause + ": another user could replace the module"),
                      std::string::npos)
                << c.label << ": " << setup.err.text;
        }
        EXPECT_EQ(read(app_dirs::config_path(setup.dir())), settings) << c.label;
    }
}
#endif

} // namespace
} // namespace korvan::setup
