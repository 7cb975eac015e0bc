// The settings file's text. Whatever it holds, reading it ends in a Config or a ConfigError; a
// Config written back as JSON must read as the same Config, and every accepted text must be JSON
// that a lenient parser accepts too (the rules only ever narrow what JSON allows).

#include "check.hpp"

#include "korvan/app_dirs/config.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace korvan;
using json = nlohmann::json;

namespace {

constexpr std::size_t max_round_trip_size = 4096;

template <typename T> void put(json& object, const char* name, const std::optional<T>& value) {
    if (value) {
        object[name] = *value;
    }
}

json to_json(const app_dirs::Config& config) {
    json object = json::object();
    put(object, "pkcs11_module_path", config.pkcs11_module_path);
    put(object, "pkcs11_module_sha256", config.pkcs11_module_sha256);
    put(object, "pending_module_path", config.pending_module_path);
    put(object, "pending_module_sha256", config.pending_module_sha256);
    put(object, "pending_module_token_sha256", config.pending_module_token_sha256);
    put(object, "pending_module_expires", config.pending_module_expires);
    put(object, "telemetry_consent", config.telemetry_consent);
    put(object, "telemetry_notice_version", config.telemetry_notice_version);
    put(object, "verify_online_revocation", config.verify_online_revocation);
    put(object, "verify_online_informed", config.verify_online_informed);
    put(object, "verify_online_notice_version", config.verify_online_notice_version);
    for (const auto& [name, value] : config.extra) {
        object[name] = value;
    }
    return object;
}

// JSON has no text for an infinite number: such a value (1e999) cannot come back unchanged.
bool only_finite_numbers(const json& value) {
    if (value.is_number_float()) {
        return std::isfinite(value.get<double>());
    }
    if (value.is_structured()) {
        for (const auto& item : value) {
            if (!only_finite_numbers(item)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = app_dirs::parse_config(text);
    const auto* config = std::get_if<app_dirs::Config>(&parsed);
    if (config == nullptr) {
        fuzz::check(!std::get<app_dirs::ConfigError>(parsed).text.empty(),
                    "a refused text says why");
        return 0;
    }
    fuzz::check(!json::parse(text, nullptr, false).is_discarded(), "accepted text is JSON");

    // Writing back and comparing recurse per nesting level; fuzzed inputs are never this long,
    // and longer regression inputs are here for parse_config alone.
    if (size > max_round_trip_size) {
        return 0;
    }
    const json written = to_json(*config);
    if (!only_finite_numbers(written)) {
        return 0;
    }
    const auto again = app_dirs::parse_config(written.dump());
    const auto* reread = std::get_if<app_dirs::Config>(&again);
    fuzz::check(reread != nullptr, "a Config written back is accepted");
    fuzz::check(*reread == *config, "a Config written back reads the same");
    return 0;
}
