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
