#pragma once

// In-memory stand-ins for what a front end touches: streams, environment, policy and engine.

#include "engine/signing_engine.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/streams.hpp"
#include "shared/module_gate.hpp"

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace korvan::test {

class MemorySink final : public platform::ByteSink {
  public:
    bool write_all(std::span<const std::uint8_t> bytes) override {
        text.append(bytes.begin(), bytes.end());
        return true;
    }
    std::string text;
};

// Hands out the input in the given chunks, then End (or Error when `fail_at_end`).
class ChunkedSource final : public platform::ByteSource {
  public:
    explicit ChunkedSource(std::deque<std::string> chunks, bool fail_at_end = false)
        : chunks_(std::move(chunks)), fail_at_end_(fail_at_end) {}
    platform::ReadResult read_some(std::span<std::uint8_t> into) override {
        ++reads;
        if (chunks_.empty()) {
            return {fail_at_end_ ? platform::ReadResult::Status::Error
                                 : platform::ReadResult::Status::End,
                    0};
        }
        std::string& chunk = chunks_.front();
        const std::size_t n = std::min(into.size(), chunk.size());
        std::copy_n(chunk.begin(), n, into.begin());
        chunk.erase(0, n);
        if (chunk.empty()) {
            chunks_.pop_front();
        }
        return {platform::ReadResult::Status::Data, n};
    }
    int reads = 0;

  private:
    std::deque<std::string> chunks_;
    bool fail_at_end_;
};

class FakeEnvironment final : public platform::Environment {
  public:
    platform::EnvValue get(std::string_view name) const override {
        const auto it = values.find(std::string(name));
        return it == values.end() ? platform::EnvValue{} : it->second;
    }
    std::map<std::string, platform::EnvValue> values;
};

class RecordingGate final : public cli::ModuleGate {
  public:
    explicit RecordingGate(bool reject = false) : reject_(reject) {}
    std::optional<cli::AdmittedModule> admit(std::string_view module_path) override {
        asked.emplace_back(module_path);
        if (reject_) {
            return std::nullopt;
        }
        return cli::AdmittedModule{};
    }
    std::vector<std::string> asked;

  private:
    bool reject_;
};

// Returns a fixed outcome and keeps a copy of what it was asked (the PIN copied while it lives).
class RecordingEngine final : public engine::SigningEngine {
  public:
    explicit RecordingEngine(engine::SignOutcome outcome) : outcome_(std::move(outcome)) {}
    engine::SignOutcome run_sign_session(const engine::SignRequest& request) override {
        ++calls;
        last = request;
        pin.assign(request.pin.begin(), request.pin.end());
        return outcome_;
    }
    int calls = 0;
    engine::SignRequest last;
    std::string pin;

  private:
    engine::SignOutcome outcome_;
};

} // namespace korvan::test
