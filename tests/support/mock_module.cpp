#include "mock_module.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path fresh_dir() {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::random_device random;
    for (;;) {
        const fs::path dir =
            base / ("korvan-mock-" + std::to_string(random()) + "-" + std::to_string(counter++));
        if (fs::create_directory(dir, ec)) {
            return dir;
        }
        if (ec) {
            return dir; // nothing better to do; writing the scenario will then fail visibly
        }
    }
}

} // namespace

std::string TraceEntry::arg(const std::string& key) const {
    const auto it = args.find(key);
    return it == args.end() ? std::string() : it->second;
}

std::vector<TraceEntry> parse_trace(const std::string& text) {
    std::vector<TraceEntry> entries;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        TraceEntry entry;
        entry.line = line;
        std::istringstream words(line);
        words >> entry.function;
        for (std::string word; words >> word;) {
            const auto eq = word.find('=');
            const std::string key = word.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
            if (key == "rv") {
                entry.rv = std::strtoull(value.c_str(), nullptr, 16);
            } else {
                entry.args[key] = value;
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string mock_module_path(const std::string& base_name) {
#if defined(_WIN32)
    return executable_dir() + "\\" + base_name + ".dll";
#else
    return executable_dir() + "/" + base_name + ".so";
#endif
}

std::vector<std::uint8_t> mock_signature(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(1 + i % 255);
    }
    return bytes;
}

MockToken::MockToken(const nlohmann::json& scenario) {
    const fs::path dir = fresh_dir();
    dir_ = dir.string();
    scenario_path_ = (dir / "scenario.json").string();
    trace_path_ = (dir / "trace.txt").string();
    set_scenario(scenario);
}

MockToken::~MockToken() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void MockToken::set_scenario(const nlohmann::json& scenario) {
    std::ofstream(scenario_path_, std::ios::binary | std::ios::trunc) << scenario.dump(2);
}

void MockToken::clear_trace() const {
    std::error_code ec;
    fs::remove(trace_path_, ec);
}

std::map<std::string, std::optional<std::string>> MockToken::env() const {
    return {{"KORVAN_MOCK_SCENARIO", scenario_path_}, {"KORVAN_MOCK_TRACE", trace_path_}};
}

void MockToken::add_to(ChildRun& run) const {
    for (auto& [name, value] : env()) {
        run.env[name] = value;
    }
}

std::vector<std::string> MockToken::trace_lines() const {
    std::vector<std::string> lines;
    for (const TraceEntry& e : trace()) {
        lines.push_back(e.line);
    }
    return lines;
}

std::vector<TraceEntry> MockToken::trace() const {
    return parse_trace(read_file(trace_path_));
}

std::vector<std::string> MockToken::calls() const {
    std::vector<std::string> names;
    for (const TraceEntry& e : trace()) {
        names.push_back(e.function);
    }
    return names;
}

} // namespace korvan::test
