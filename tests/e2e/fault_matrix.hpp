#pragma once

// Pieces shared by the fault matrices: one injected fault (a scripted rv at the n-th call of a
// function, or a null entry), the names of the calls a run made, and the clean-up rules every
// run must keep whatever failed.

#include "mock_module.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvan::test::faults {

using Calls = std::vector<std::string>;

// Return values the matrices inject, by name, so a row reads like the standard.
namespace rv {
constexpr std::uint32_t slot_id_invalid = 0x3;
constexpr std::uint32_t general_error = 0x5;
constexpr std::uint32_t device_removed = 0x32;
constexpr std::uint32_t function_not_supported = 0x54;
constexpr std::uint32_t mechanism_invalid = 0x70;
constexpr std::uint32_t pin_incorrect = 0xA0;
constexpr std::uint32_t pin_invalid = 0xA1;
constexpr std::uint32_t pin_len_range = 0xA2;
constexpr std::uint32_t pin_expired = 0xA3;
constexpr std::uint32_t pin_locked = 0xA4;
constexpr std::uint32_t session_closed = 0xB0;
constexpr std::uint32_t session_handle_invalid = 0xB3;
constexpr std::uint32_t token_not_present = 0xE0;
constexpr std::uint32_t token_not_recognized = 0xE1;
constexpr std::uint32_t user_already_logged_in = 0x100;
constexpr std::uint32_t user_not_logged_in = 0x101;
constexpr std::uint32_t user_pin_not_initialized = 0x102;
constexpr std::uint32_t buffer_too_small = 0x150;
} // namespace rv

// The n-th call (1-based, as the mock counts) of `function` answers `rv`; without rv the entry
// of the function list is null (every call of it, so only its first call is a row).
struct Fault {
    std::string function;
    unsigned call = 1;
    std::optional<std::uint32_t> rv;
};

nlohmann::json with_fault(nlohmann::json scenario, const Fault& fault);

// "C_Login_2_0xa0", "C_Sign_null": a GoogleTest name part.
std::string fault_name(const Fault& fault);

// Letters, digits and underscores only, for GoogleTest parameter names.
std::string test_name(const std::string& text);

// One row of a matrix: a fault injected at one step of a baseline run.
template <class Baseline> struct MatrixRow {
    std::string name;
    const Baseline* baseline;
    std::size_t step;
    Fault fault;
};

// Every step of every baseline (only its `rows_for` roles where it names some) failing with each
// value `values_for` gives its role, and a null entry at the first call of a function whose role
// is `nullable`: a null entry misses every call of the function.
template <class Baseline, class ValuesFor, class Nullable>
std::vector<MatrixRow<Baseline>> matrix_rows(const std::vector<Baseline>& baselines,
                                             ValuesFor values_for, Nullable nullable) {
    std::vector<MatrixRow<Baseline>> out;
    for (const Baseline& b : baselines) {
        std::map<std::string, unsigned> seen;
        for (std::size_t i = 0; i < b.steps.size(); ++i) {
            const auto& s = b.steps[i];
            const unsigned nth = ++seen[s.function];
            if (!b.rows_for.empty() && b.rows_for.count(s.role) == 0) {
                continue;
            }
            for (const std::uint32_t value : values_for(s.role)) {
                out.push_back({"", &b, i, {s.function, nth, value}});
            }
            if (nullable(s.role) && nth == 1) {
                out.push_back({"", &b, i, {s.function, 1, std::nullopt}});
            }
        }
    }
    for (auto& r : out) {
        r.name = test_name(r.baseline->name + "_" + fault_name(r.fault));
    }
    return out;
}

// The functions of the trace in order, C_GetAttributeValue included.
Calls call_names(const std::vector<TraceEntry>& trace);

// What every run keeps: each session that opened is closed, a user login that succeeded is
// logged out before that close, nothing but C_Finalize follows the close, and C_Finalize comes
// only where `finalize_expected` says so (protocol 3's orderly close), last. A null C_Logout,
// C_CloseSession or C_Finalize (`fault`) excuses the step it makes impossible.
void expect_clean_ending(const std::vector<TraceEntry>& trace, bool finalize_expected,
                         const std::string& where, const Fault& fault = {});

// The mock's default P-256 signature (bytes 01 .. 40) in DER, built by hand: r and s both keep
// their top bit clear, so each INTEGER is its 32 bytes.
std::vector<std::uint8_t> mock_p256_der();

} // namespace korvan::test::faults
