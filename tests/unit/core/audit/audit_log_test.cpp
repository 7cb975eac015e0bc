#include "child_process.hpp"
#include "core_fixtures.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/audit/audit_log.hpp"
#include "korvan/audit/rejection_report.hpp"
#include "world_doubles.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace korvan::audit {
namespace {

using namespace std::string_literals;

using test::FixedClock;
using test::read_file_text;
using test::TempDir;
using test::write_file;

constexpr std::int64_t now_seconds = 1740820502; // 2025-03-01T09:15:02Z
constexpr std::int64_t day = 86400;
constexpr std::uint64_t max_bytes = rejection_log_max_bytes;

std::string record_line(const std::string& ts) {
    return R"({"ts":")" + ts + R"(","action":"sign","success":true})" + "\n";
}

// A record of the given time padded to exactly `size` bytes, its line feed included.
std::string padded_record_line(const std::string& ts, std::size_t size) {
    const std::string head = R"({"ts":")" + ts + R"(","pad":")";
    return head + std::string(size - head.size() - 3, 'p') + "\"}\n";
}

std::string ts_at(std::int64_t seconds) {
    return format_rfc3339({seconds, 0});
}

AuditRecord sample_record(const std::string& tag = "new") {
    AuditRecord record;
    record.ts = ts_at(now_seconds);
    record.action = AuditAction::child_module_rejected;
    record.error = tag;
    return record;
}

std::string sample_line(const std::string& tag = "new") {
    return std::get<std::string>(sample_record(tag).to_json()) + "\n";
}

AuditLog open_log(const std::string& dir, const platform::Clock& clock,
                  platform::FileSystem& files = platform::native_file_system()) {
    auto opened = AuditLog::open(dir, max_bytes, rejection_log_max_age_days,
                                 rejection_log_max_files, clock, files);
    if (auto* error = std::get_if<AuditError>(&opened)) {
        ADD_FAILURE() << error_text(*error);
        std::abort();
    }
    return std::move(std::get<AuditLog>(opened));
}

