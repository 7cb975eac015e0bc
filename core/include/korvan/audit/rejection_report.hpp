#pragma once

#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/app_dirs/reject_reason.hpp"
#include "korvan/platform/clock.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/home.hpp"
#include "korvan/platform/streams.hpp"

#include <cstdint>

namespace korvan::audit {

// The limits sign-cli opens its log with.
inline constexpr std::uint64_t rejection_log_max_bytes = 10485760;
inline constexpr std::uint32_t rejection_log_max_age_days = 30;
inline constexpr std::uint32_t rejection_log_max_files = 3;

// Prints "child module path rejected: <reason>" and appends a child_module_rejected record to the
// audit log in the per-user directory. Every failure of the log is swallowed.
void report_module_rejection(app_dirs::ModuleRejectReason reason,
                             const platform::Environment& environment, const platform::Clock& clock,
                             platform::ByteSink& error_stream,
                             app_dirs::ProfileLookup profile = platform::profile_directory);

} // namespace korvan::audit
