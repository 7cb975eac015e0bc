#pragma once

// Drives tests/fixtures/mock-pkcs11 from a test: where the built module is, a scenario file and a
// trace file of the test's own, and the trace read back.

#include "child_process.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvan::test {

// One line of the trace: "C_Login session=1 user=1 pin_len=4 rv=0x0".
struct TraceEntry {
    std::string function;
    std::map<std::string, std::string> args; // every key=value except rv
    unsigned long long rv = 0;
    std::string line;

    // The value of key, or "" when the line has none.
    std::string arg(const std::string& key) const;
};

std::vector<TraceEntry> parse_trace(const std::string& text);

// A module built next to the test executable: "mock-pkcs11" or "no-export-pkcs11".
std::string mock_module_path(const std::string& base_name = "mock-pkcs11");

// The bytes the mock signs with when the scenario does not script them: 01 02 03 ...
std::vector<std::uint8_t> mock_signature(std::size_t size);

// A scenario and a trace file in a fresh temporary folder, removed again on destruction.
class MockToken {
  public:
    explicit MockToken(const nlohmann::json& scenario = nlohmann::json::object());
    explicit MockToken(nlohmann::json::initializer_list_t scenario)
        : MockToken(nlohmann::json(scenario)) {}
    ~MockToken();
    MockToken(const MockToken&) = delete;
    MockToken& operator=(const MockToken&) = delete;

    void set_scenario(const nlohmann::json& scenario);
    void clear_trace() const;

    std::string module_path() const { return mock_module_path(); }
    const std::string& scenario_path() const { return scenario_path_; }
    const std::string& trace_path() const { return trace_path_; }

    // KORVAN_MOCK_SCENARIO and KORVAN_MOCK_TRACE, to merge into ChildRun::env.
    std::map<std::string, std::optional<std::string>> env() const;
    void add_to(ChildRun& run) const;

    std::vector<std::string> trace_lines() const;
    std::vector<TraceEntry> trace() const;
    std::vector<std::string> calls() const; // just the function names, in order

  private:
    std::string dir_;
    std::string scenario_path_;
    std::string trace_path_;
};

} // namespace korvan::test
