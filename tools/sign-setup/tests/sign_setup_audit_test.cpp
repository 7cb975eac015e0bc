// sign-setup audit as the program, against a per-user folder another user has planted things in:
// a FIFO without a writer, a link to an endless device, a folder, a 3 GiB sparse file. It must end
// on its own, within a deadline this test enforces, and still list the records of the real files.
#include "child_process.hpp"
#include "hostile_files.hpp"

#include "korvan/audit/audit_log.hpp"
#include "korvan/audit/audit_reader.hpp"
#include "korvan/audit/audit_record.hpp"
#include "korvan/platform/child_process.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;

struct Ended {
    std::optional<int> exit_code; // none: killed at the deadline, or lost
    std::string out;
    std::string err;
};

void drain(platform::PipeEnd& end, std::string& into) {
    std::uint8_t buffer[4096];
    for (;;) {
        const platform::ReadResult r = end.read_some(buffer);
        if (r.status != platform::ReadResult::Status::Data) {
            return;
        }
        into.append(reinterpret_cast<const char*>(buffer), r.count);
    }
}

// Runs sign-setup with that HOME; a run still going at the deadline is killed.
Ended run_with_deadline(const std::vector<std::string>& args, const std::string& home,
                        std::chrono::seconds limit) {
    Ended ended;
    auto started = platform::ChildProcess::start(program_path("sign-setup"), args, {{"HOME", home}},
                                                 platform::ErrorStream::Captured);
    if (auto* failed = std::get_if<platform::ChildStartFailure>(&started)) {
        ADD_FAILURE() << "sign-setup did not start: " << failed->text;
        return ended;
    }
    platform::ChildProcess& child = std::get<platform::ChildProcess>(started);
    std::thread out_reader(drain, std::ref(child.output_end()), std::ref(ended.out));
    std::thread err_reader(drain, std::ref(child.error_end()), std::ref(ended.err));
    std::optional<platform::ChildEnd> end =
        child.wait_until(std::chrono::steady_clock::now() + limit);
    if (!end) {
        ADD_FAILURE() << "sign-setup " << args[0] << " still ran after " << limit.count()
                      << " s: killed";
        child.kill();
        end = child.wait_until(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    }
    out_reader.join();
    err_reader.join();
    if (end) {
        if (const auto* exited = std::get_if<platform::ChildExited>(&*end)) {
            ended.exit_code = exited->code;
        }
    }
    return ended;
}

std::string unique_home() {
    static std::mt19937_64 random{std::random_device{}()};
    return (fs::temp_directory_path() / ("korvan-audit-" + std::to_string(random() % 1000000000)))
        .string();
}

TEST(SignSetupAudit, EndsOnItsOwnBesideAFifoADeviceAFolderAndAHugeFile) {
    const std::string home = unique_home();
    const fs::path dir = fs::path(home) / ".korvan-qes";
    fs::create_directories(dir);
    const std::string log = (dir / "audit.log").string();

    audit::AuditRecord record;
    record.ts = "2025-03-01T00:00:00Z";
    record.action = audit::AuditAction::child_module_rejected;
    record.error = "child_module_rejected:not_known\n\x1b[31m";
    const std::string line = std::get<std::string>(record.to_json()) + "\n";

    // audit.log.3 to .1 hold what another user planted, where this system can have it; the live
    // file is a real one.
    std::vector<std::string> skipped;
    if (make_fifo(audit::rotated_path(log, 3))) {
        skipped.push_back(audit::rotated_path(log, 3) + " (a FIFO)");
    }
    if (link_to_endless_device(audit::rotated_path(log, 2))) {
        skipped.push_back(audit::rotated_path(log, 2) + " (a device)");
    } else {
        fs::create_directory(audit::rotated_path(log, 2));
        skipped.push_back(audit::rotated_path(log, 2) + " (a folder)");
    }
    ASSERT_TRUE(make_sparse(audit::rotated_path(log, 1), line, three_gib, "\n" + line));
    std::ofstream(log, std::ios::binary) << line;

    std::string names;
    for (const std::string& name : skipped) {
        names += (names.empty() ? "" : ", ") + name;
    }
    const std::string listed = "2025-03-01T00:00:00Z\tchild_module_rejected\t-\t"
                               "child_module_rejected:not_known\\n\\x1b[31m\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"audit"}, listed + listed + "unreadable lines: 0\n"},
        {{"audit", "--json"}, line + line + "{\"unreadable_lines\":0}\n"},
    };
    for (const Case& c : cases) {
        const Ended ended = run_with_deadline(c.args, home, std::chrono::seconds(60));
        EXPECT_EQ(ended.exit_code, 0) << ended.err;
        EXPECT_EQ(ended.out, c.out);
        EXPECT_EQ(ended.err, "sign-setup: skipped " + std::to_string(skipped.size()) +
                                 (skipped.size() == 1 ? " file that is not a regular file: "
                                                      : " files that are not regular files: ") +
                                 names + "\n" + "sign-setup: " + audit::rotated_path(log, 1) +
                                 " is larger than " +
                                 std::to_string(audit::audit_read_limit_bytes) +
                                 " bytes: only its newest records were read\n");
    }
    std::error_code ignored;
    fs::remove_all(home, ignored);
}

} // namespace
} // namespace korvan::test
