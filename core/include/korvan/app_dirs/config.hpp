#pragma once

// The per-user settings file, written by the parent application and only read here.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace korvan::app_dirs {

struct Config {
    std::optional<std::string> pkcs11_module_path;
    std::optional<std::string> pkcs11_module_sha256;
    std::optional<std::string> pending_module_path;
    std::optional<std::string> pending_module_sha256;
    std::optional<std::string> pending_module_token_sha256;
    std::optional<std::uint64_t> pending_module_expires;
    std::optional<bool> telemetry_consent;
    std::optional<std::uint32_t> telemetry_notice_version;
    std::optional<bool> verify_online_revocation;
    std::optional<bool> verify_online_informed;
    std::optional<std::uint32_t> verify_online_notice_version;
    // Every other member, by name in byte order; a later duplicate replaces an earlier one.
    std::map<std::string, nlohmann::json> extra;

    bool operator==(const Config&) const = default;
};

struct ConfigError {
    enum class Kind { Read, Parse };
    Kind kind;
    std::string text;
};

// Whether the name is one of the eleven named members (byte for byte); every other name is extra.
bool is_named_member(std::string_view name);

// The settings file in the per-user directory: "config.json".
std::string config_path(std::string_view dir);

// One JSON object; a single member of the wrong type or range, a repeated named member, a leading
// byte-order mark or anything but blanks after the object makes the whole text unreadable.
std::variant<Config, ConfigError> parse_config(std::string_view text);

// Reads the file and parses it; prints nothing. A file that is not a regular file, is a symbolic
// link, or that another user could have planted or changed (platform::read_owned_file: the file
// or its folder owned by someone other than this user or root, or writable by group or others)
// is a read error.
std::variant<Config, ConfigError> load_config(const std::string& path);

} // namespace korvan::app_dirs
