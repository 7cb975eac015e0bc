#include "korvan/audit/audit_reader.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/audit/audit_log.hpp"
#include "korvan/platform/files.hpp"

#include <string_view>

namespace korvan::audit {
namespace {

using Visit = std::function<void(const AuditRecord&)>;

void read_lines(std::string_view content, AuditReading& reading, const Visit& visit) {
    while (!content.empty()) {
        const std::size_t end = content.find('\n');
        const std::string_view line = content.substr(0, end);
        if (const std::optional<AuditRecord> record = parse_audit_record(line)) {
            visit(*record);
        } else {
            ++reading.unreadable_lines;
        }
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
    }
}

void read_one(const std::string& path, AuditReading& reading, const Visit& visit) {
    auto read = platform::read_regular_tail(path, audit_read_limit_bytes);
    if (const auto* skipped = std::get_if<platform::NotRegularFile>(&read)) {
        reading.not_regular_files.push_back({path, skipped->kind});
        return;
    }
    if (std::holds_alternative<platform::FileError>(read)) {
        reading.unreadable_files.push_back(path);
        return;
    }
    const platform::FileTail& tail = std::get<platform::FileTail>(read);
    std::string_view content = tail.content;
    if (tail.size > content.size()) {
        // The tail begins inside a line, a record whose start was not read.
        const std::size_t end = content.find('\n');
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
        reading.partly_read_files.push_back(path);
    }
    read_lines(content, reading, visit);
}

} // namespace

AuditReading visit_audit_log(const std::string& dir, std::uint32_t max_files, const Visit& visit) {
    const std::string live = app_dirs::join_path(dir, "audit.log");
    std::vector<std::string> files;
    for (std::uint32_t n = max_files; n >= 1; --n) {
        files.push_back(rotated_path(live, n));
    }
    files.push_back(live);

    AuditReading reading;
    for (const std::string& path : files) {
        if (platform::path_exists(path)) {
            read_one(path, reading, visit);
        }
    }
    return reading;
}

AuditReading read_audit_log(const std::string& dir, std::uint32_t max_files) {
    std::vector<AuditRecord> records;
    AuditReading reading = visit_audit_log(
        dir, max_files, [&records](const AuditRecord& record) { records.push_back(record); });
    reading.records = std::move(records);
    return reading;
}

} // namespace korvan::audit
