#pragma once

// One line of the audit log: a record, its action's wire name and its exact JSON text.

#include "korvan/platform/clock.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace korvan::audit {

enum class AuditAction : std::uint8_t {
    helper_started = 0,
    helper_stopped = 1,
    list_certs = 2,
    sign = 3,
    sign_pdf = 4,
    pin_prompt_shown = 5,
    pin_prompt_cancelled = 6,
    login_failed = 7,
    pin_locked_refused = 8,
    token_not_found = 9,
    autostart_enabled = 10,
    autostart_disabled = 11,
    update_available = 12,
    update_installed = 13,
    update_failed = 14,
    manual_pkcs11_module_approved = 15,
    manual_pkcs11_module_autoloaded = 16,
    origin_action_denied = 17,
    child_module_rejected = 18,
    audit_role_key_regenerated = 19,
    trust_root_added = 20,
    trust_root_removed = 21,
};
inline constexpr std::size_t audit_action_count = 22;

std::string_view wire_name(AuditAction action);
// The action of a wire name, compared byte for byte; none for a name not in the list.
std::optional<AuditAction> parse_wire_name(std::string_view name);

struct SerializationError {
    std::string text;
};

struct AuditRecord {
    std::string ts;
    AuditAction action = AuditAction::helper_started;
    std::optional<std::string> demand_id;
    std::optional<std::string> cert_thumbprint;
    bool success = false;
    std::optional<std::string> error;
    std::optional<std::string> file;
    std::optional<std::string> pades_level;
    std::optional<std::string> role_name;
    std::optional<bool> has_role;
    std::optional<std::uint32_t> role_len;
    std::optional<std::string> role_mac;

    // Compact JSON, members in field order, absent fields left out; no line terminator. Fails
    // only when a text is not valid UTF-8.
    std::variant<std::string, SerializationError> to_json() const;

    bool operator==(const AuditRecord&) const = default;
};

// One line of the log (without its line feed) read back: a JSON object with `ts` (text),
// `action` (a wire name) and `success` (boolean), and each optional field, when present, of its
// type. Members of other names are passed over. None when the line is no such record.
std::optional<AuditRecord> parse_audit_record(std::string_view line);

// RFC 3339 in UTC with the clock's full resolution, trailing zeros of the fraction trimmed and no
// fraction at all on a whole second; "1970-01-01T00:00:00Z" for a year outside 0 to 9999.
std::string format_rfc3339(platform::UtcTime time);
std::string now_rfc3339(const platform::Clock& clock);

} // namespace korvan::audit
