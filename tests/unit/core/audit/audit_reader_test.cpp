// Reading the audit log back: records parse into what was written, the rotated files come oldest
// first, and a line that is no record is counted, never fatal.
#include "core_fixtures.hpp"
#include "hostile_files.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/audit/audit_log.hpp"
#include "korvan/audit/audit_reader.hpp"
#include "korvan/audit/rejection_report.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace korvan::audit {
namespace {

using namespace std::string_view_literals;
using test::TempDir;
using test::write_file;

AuditRecord rejection(const std::string& ts, const std::string& reason) {
    AuditRecord record;
    record.ts = ts;
    record.action = AuditAction::child_module_rejected;
    record.error = "child_module_rejected:" + reason;
    return record;
}

std::string line_of(const AuditRecord& record) {
    return std::get<std::string>(record.to_json()) + "\n";
}

TEST(AuditReader, EveryRecordReadsBackAsWritten) {
    AuditRecord full;
    full.ts = "2025-03-01T09:15:02.1234567Z";
    full.action = AuditAction::trust_root_removed;
    full.demand_id = "d-\xC4\x9F";
    full.cert_thumbprint = "";
    full.success = true;
    full.error = "quote \" backslash \\ line\n \x01";
    full.file = "C:\\Users\\u\\belge.pdf";
    full.pades_level = "B-LT";
    full.role_name = "signer";
    full.has_role = false;
    full.role_len = 4294967295u;
    full.role_mac = "00ff";
    for (const AuditRecord& record : {full, rejection("2025-03-01T09:15:02Z", "not_known")}) {
        const std::string line = std::get<std::string>(record.to_json());
        EXPECT_EQ(parse_audit_record(line), record) << line;
    }
    for (std::size_t i = 0; i < audit_action_count; ++i) {
        const auto action = static_cast<AuditAction>(i);
        EXPECT_EQ(parse_wire_name(wire_name(action)), action);
    }
    EXPECT_EQ(parse_wire_name("Sign"), std::nullopt);
}

TEST(AuditReader, LinesThatAreNoRecords) {
    const std::string_view lines[] = {
        "",
        "not json",
        "[]",
        R"({"action":"sign","success":true})",
        R"({"ts":"t","success":true})",
        R"({"ts":"t","action":"sign"})",
        R"({"ts":1,"action":"sign","success":true})",
        R"({"ts":"t","action":"unknown_action","success":true})",
        R"({"ts":"t","action":"sign","success":"true"})",
        R"({"ts":"t","action":"sign","success":true,"error":null})",
        R"({"ts":"t","action":"sign","success":true,"role_len":-1})",
        R"({"ts":"t","action":"sign","success":true,"role_len":4294967296})",
        R"({"ts":"t","action":"sign","success":true,"has_role":1})",
        R"({"ts":"t","action":"sign","success":true} trailing)",
        "{\"ts\":\"t\",\"action\":\"sign\",\"success\":true}\0"sv,
        "{\"ts\":\"\xFF\",\"action\":\"sign\",\"success\":true}",
    };
    for (const std::string_view line : lines) {
        EXPECT_EQ(parse_audit_record(line), std::nullopt) << line;
    }
    // Members of other names are passed over.
    const auto extra = parse_audit_record(R"({"ts":"t","action":"sign","success":true,"x":[1]})");
    ASSERT_TRUE(extra.has_value());
    EXPECT_EQ(extra->action, AuditAction::sign);
}

TEST(AuditReader, RotatedFilesComeOldestFirstAndBrokenLinesAreCounted) {
    TempDir dir;
    const std::string log = app_dirs::join_path(dir.path(), "audit.log");
    write_file(rotated_path(log, 3), line_of(rejection("t1", "not_absolute")));
    write_file(rotated_path(log, 2),
               line_of(rejection("t2", "not_known")) + "{broken\n\n" +
                   line_of(rejection("t3", "pin_mismatch")));
    // audit.log.1 is missing; .4 is beyond the limit and not read.
    write_file(rotated_path(log, 4), line_of(rejection("t0", "not_known")));
    // The last record has no line feed yet.
    write_file(log, line_of(rejection("t4", "target_outside_system_dir")) +
                        R"({"ts":"t5","action":"sign","success":true})");

    const AuditReading reading = read_audit_log(dir.path(), rejection_log_max_files);
    std::vector<std::string> times;
    for (const AuditRecord& record : reading.records) {
        times.push_back(record.ts);
    }
    EXPECT_EQ(times, (std::vector<std::string>{"t1", "t2", "t3", "t4", "t5"}));
    EXPECT_EQ(reading.records[2].error, "child_module_rejected:pin_mismatch");
    EXPECT_EQ(reading.unreadable_lines, 2u);
    EXPECT_TRUE(reading.unreadable_files.empty());

    TempDir empty;
    const AuditReading none = read_audit_log(empty.file("missing"), rejection_log_max_files);
    EXPECT_TRUE(none.records.empty());
    EXPECT_EQ(none.unreadable_lines, 0u);
}

TEST(AuditReader, ReadsWhatTheLogWroteAcrossARotation) {
    TempDir dir;
    test::FixedClock clock;
    auto opened = AuditLog::open(dir.path(), rejection_log_max_bytes, rejection_log_max_age_days,
                                 rejection_log_max_files, clock);
    ASSERT_TRUE(std::holds_alternative<AuditLog>(opened));
    AuditLog& log = std::get<AuditLog>(opened);
    ASSERT_EQ(log.append(rejection("a", "not_known")), std::nullopt);
    ASSERT_EQ(log.rotate(), std::nullopt);
    ASSERT_EQ(log.append(rejection("b", "pin_mismatch")), std::nullopt);

    const AuditReading reading = read_audit_log(dir.path(), rejection_log_max_files);
    ASSERT_EQ(reading.records.size(), 2u);
    EXPECT_EQ(reading.records[0], rejection("a", "not_known"));
    EXPECT_EQ(reading.records[1], rejection("b", "pin_mismatch"));
}

// The reader on a thread of its own: one still busy after the limit fails the test, and `unblock`
// sets it free so that the fault cannot hang the run.
AuditReading read_within_limit(const std::string& dir, const std::function<void()>& unblock) {
    std::promise<AuditReading> result;
    std::future<AuditReading> done = result.get_future();
    std::thread reader(
        [&result, &dir] { result.set_value(read_audit_log(dir, rejection_log_max_files)); });
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "the reader is still busy after 30 s";
        unblock();
    }
    reader.join();
    return done.get();
}

