#include "korvan/audit/rejection_report.hpp"
#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/audit/audit_log.hpp"
#include "korvan/platform/files.hpp"

#include <fmt/format.h>

namespace korvan::audit {

void report_module_rejection(app_dirs::ModuleRejectReason reason,
                             const platform::Environment& environment, const platform::Clock& clock,
                             platform::ByteSink& error_stream, app_dirs::ProfileLookup profile) {
    const std::string_view name = app_dirs::reason_name(reason);
    const std::string message = fmt::format("child module path rejected: {}\n", name);
    error_stream.write_all(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));

    const std::optional<std::string> dir = app_dirs::app_dir(environment, profile);
    if (!dir) {
        return;
    }
    platform::create_directories(*dir); // open tries again and fails there if it must
    auto opened = AuditLog::open(*dir, rejection_log_max_bytes, rejection_log_max_age_days,
                                 rejection_log_max_files, clock);
    auto* log = std::get_if<AuditLog>(&opened);
    if (log == nullptr) {
        return;
    }
    AuditRecord record;
    record.ts = now_rfc3339(clock);
    record.action = AuditAction::child_module_rejected;
    record.success = false;
    record.error = fmt::format("child_module_rejected:{}", name);
    log->append(record); // best effort: a failed record changes nothing for the run
}

} // namespace korvan::audit
