#pragma once

// Decides whether a PKCS#11 module path may be loaded: a well-known vendor location resolving into
// a system directory, the module pinned in the settings with its SHA-256, or a pending module the
// parent approved moments before, proven by the trial token in the environment.

#include "korvan/app_dirs/reject_reason.hpp"
#include "korvan/platform/clock.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/files.hpp"
#include "korvan/platform/library.hpp"
#include "korvan/platform/streams.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvan::app_dirs {

struct ModuleAccepted {
    // Which of the three ways let the module in.
    enum class Via : std::uint8_t { well_known = 0, pinned = 1, pending = 2 };
    Via via = Via::well_known;
    // The pinned or pending module's file whose digest matched, still open: load this one, never
    // the path again. None for a well-known location, which is vouched for by where it lies.
    std::optional<platform::ModuleFile> held;
    bool operator==(const ModuleAccepted& other) const { return via == other.via; }
};
// "well-known", "pinned", "pending".
std::string_view via_name(ModuleAccepted::Via via);
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
// answering none. What the caller does with a rejection is its own.
std::optional<ModuleAccepted> enforce_module_policy(std::string_view candidate,
                                                    const platform::Environment& environment,
                                                    const platform::Clock& clock,
                                                    platform::ByteSink& error_stream);

ModuleVerdict check_module_path(std::string_view candidate, const std::vector<std::string>& known,
                                const std::optional<ModulePin>& pin);

// Why a configured module path can never be a pin.
struct LocationRefused {
    enum class Problem : std::uint8_t {
        outside_system_dirs = 0,  // the configured text or its target is outside them
        below_scratch_folder = 1, // a component is "temp", "downloads" (Windows) or "tmp"
        not_canonical = 2,        // it cannot be resolved (`detail` has the system's words)
    };
    Problem problem;
    std::string path; // the text that failed: the configured one or its canonical target
    std::string detail;
};
std::string refusal_text(const LocationRefused& refused);

// The canonical form of a configured module path, when both it and the configured text lie in a
// system directory; otherwise why not.
std::variant<std::string, LocationRefused> check_module_location(const std::string& configured);

// check_module_location's answer, without the reason.
std::optional<std::string> trusted_module_location(const std::optional<std::string>& configured);

// Why a pinned or pending module's file counts for nothing whatever its digest: the file or a
// folder above it is another user's, or writable by group or others (POSIX; Windows holds the file
// against replacement instead). The text names the file or folder and why.
std::optional<std::string> module_file_exposure(const platform::ModuleFile& file);

// SHA-256 of the file as 64 lower-case hexadecimal digits, streamed in 8192-byte chunks from its
// first byte. By path, the file is opened as a module file is (platform::ModuleFile).
std::variant<std::string, platform::FileError> file_sha256_hex(platform::ModuleFile& file);
std::variant<std::string, platform::FileError> file_sha256_hex(const std::string& path);

std::string hex_lower(std::span<const std::uint8_t> bytes);

} // namespace korvan::app_dirs
