#pragma once

// Decides whether a PKCS#11 module path may be loaded: a well-known vendor location resolving into
// a system directory, the module pinned in the settings with its SHA-256, or a pending module the
// parent approved moments before, proven by the trial token in the environment.

#include "korvan/app_dirs/reject_reason.hpp"
#include "korvan/platform/clock.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/files.hpp"
#include "korvan/platform/streams.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvan::app_dirs {

struct ModuleAccepted {
    bool operator==(const ModuleAccepted&) const = default;
};
using ModuleVerdict = std::variant<ModuleAccepted, ModuleRejectReason>;

// A module the settings vouch for: its canonical path and the digest text stored with it.
struct ModulePin {
    std::string path;
    std::string expected;
};

// How long after its approval a pending module may still be tried, in seconds.
inline constexpr std::uint64_t pending_window_seconds = 30;

// Reads the trial token, the settings below the per-user directory and the clock; writes and
// prints nothing. Failures of the settings count as no settings.
ModuleVerdict evaluate_module_policy(std::string_view candidate,
                                     const platform::Environment& environment,
                                     const platform::Clock& clock);

// Evaluates, and on a rejection reports it (standard-error line and audit record) before
// answering true. What the caller does with a rejection is its own.
bool enforce_module_policy(std::string_view candidate, const platform::Environment& environment,
                           const platform::Clock& clock, platform::ByteSink& error_stream);

ModuleVerdict check_module_path(std::string_view candidate, const std::vector<std::string>& known,
                                const std::optional<ModulePin>& pin);

// The canonical form of a configured module path, when both it and the configured text lie in a
// system directory.
std::optional<std::string> trusted_module_location(const std::optional<std::string>& configured);

// SHA-256 of the file as 64 lower-case hexadecimal digits, streamed in 8192-byte chunks.
std::variant<std::string, platform::FileError> file_sha256_hex(const std::string& path);

std::string hex_lower(std::span<const std::uint8_t> bytes);

} // namespace korvan::app_dirs
