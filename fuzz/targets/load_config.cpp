// The settings file's text. Whatever it holds, reading it ends in a Config or a ConfigError; a
// Config written back by the parent's settings writer must read as the same Config, and every
// accepted text must be JSON that a lenient parser accepts too (the rules only ever narrow what
// JSON allows).

#include "check.hpp"

#include "korvan/app_dirs/config.hpp"
#include "korvan/app_dirs/settings_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace korvan;
using json = nlohmann::json;

namespace {

constexpr std::size_t max_round_trip_size = 4096;

// How deeply the value nests: 1 for a scalar.
std::size_t depth_of(const json& value) {
    std::size_t deepest = 0;
    if (value.is_structured()) {
        for (const auto& item : value) {
            deepest = std::max(deepest, depth_of(item));
        }
    }
    return deepest + 1;
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
    const auto written = app_dirs::config_text(*config);
    if (std::holds_alternative<app_dirs::SettingsFailure>(written)) {
        // The writer refuses only what JSON cannot carry back unchanged.
        bool explained = false;
        for (const auto& [name, value] : config->extra) {
            explained = explained || !only_finite_numbers(value) || depth_of(value) > 512;
        }
        fuzz::check(explained, "the writer refuses only an unwritable value");
        return 0;
    }
    const auto again = app_dirs::parse_config(std::get<std::string>(written));
    const auto* reread = std::get_if<app_dirs::Config>(&again);
    fuzz::check(reread != nullptr, "a Config written back is accepted");
    fuzz::check(*reread == *config, "a Config written back reads the same");
    return 0;
}
