#pragma once

// The parent's side of the audit log: every record of the live file and its rotated siblings,
// oldest first.

#include "korvan/audit/audit_record.hpp"
#include "korvan/audit/rejection_report.hpp"
#include "korvan/platform/file_tail.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvan::audit {

// The most of each file that is read: its end. The writer rotates a file once it has grown past
// rejection_log_max_bytes, so a rotated file holds that much and the records appended before the
// rotation came round; twice the limit leaves room for those. Only a file the writer could not
// rotate, or that it never wrote, is larger.
inline constexpr std::uint64_t audit_read_limit_bytes = 2 * rejection_log_max_bytes;

// Something other than a regular file in a log file's place (a FIFO, a device, a folder).
struct SkippedFile {
    std::string path;
    platform::NotRegularFile::Kind kind;
};

struct AuditReading {
    std::vector<AuditRecord> records;           // oldest first
    std::size_t unreadable_lines = 0;           // lines that are not a record (blank ones too)
    std::vector<std::string> unreadable_files;  // present but not readable to their end
    std::vector<SkippedFile> not_regular_files; // not read at all
    // Larger than audit_read_limit_bytes: only their last audit_read_limit_bytes were read, from
    // the first whole line on.
    std::vector<std::string> partly_read_files;
};

// Reads audit.log.<max_files> down to audit.log.1, then audit.log, in `dir`; files that are not
// there are passed over. A last line without its line feed (a record being written) counts like
// any other. Nothing is ever fatal and nothing waits: what cannot be read is counted.
AuditReading read_audit_log(const std::string& dir, std::uint32_t max_files);

// The same reading, each record handed to `visit` as soon as it is read instead of kept: what the
// reading holds at once stays one file's tail, however many records the files hold. The result's
// `records` stays empty.
AuditReading visit_audit_log(const std::string& dir, std::uint32_t max_files,
                             const std::function<void(const AuditRecord&)>& visit);

} // namespace korvan::audit
