// The module trust policy and the audit rejection, against real files in a HOME of scripts/bench.
//
// BENCH_HOME: a HOME whose config.json pins BENCH_PINNED_MODULE. BENCH_KNOWN_MODULE: a well-known
// module path that resolves inside a system folder (scripts/bench places one in a private mount
// namespace); without it the well-known case is skipped.

#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/audit/rejection_report.hpp"
#include "micro/memory_streams.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using namespace korvan;

std::string from_environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// HOME only: the policy reads nothing else that matters here.
class HomeOnly final : public platform::Environment {
  public:
    explicit HomeOnly(std::string home) : home_(std::move(home)) {}
    platform::EnvValue get(std::string_view name) const override {
        if (name == "HOME") {
            return {platform::EnvValue::Status::Set, home_};
        }
        return {};
    }

  private:
    std::string home_;
};

void accepts(benchmark::State& state, const char* module_variable) {
    const std::string home = from_environment("BENCH_HOME");
    const std::string module = from_environment(module_variable);
    if (home.empty() || module.empty()) {
        state.SkipWithError("BENCH_HOME or the module path is not set");
        return;
    }
    const HomeOnly environment(home);
    const platform::SystemClock clock;
    if (!std::holds_alternative<app_dirs::ModuleAccepted>(
            app_dirs::evaluate_module_policy(module, environment, clock))) {
        state.SkipWithError("the policy does not accept the module");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(app_dirs::evaluate_module_policy(module, environment, clock));
    }
}

void BM_policy_pinned(benchmark::State& state) {
    accepts(state, "BENCH_PINNED_MODULE");
}
BENCHMARK(BM_policy_pinned)->Unit(benchmark::kMicrosecond);

void BM_policy_well_known(benchmark::State& state) {
    accepts(state, "BENCH_KNOWN_MODULE");
}
BENCHMARK(BM_policy_well_known)->Unit(benchmark::kMicrosecond);

// One rejection as sign-cli reports it: the line on standard error and one appended record,
// the log opened, its size and age checked each time.
void BM_audit_rejection(benchmark::State& state) {
    const std::string home = from_environment("BENCH_HOME");
    if (home.empty()) {
        state.SkipWithError("BENCH_HOME is not set");
        return;
    }
    const HomeOnly environment(home + "/rejections");
    const platform::SystemClock clock;
    bench::CountingSink error_stream;
    for (auto _ : state) {
        audit::report_module_rejection(app_dirs::ModuleRejectReason::not_known, environment, clock,
                                       error_stream);
    }
    state.counters["bytes_of_messages"] = static_cast<double>(error_stream.written());
}
BENCHMARK(BM_audit_rejection)->Unit(benchmark::kMicrosecond);

} // namespace