bool exists(const std::string& path) {
    return test::fs::exists(test::native(path));
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A file of exactly `size` bytes whose first line is a record of the given time.
std::string log_of_size(std::uint64_t size, const std::string& ts) {
    std::string text = record_line(ts);
    text.resize(size - 1, 'x');
    text.push_back('\n');
    return text;
}

TEST(AuditLog, CreatesTheFolderWithItsParentsAndAppendsLines) {
    TempDir root;
    const std::string dir = root.file("a") + "/b/.korvan-qes";
    FixedClock clock(now_seconds);
    AuditLog log = open_log(dir, clock);
    EXPECT_EQ(test::fs::path(test::native(log.path())).filename(), "audit.log");
    EXPECT_FALSE(log.append(sample_record("one")).has_value());
    EXPECT_FALSE(log.append(sample_record("two")).has_value());
    EXPECT_EQ(read_file_text(log.path()), sample_line("one") + sample_line("two"));
}

TEST(AuditLog, OpeningFailsWhereNoFolderCanBe) {
    TempDir root;
    write_file(root.file("file"), "x");
    FixedClock clock(now_seconds);
    auto opened = AuditLog::open(root.file("file") + "/sub", max_bytes, 30, 3, clock);
    ASSERT_TRUE(std::holds_alternative<AuditError>(opened));
    const std::string text = error_text(std::get<AuditError>(opened));
    EXPECT_EQ(text.rfind("audit log IO failed at " + root.file("file") + "/sub: ", 0), 0u) << text;
}

TEST(AuditLog, AFolderNameHoldingANulOpensNothing) {
    TempDir root;
    FixedClock clock(now_seconds);
    // Cut at the NUL the name would be a folder that can be made, or one that exists.
    for (const std::string& dir : {root.file("made") + "\0/x"s, root.path() + "\0"s}) {
        auto opened = AuditLog::open(dir, max_bytes, 30, 3, clock);
        EXPECT_TRUE(std::holds_alternative<AuditError>(opened));
    }
    EXPECT_FALSE(exists(root.file("made")));
    EXPECT_FALSE(exists(root.file("audit.log")));
}

TEST(AuditLog, AFileAtTheSizeLimitTakesOneMoreRecordAndIsThenRotated) {
    TempDir dir;
    const std::string path = dir.file("audit.log");
    const std::string old = log_of_size(max_bytes, ts_at(now_seconds - day));
    write_file(path, old);
    FixedClock clock(now_seconds);
    AuditLog log = open_log(dir.path(), clock);
    EXPECT_FALSE(exists(path + ".1")) << "rotated on opening";
    EXPECT_FALSE(log.append(sample_record()).has_value());
    EXPECT_EQ(read_file_text(path + ".1"), old + sample_line());
    EXPECT_EQ(read_file_text(path), "");
}

TEST(AuditLog, AFileOneByteOverTheLimitIsRotatedOnOpening) {
    TempDir dir;
    const std::string path = dir.file("audit.log");
    const std::string old = log_of_size(max_bytes + 1, ts_at(now_seconds - day));
    write_file(path, old);
    FixedClock clock(now_seconds);
    AuditLog log = open_log(dir.path(), clock);
    EXPECT_EQ(read_file_text(path + ".1"), old);
    EXPECT_FALSE(log.append(sample_record()).has_value());
    EXPECT_EQ(read_file_text(path), sample_line());
}

TEST(AuditLog, AgeRotationLooksAtTheFirstRecordOnly) {
    const std::string old = ts_at(now_seconds - 365 * day);
    struct Case {
        std::string first_line;
        bool rotated;
    };
    const Case cases[] = {
        {record_line(ts_at(now_seconds - 31 * day)), true},
        {record_line(ts_at(now_seconds - 30 * day - 23 * 3600)), false},
        {record_line(ts_at(now_seconds - 31 * day + 1)), false},
        {record_line(format_rfc3339({now_seconds - 31 * day + 1, 1})), false},
        {record_line(ts_at(now_seconds + 400 * day)), false}, // in the future
        {record_line("2025-01-29T10:15:02+01:00"), true},     // 31 days before, written at +01:00
        {record_line("2025-01-29T10:15:02-01:00"), false},    // 30 days 22 hours
        {record_line("2000-01-01t00:00:00.5z"), true},
        {record_line("2000-01-01T00:00:00.123456789123Z"), true},
        {"{\"ts\":\"" + old + "\"}", true}, // no line feed: the whole file is the line
        {"not json\n", false},
        {"{\"ts\":\"" + old + "\"\n", false},
        {"{\"action\":\"sign\"}\n", false},
        {"{\"ts\":20000101}\n", false},
        {"[\"" + old + "\"]\n", false},
        {"\"" + old + "\"\n", false},
        {record_line("2000-01-01"), false},
        {record_line("2000-01-01 00:00:00Z"), false},
        {record_line("2000-01-01T00:00:00"), false},
        {record_line("2000-01-01T00:00:00.Z"), false},
        {record_line("2000-01-01T00:00:00+0100"), false},
        {record_line("2000-13-01T00:00:00Z"), false},
        {record_line("2001-02-29T00:00:00Z"), false},
        {record_line("2000-01-01T24:00:00Z"), false},
        {"\n" + record_line(old), false}, // an empty first line
        {"{\"ts\":\"" + old + "\",\"x\":\"\xFF\"}\n", false},
        {record_line(old) + "garbage\n", true},
        {record_line(old) + "\xFF\xFE\n", true}, // only the first line must be UTF-8
        {"", false},                             // an empty file is never rotated
        // The parser stops at a raw NUL; what stands before it is no whole line.
        {"{\"ts\":\"" + old + "\"}\0\n"s, false},
        {"{\"ts\":\"" + old + "\"}\0garbage\n"s, false},
        {"\0"s + record_line(old), false},
        // A first line as long as the read buffer, and one byte either side of it.
        {padded_record_line(old, 8191), true},
        {padded_record_line(old, 8192), true},
        {padded_record_line(old, 8193), true},
        {padded_record_line(old, 8193) + padded_record_line(ts_at(now_seconds), 9000), true},
        {padded_record_line(ts_at(now_seconds), 8193) + padded_record_line(old, 100), false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("audit.log");
        const std::string& text = c.first_line;
        write_file(path, text);
        FixedClock clock(now_seconds);
        AuditLog log = open_log(dir.path(), clock);
        EXPECT_EQ(exists(path + ".1"), c.rotated) << c.first_line;
        EXPECT_EQ(read_file_text(path), c.rotated ? "" : text) << c.first_line;
    }
}

TEST(AuditLog, Rfc3339WithAnyOffset) {
    struct Case {
        std::string_view text;
        std::optional<std::int64_t> seconds;
        std::uint32_t nanoseconds;
    };
    const Case cases[] = {
        {"2025-03-01T09:15:02Z", now_seconds, 0},
        {"2025-03-01T10:15:02+01:00", now_seconds, 0},
        {"2025-03-01T04:45:02.5-04:30", now_seconds, 500000000},
        {"2025-03-01T09:15:02.1234567Z", now_seconds, 123456700},
        {"1969-12-31T23:59:59Z", -1, 0},
        {"2025-03-01T09:15:02", std::nullopt, 0},
        {"2025-03-01T09:15:02+24:00", std::nullopt, 0},
        {"2025-03-01T09:60:02Z", std::nullopt, 0},
        {"2025-3-01T09:15:02Z", std::nullopt, 0},
        {"", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        const std::optional<platform::UtcTime> t = parse_rfc3339(c.text);
        ASSERT_EQ(t.has_value(), c.seconds.has_value()) << c.text;
        if (t) {
            EXPECT_EQ(t->seconds, *c.seconds) << c.text;
            EXPECT_EQ(t->nanoseconds, c.nanoseconds) << c.text;
        }
    }
}

TEST(AuditLog, RotationShufflesTheNumberedFiles) {
    struct Case {
        std::map<std::string, std::string> before; // suffix -> content
        std::map<std::string, std::string> after;
    };
    const std::string live = record_line(ts_at(now_seconds));
    const Case cases[] = {
        {{{"", live}, {".1", "A"}, {".2", "B"}, {".3", "C"}, {".5", "E"}, {".6", "F"}},
         {{"", ""}, {".1", live}, {".2", "A"}, {".3", "B"}, {".6", "F"}}},
        {{{"", live}, {".2", "B"}, {".4", "D"}}, {{"", ""}, {".1", live}, {".3", "B"}}},
        {{{"", live}}, {{"", ""}, {".1", live}}},
    };
    const std::string suffixes[] = {"", ".1", ".2", ".3", ".4", ".5", ".6"};
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("audit.log");
        for (const auto& [suffix, content] : c.before) {
            write_file(path + suffix, content);
        }
        FixedClock clock(now_seconds);
        AuditLog log = open_log(dir.path(), clock);
        ASSERT_FALSE(log.rotate().has_value());
        for (const std::string& suffix : suffixes) {
            const auto it = c.after.find(suffix);
            ASSERT_EQ(exists(path + suffix), it != c.after.end()) << "audit.log" << suffix;
            if (it != c.after.end()) {
                EXPECT_EQ(read_file_text(path + suffix), it->second) << "audit.log" << suffix;
            }
        }
        // The log writes into the new file.
        EXPECT_FALSE(log.append(sample_record()).has_value());
        EXPECT_EQ(read_file_text(path), sample_line());
    }
}

// The real file system, with chosen operations refused.
class RefusingFiles final : public platform::FileSystem {
  public:
    std::optional<platform::FileError> rename_path(const std::string& from,
                                                   const std::string& to) override {
        if (from == refuse_rename_from) {
            return platform::FileError{"refused"};
        }
        return FileSystem::rename_path(from, to);
    }
    std::variant<platform::File, platform::FileError>
    open_append(const std::string& path) override {
        if (opens_allowed-- == 0) {
            return platform::FileError{"refused"};
        }
        return FileSystem::open_append(path);
    }
    std::string refuse_rename_from;
    int opens_allowed = 1000;
};

TEST(AuditLog, AFailedRenameWhileOpeningWritesNothing) {
    // The live file itself, or a numbered file on the way: either stops the rotation there.
    for (const std::string refused : {"audit.log", "audit.log.1"}) {
        TempDir dir;
        const std::string path = dir.file("audit.log");
        const std::string old = log_of_size(max_bytes + 1, ts_at(now_seconds));
        write_file(path, old);
        write_file(path + ".1", "A");
        RefusingFiles files;
        files.refuse_rename_from = dir.file(refused);
        FixedClock clock(now_seconds);
        auto opened = AuditLog::open(dir.path(), max_bytes, 30, 3, clock, files);
        ASSERT_TRUE(std::holds_alternative<AuditError>(opened)) << refused;
        EXPECT_EQ(error_text(std::get<AuditError>(opened)), "rotation failed: refused");
        EXPECT_EQ(read_file_text(path), old) << refused;
        EXPECT_EQ(read_file_text(refused == "audit.log" ? path + ".2" : path + ".1"), "A");
    }
}

TEST(AuditLog, AFailedReopenKeepsWritingThroughTheOldHandle) {
    TempDir dir;
    const std::string path = dir.file("audit.log");
    write_file(path, record_line(ts_at(now_seconds)));
    RefusingFiles files;
    files.opens_allowed = 1; // the opening itself
    FixedClock clock(now_seconds);
    AuditLog log = open_log(dir.path(), clock, files);
    const auto failed = log.rotate();
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(error_text(*failed), "rotation failed: audit log IO failed at " + path + ": refused");
    EXPECT_FALSE(log.append(sample_record()).has_value());
    EXPECT_EQ(read_file_text(path + ".1"), record_line(ts_at(now_seconds)) + sample_line());
    EXPECT_FALSE(exists(path));
}

// The real file system, where another process rotates the log just before this one gets its
// turn, or where the lock between processes cannot be had.
class ContendedFiles final : public platform::FileSystem {
  public:
    enum class Turn { other_rotated_first, no_lock };
    explicit ContendedFiles(Turn turn) : turn_(turn) {}
    std::variant<platform::FileLock, platform::FileError>
    lock_exclusive(const std::string& path) override {
        ++locks;
        if (turn_ == Turn::no_lock) {
            return platform::FileError{"refused"};
        }
        const std::string log =
            app_dirs::join_path(test::utf8(test::native(path).parent_path()), "audit.log");
        if (auto failed = FileSystem::rename_path(log, rotated_path(log, 1))) {
            ADD_FAILURE() << failed->text;
        }
        write_file(log, "");
        return FileSystem::lock_exclusive(path);
    }
    int locks = 0;

  private:
    Turn turn_;
};

TEST(AuditLog, ARotationDecidedBeforeAnotherProcessRotatedIsNotMadeAgain) {
    using Turn = ContendedFiles::Turn;
    struct Case {
        const char* name;
        Turn turn;
        bool over_on_opening; // else the append takes the file over the limit
    };
    const Case cases[] = {
        {"opening, rotated first", Turn::other_rotated_first, true},
        {"appending, rotated first", Turn::other_rotated_first, false},
        {"opening, no lock", Turn::no_lock, true},
        {"appending, no lock", Turn::no_lock, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("audit.log");
        const std::string old =
            log_of_size(c.over_on_opening ? max_bytes + 1 : max_bytes, ts_at(now_seconds));
        write_file(path, old);
        ContendedFiles files(c.turn);
        FixedClock clock(now_seconds);
        AuditLog log = open_log(dir.path(), clock, files);
        EXPECT_EQ(files.locks, c.over_on_opening ? 1 : 0);
        EXPECT_FALSE(log.append(sample_record("first")).has_value());
        EXPECT_FALSE(log.append(sample_record("second")).has_value());
        EXPECT_EQ(files.locks, 1);
        // Either way exactly one rotation happened, and the records written after it went to
        // the live file.
        EXPECT_FALSE(exists(path + ".2"));
        if (c.over_on_opening) {
            EXPECT_EQ(read_file_text(path + ".1"), old);
            EXPECT_EQ(read_file_text(path), sample_line("first") + sample_line("second"));
        } else {
            EXPECT_EQ(read_file_text(path + ".1"), old + sample_line("first"));
            EXPECT_EQ(read_file_text(path), sample_line("second"));
        }
    }
}

TEST(AuditLog, RotationTakesTheLockFileBesideTheLogAndLeavesItFree) {
    TempDir dir;
    FixedClock clock(now_seconds);
    AuditLog first = open_log(dir.path(), clock);
    AuditLog second = open_log(dir.path(), clock);
    // Were the lock kept after a rotation, the next one would wait forever.
    ASSERT_FALSE(first.rotate().has_value());
    ASSERT_FALSE(second.rotate().has_value());
    ASSERT_FALSE(first.rotate().has_value());
    EXPECT_TRUE(exists(dir.file("audit.lock")));
    EXPECT_TRUE(exists(dir.file("audit.log.3")));
    EXPECT_FALSE(exists(dir.file("audit.log.4")));
}

// The real file system, throwing where a failure would leave a rotation halfway.
class ThrowingFiles final : public platform::FileSystem {
  public:
    std::optional<platform::FileError> rename_path(const std::string&,
                                                   const std::string&) override {
        throw std::runtime_error("halfway");
    }
};

TEST(AuditLogDeathTest, ALogLeftHalfwayThroughARotationRefusesToGoOn) {
    TempDir dir;
    write_file(dir.file("audit.log"), record_line(ts_at(now_seconds)));
    FixedClock clock(now_seconds);
    ThrowingFiles files;
    AuditLog log = open_log(dir.path(), clock, files);
    EXPECT_THROW(log.rotate(), std::runtime_error);
    EXPECT_DEATH(log.append(sample_record()), "audit log mutex poisoned");
    EXPECT_DEATH(log.rotate(), "audit log mutex poisoned");
    EXPECT_EQ(read_file_text(dir.file("audit.log")), record_line(ts_at(now_seconds)));
}

TEST(AuditLog, TwoProcessesAppendingAtOnceNeverShareALine) {
    if (test::running_under_wine()) {
        // Windows places each write of an append-only handle at the end atomically; Wine 8 seeks
        // and writes, so two of its processes overwrite each other's records (measured: 570 of
        // 600 lines kept). Nothing a writer could do about that short of a lock between processes.
        GTEST_SKIP() << "Wine does not make appends atomic between processes";
    }
    TempDir dir;
    constexpr int records = 300;
    auto writer = [&dir](const std::string& tag) {
        test::ChildRun run;
        run.args = {dir.path(), std::to_string(records), tag};
        const test::ChildResult r = test::run_child(test::program_path("korvan-audit-append"), run);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    };
    std::thread first(writer, "first");
    std::thread second(writer, "second");
    first.join();
    second.join();
    const std::vector<std::string> lines = lines_of(read_file_text(dir.file("audit.log")));
    ASSERT_EQ(lines.size(), 2u * records);
    std::map<std::string, int> per_tag;
    for (const std::string& line : lines) {
        const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(value.is_object()) << line.substr(0, 80);
        ++per_tag[value["role_name"].get<std::string>()];
    }
    EXPECT_EQ(per_tag["first"], records);
    EXPECT_EQ(per_tag["second"], records);
}

#ifndef _WIN32
// Whoever planted a link or a FIFO as the log decides neither where the record goes nor whether
// the run goes on: the record is dropped, the target untouched, nothing waits.
TEST(RejectionReport, ALinkOrAFifoAsTheLogIsNeverWrittenThrough) {
    struct Case {
        const char* label;
        std::function<void(const test::fs::path& log, const test::fs::path& target)> plant;
        bool target_kept;
    };
    const Case cases[] = {
        {"link to a file",
         [](const test::fs::path& log, const test::fs::path& target) {
             test::fs::create_symlink(target, log);
         },
         true},
        {"link to a missing file",
         [](const test::fs::path& log, const test::fs::path& target) {
             test::fs::remove(target);
             test::fs::create_symlink(target, log);
         },
         false},
        {"FIFO",
         [](const test::fs::path& log, const test::fs::path&) {
             ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
         },
         true},
    };
    for (const Case& c : cases) {
        TempDir home;
        const std::string dir = home.file(".korvan-qes");
        test::fs::create_directories(test::native(dir));
        const test::fs::path target = test::native(home.file("elsewhere"));
        write_file(test::utf8(target), "kept\n");
        c.plant(test::native(dir) / "audit.log", target);
        test::FakeEnvironment env;
        env.values["HOME"] = {platform::EnvValue::Status::Set, home.path()};
        FixedClock clock(now_seconds);
        test::MemorySink err;
        report_module_rejection(app_dirs::ModuleRejectReason::not_known, env, clock, err);
        EXPECT_EQ(err.text, "child module path rejected: not_known\n") << c.label;
        if (c.target_kept) {
            EXPECT_EQ(read_file_text(test::utf8(target)), "kept\n") << c.label;
        } else {
            EXPECT_FALSE(test::fs::exists(target)) << c.label << ": the link's target was made";
        }
        EXPECT_TRUE(
            std::holds_alternative<AuditError>(AuditLog::open(dir, max_bytes, 30, 3, clock)))
            << c.label;
    }
}
#endif

TEST(RejectionReport, PrintsTheLineAndAppendsOneRecord) {
    TempDir home;
    test::FakeEnvironment env;
    env.values["HOME"] = {platform::EnvValue::Status::Set, home.path()};
    FixedClock clock(now_seconds, 123456700);
    test::MemorySink err;
    report_module_rejection(app_dirs::ModuleRejectReason::target_outside_system_dir, env, clock,
                            err);
    report_module_rejection(app_dirs::ModuleRejectReason::not_absolute, env, clock, err);
    EXPECT_EQ(err.text, "child module path rejected: target_outside_system_dir\n"
                        "child module path rejected: not_absolute\n");
    const std::string log = app_dirs::join_path(home.file(".korvan-qes"), "audit.log");
    EXPECT_EQ(read_file_text(log),
              R"({"ts":"2025-03-01T09:15:02.1234567Z","action":"child_module_rejected",)"
              R"("success":false,"error":"child_module_rejected:target_outside_system_dir"})"
              "\n"
              R"({"ts":"2025-03-01T09:15:02.1234567Z","action":"child_module_rejected",)"
              R"("success":false,"error":"child_module_rejected:not_absolute"})"
              "\n");
}

TEST(RejectionReport, WithoutAUsableFolderOnlyTheLineIsPrinted) {
    TempDir root;
    write_file(root.file("file"), "x");
    FixedClock clock(now_seconds);
    struct Case {
        std::optional<std::string> home;
        app_dirs::ProfileLookup profile;
    };
    const Case cases[] = {
        {std::nullopt, [] { return std::optional<std::string>(); }},
        {root.file("file"), platform::profile_directory}, // the folder cannot be created
    };
    for (const Case& c : cases) {
        test::FakeEnvironment env;
        if (c.home) {
            env.values["HOME"] = {platform::EnvValue::Status::Set, *c.home};
        }
        test::MemorySink err;
        report_module_rejection(app_dirs::ModuleRejectReason::not_known, env, clock, err,
                                c.profile);
        EXPECT_EQ(err.text, "child module path rejected: not_known\n");
    }
    EXPECT_EQ(read_file_text(root.file("file")), "x");
}

} // namespace
} // namespace korvan::audit
