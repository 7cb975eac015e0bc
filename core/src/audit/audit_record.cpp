#include "korvan/audit/audit_record.hpp"

#include <date/date.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <chrono>

namespace korvan::audit {
namespace {

constexpr std::array<std::string_view, audit_action_count> wire_names = {
    "helper_started",
    "helper_stopped",
    "list_certs",
    "sign",
    "sign_pdf",
    "pin_prompt_shown",
    "pin_prompt_cancelled",
    "login_failed",
    "pin_locked_refused",
    "token_not_found",
    "autostart_enabled",
    "autostart_disabled",
    "update_available",
    "update_installed",
    "update_failed",
    "manual_pkcs11_module_approved",
    "manual_pkcs11_module_autoloaded",
    "origin_action_denied",
    "child_module_rejected",
    "audit_role_key_regenerated",
    "trust_root_added",
    "trust_root_removed",
};

constexpr std::string_view fallback_time = "1970-01-01T00:00:00Z";

} // namespace

std::string_view wire_name(AuditAction action) {
    const auto index = static_cast<std::size_t>(action);
    return index < wire_names.size() ? wire_names[index] : std::string_view("unknown");
}

std::optional<AuditAction> parse_wire_name(std::string_view name) {
    for (std::size_t i = 0; i < wire_names.size(); ++i) {
        if (wire_names[i] == name) {
            return static_cast<AuditAction>(i);
        }
    }
    return std::nullopt;
}

namespace {

// Takes an optional member of the expected JSON type; false when it is there with another type.
template <typename T>
bool take(const nlohmann::json& object, const char* key, std::optional<T>& into) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return true;
    }
    if constexpr (std::is_same_v<T, std::string>) {
        if (!it->is_string()) {
            return false;
        }
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean()) {
            return false;
        }
    } else {
        if (!it->is_number_unsigned() || it->get<std::uint64_t>() > 0xFFFFFFFFu) {
            return false;
        }
    }
    into = it->get<T>();
    return true;
}

} // namespace

std::optional<AuditRecord> parse_audit_record(std::string_view line) {
    // The parser would take a raw NUL as the end of its input.
    if (line.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto ts = object.find("ts");
    const auto action = object.find("action");
    const auto success = object.find("success");
    if (ts == object.end() || !ts->is_string() || action == object.end() ||
        !action->is_string() || success == object.end() || !success->is_boolean()) {
        return std::nullopt;
    }
    const std::optional<AuditAction> known = parse_wire_name(action->get<std::string>());
    if (!known) {
        return std::nullopt;
    }
    AuditRecord record;
    record.ts = ts->get<std::string>();
    record.action = *known;
    record.success = success->get<bool>();
    const bool typed = take(object, "demand_id", record.demand_id) &&
                       take(object, "cert_thumbprint", record.cert_thumbprint) &&
                       take(object, "error", record.error) && take(object, "file", record.file) &&
                       take(object, "pades_level", record.pades_level) &&
                       take(object, "role_name", record.role_name) &&
                       take(object, "has_role", record.has_role) &&
                       take(object, "role_len", record.role_len) &&
                       take(object, "role_mac", record.role_mac);
    if (!typed) {
        return std::nullopt;
    }
    return record;
}

std::variant<std::string, SerializationError> AuditRecord::to_json() const {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    auto put = [&object](const char* key, const auto& value) {
        if (value) {
            object[key] = *value;
        }
    };
    object["ts"] = ts;
    object["action"] = std::string(wire_name(action));
    put("demand_id", demand_id);
    put("cert_thumbprint", cert_thumbprint);
    object["success"] = success;
    put("error", error);
    put("file", file);
    put("pades_level", pades_level);
    put("role_name", role_name);
    put("has_role", has_role);
    put("role_len", role_len);
    put("role_mac", role_mac);
    try {
        // Strict: a text that is not UTF-8 is refused rather than written as something else.
        return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    } catch (const nlohmann::ordered_json::exception& e) {
        return SerializationError{e.what()};
    }
}

std::string format_rfc3339(platform::UtcTime time) {
    using namespace std::chrono;
    constexpr std::int64_t seconds_per_day = 86400;
    // Days from the epoch, floored, so instants before 1970 land on the right calendar day.
    std::int64_t days = time.seconds / seconds_per_day;
    std::int64_t rest = time.seconds % seconds_per_day;
    if (rest < 0) {
        rest += seconds_per_day;
        --days;
    }
    // Years 0 to 9999 lie well inside these bounds; anything farther cannot be written.
    constexpr std::int64_t day_limit = 4000000;
    if (days < -day_limit || days > day_limit || time.nanoseconds > 999999999u) {
        return std::string(fallback_time);
    }
    const date::year_month_day civil{date::sys_days{date::days{static_cast<int>(days)}}};
    const int year = static_cast<int>(civil.year());
    if (year < 0 || year > 9999) {
        return std::string(fallback_time);
    }
    std::string text = fmt::format(
        "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", year, static_cast<unsigned>(civil.month()),
        static_cast<unsigned>(civil.day()), rest / 3600, rest / 60 % 60, rest % 60);
    if (time.nanoseconds != 0) {
        std::string fraction = fmt::format("{:09}", time.nanoseconds);
        while (fraction.back() == '0') {
            fraction.pop_back();
        }
        text += '.';
        text += fraction;
    }
    text += 'Z';
    return text;
}

std::string now_rfc3339(const platform::Clock& clock) {
    return format_rfc3339(clock.now());
}

} // namespace korvan::audit
