#pragma once

// The parent's side of the audit log: every record of the live file and its rotated siblings,
// oldest first.

#include "korvan/audit/audit_record.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvan::audit {

struct AuditReading {
    std::vector<AuditRecord> records;       // oldest first
    std::size_t unreadable_lines = 0;       // lines that are not a record (blank ones too)
    std::vector<std::string> unreadable_files; // present but not readable to their end
};

// Reads audit.log.<max_files> down to audit.log.1, then audit.log, in `dir`; files that are not
// there are passed over. A last line without its line feed (a record being written) counts like
// any other. Nothing is ever fatal: what cannot be read is counted.
AuditReading read_audit_log(const std::string& dir, std::uint32_t max_files);

} // namespace korvan::audit