// Another user who can write the folder leaves something else in a log file's place: the reader
// passes over it without waiting, reads no more than its limit, and still reads the other files.
TEST(AuditReader, ReadsRegularFilesOnlyAndAtMostTheirNewestRecords) {
    using Kind = platform::NotRegularFile::Kind;
    namespace fs = std::filesystem;
    const std::string early = line_of(rejection("early", "not_known"));
    const std::string late = line_of(rejection("late", "pin_mismatch"));
    struct Case {
        std::string label;
        std::function<bool(const fs::path&)> make; // false: this system cannot have it
        std::optional<Kind> skipped;
        std::vector<std::string> times; // of the records the entry itself gives
        std::size_t unreadable_lines;
        bool partly_read;
    };
    const auto folder = [](const fs::path& p) { return fs::create_directory(p); };
    // Only the end is read: the record cut by the limit is not counted, the last one is read.
    const auto huge = [&](const fs::path& p) {
        return test::make_sparse(p, early, test::three_gib, "\n" + late);
    };
    // Exactly the limit is read whole: both records, and the zeros between as one line.
    const auto at_limit = [&](const fs::path& p) {
        return test::make_sparse(p, early, audit_read_limit_bytes - 1 - late.size(), "\n" + late);
    };
    const Case cases[] = {
        {"a FIFO without a writer", test::make_fifo, Kind::fifo, {}, 0, false},
        {"a link to /dev/zero", test::link_to_endless_device, Kind::device, {}, 0, false},
        {"a folder", folder, Kind::folder, {}, 0, false},
        {"a sparse file of 3 GiB", huge, std::nullopt, {"late"}, 0, true},
        {"a file of exactly the limit", at_limit, std::nullopt, {"early", "late"}, 1, false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string log = app_dirs::join_path(dir.path(), "audit.log");
        const std::string entry = rotated_path(log, 2);
        write_file(rotated_path(log, 3), line_of(rejection("before", "not_absolute")));
        if (!c.make(test::native(entry))) {
            continue; // not on this system
        }
        write_file(log, line_of(rejection("after", "not_known")));

        const AuditReading reading = read_within_limit(dir.path(), [&entry] {
            std::ofstream writer(test::native(entry)); // a waiting open of a FIFO gets its writer
        });
        std::vector<std::string> times;
        for (const AuditRecord& record : reading.records) {
            times.push_back(record.ts);
        }
        std::vector<std::string> expected = {"before"};
        expected.insert(expected.end(), c.times.begin(), c.times.end());
        expected.push_back("after");
        EXPECT_EQ(times, expected) << c.label;
        EXPECT_EQ(reading.unreadable_lines, c.unreadable_lines) << c.label;
        EXPECT_TRUE(reading.unreadable_files.empty()) << c.label;
        EXPECT_EQ(reading.not_regular_files.size(), c.skipped ? 1u : 0u) << c.label;
        if (c.skipped && reading.not_regular_files.size() == 1) {
            EXPECT_EQ(reading.not_regular_files[0].path, entry) << c.label;
            EXPECT_EQ(reading.not_regular_files[0].kind, *c.skipped) << c.label;
        }
        EXPECT_EQ(reading.partly_read_files,
                  c.partly_read ? std::vector<std::string>{entry} : std::vector<std::string>{})
            << c.label;
    }
}

} // namespace
} // namespace korvan::audit
