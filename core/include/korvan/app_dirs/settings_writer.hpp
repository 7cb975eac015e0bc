#pragma once

// The parent's side of the settings file: writing a Config whole and atomically, pinning a
// module, and staging or clearing a pending module with its trial token. sign-cli itself only
// reads the file (config.hpp).

#include "korvan/app_dirs/config.hpp"
#include "korvan/platform/clock.hpp"
#include "korvan/platform/secret.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace korvan::app_dirs {

struct SettingsFailure {
    enum class Kind : std::uint8_t {
        not_canonical = 0,        // the module path cannot be resolved
        outside_system_dirs = 1,  // the module or its target is outside the system folders
        below_scratch_folder = 2, // ... or below a Temp, Downloads or tmp folder
        unreadable_module = 3,    // the module's file cannot be read to its end
        unreadable_settings = 4,  // config.json exists but is no valid settings; left alone
        not_written = 5,          // the folder or the file could not be written
        bad_lifetime = 6,         // a pending module's window is not 1 to 30 seconds
        no_random = 7,            // the system gave no random bytes for the trial token
        pinned_otherwise = 8,     // the path is pinned with another SHA-256 than its file's
        busy = 9,                 // another writer held the settings lock too long; not written
        exposed_module = 10,      // another user could replace the module (module_file_exposure)
    };
    Kind kind;
    std::string text; // for a person: what and why
};

// The settings as JSON text, one member a line: the named members that are set, in the record's
// order, then every `extra` member in name order with its value unchanged; a final line feed.
// Fails for what would not read back as the same record: a text that is not UTF-8, a number
// without a JSON form (infinite), an `extra` member with a named member's name, or a value nested
// deeper than 512 levels.
std::variant<std::string, SettingsFailure> config_text(const Config& config);

// Every writer below holds the lock file config.lock beside config.json from reading the settings
// to writing them, so two writers of any processes never lose each other's change. A writer that
// cannot have it within this time fails as `busy` and writes nothing. sign-cli never takes it.
inline constexpr std::chrono::seconds settings_lock_wait{5};

// Writes the settings into config.json in `dir`, creating `dir` (and its parents) when missing,
// for its owner only (0700 on POSIX).
// The file is replaced in one step (platform::replace_file): a sign-cli starting at that moment
// reads the old settings or the new ones, never a part.
std::optional<SettingsFailure> write_config(const std::string& dir, const Config& config);

struct PinnedModule {
    std::string path;   // canonical, as stored in pkcs11_module_path
    std::string sha256; // as stored in pkcs11_module_sha256
};

// Stores the module's canonical path and the SHA-256 of its file as the pinned module, keeping
// every other member. Refuses a module the policy could never accept as a pin (the same location
// rules the policy applies to pkcs11_module_path), a file that cannot be read, and settings that
// exist but cannot be read (they are not overwritten).
std::variant<PinnedModule, SettingsFailure> pin_module(const std::string& dir,
                                                       const std::string& module);

inline constexpr std::uint64_t max_pending_lifetime_seconds = 30;

struct StagedModule {
    std::string path;
    std::string sha256;
    std::uint64_t expires = 0; // seconds since 1970, as stored
    // The trial token as text (64 lower-case hex digits of 32 random bytes): only the caller
    // holds it, in memory that is wiped when released. The settings keep only its SHA-256.
    platform::SecretBytes token;
};

// Stages the module as the pending module: its canonical path and SHA-256, the SHA-256 of a fresh
// trial token, and now plus `lifetime_seconds` (1 to 30) as the end of its window; keeps every
// other member. The same refusals as pin_module, and `pinned_otherwise`: the policy answers a
// pinned path from its pin alone, so an approval of that path over a pin its file no longer
// matches could never be accepted (pin_module replaces the pin).
std::variant<StagedModule, SettingsFailure> stage_pending_module(const std::string& dir,
                                                                 const std::string& module,
                                                                 std::uint64_t lifetime_seconds,
                                                                 const platform::Clock& clock);

// Removes the four pending members, keeping the rest; no settings file is no work.
std::optional<SettingsFailure> clear_pending_module(const std::string& dir);

} // namespace korvan::app_dirs
