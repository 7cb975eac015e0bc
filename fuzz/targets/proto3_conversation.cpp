// A whole protocol-3 conversation in-process against the mock token. The first input byte picks
// the token (and whether the policy refuses the module); the rest is the parent's byte stream.
// Whatever the parent sends, what comes back must be a well-formed conversation: the marker,
// Hello, frames the parent's decoder accepts with nothing after them, signatures numbered from 1,
// one ending (Goodbye or a fatal Error) as the last frame, and an exit code that matches it.

#include "byte_streams.hpp"
#include "check.hpp"
#include "environment.hpp"

#include "proto3/conversation.hpp"

#include "korvan/sign_proto/parent.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

using namespace korvan;
using sign_proto::Proto3ErrorCode;

namespace {

// Tokens the conversation meets, all with a key of CKA_ID 01 and the PIN 1234: the default RSA
// key; an always-authenticate EC key one wrong PIN away from its final try; a P-521 key whose
// r and s carry leading zeros and a high bit; a token that fails its third signature and its
// sixth token query.
std::vector<std::string> scenarios() {
    const std::string r = "0000807f" + std::string(124, '0');
    const std::string s = std::string(130, '0') + "01";
    return {
        "",
        R"({"keys": [{"id": "01", "kind": "ec-p256", "always_authenticate": true}],
            "pin_tries_left": 2})",
        R"({"keys": [{"id": "01", "kind": "ec-p521"}], "sign": {"hex": ")" + r + s + R"("}})",
        R"({"fail": [{"fn": "C_Sign", "call": 3, "rv": "0xE0"},
                     {"fn": "C_GetTokenInfo", "call": 6, "rv": "0x30"}]})",
    };
}

struct Scratch {
    std::filesystem::path dir;
    std::vector<std::string> scenario_paths;
    Scratch() {
        std::random_device random;
        dir = std::filesystem::temp_directory_path() /
              ("korvan-fuzz-proto3-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(dir);
        const auto texts = scenarios();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (texts[i].empty()) {
                scenario_paths.emplace_back(); // an empty name means the default scenario
                continue;
            }
            const auto path = dir / ("scenario-" + std::to_string(i) + ".json");
            std::ofstream(path) << texts[i];
            scenario_paths.push_back(path.string());
        }
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

class FixedGate final : public cli::ModuleGate {
  public:
    explicit FixedGate(bool reject) : reject_(reject) {}
    std::optional<cli::AdmittedModule> admit(std::string_view) override {
        if (reject_) {
            return std::nullopt;
        }
        return cli::AdmittedModule{};
    }

  private:
    bool reject_;
};

cli::Proto3Args mock_args() {
    cli::Proto3Args args;
    args.module_path = KORVAN_FUZZ_MOCK_MODULE;
    args.cka_id = {0x01};
    args.slot_id = 0;
    args.expected_token = {"S123", "Kart"};
    return args;
}

std::vector<sign_proto::Proto3Response> read_back(const std::vector<std::uint8_t>& output) {
    fuzz::InputSource in(output, output.size());
    fuzz::check(std::holds_alternative<sign_proto::Marker>(sign_proto::read_marker(in)),
                "the output starts with the marker");
    std::vector<sign_proto::Proto3Response> responses;
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame{};
    for (;;) {
        auto read = sign_proto::read_response(in, frame);
        if (auto* response = std::get_if<sign_proto::Proto3Response>(&read)) {
            responses.push_back(std::move(*response));
            continue;
        }
        fuzz::check(std::get<sign_proto::ReadFailure>(read) == sign_proto::ReadFailure::EndOfInput,
                    "every byte after the marker belongs to a well-formed response");
        return responses;
    }
}

bool is_fatal(const sign_proto::Proto3Response& response) {
    const auto* failure = std::get_if<sign_proto::Proto3Failure>(&response);
    return failure != nullptr && failure->code != Proto3ErrorCode::TokenInfoUnavailable;
}

void check_conversation(const std::vector<sign_proto::Proto3Response>& responses, int exit_code,
                        bool rejected) {
    if (rejected) {
        fuzz::check(responses.size() == 1 && is_fatal(responses[0]) &&
                        std::get<sign_proto::Proto3Failure>(responses[0]).code ==
                            Proto3ErrorCode::ModuleRejected,
                    "a refused module gets one ModuleRejected and nothing else");
        fuzz::check(exit_code == 1, "a refused module exits 1");
        return;
    }
    fuzz::check(responses.size() >= 2 &&
                    std::holds_alternative<sign_proto::Hello>(responses.front()),
                "Hello first, and an ending after it");
    const auto& last = responses.back();
    const bool goodbye = std::holds_alternative<sign_proto::Goodbye>(last);
    fuzz::check(goodbye || is_fatal(last), "the last frame is Goodbye or a fatal Error");
    fuzz::check((exit_code == 0) == goodbye && (exit_code == 0 || exit_code == 1),
                "exit 0 after Goodbye, 1 after an Error");

    bool ready = false;
    std::uint32_t next_id = 1;
    for (std::size_t i = 1; i + 1 < responses.size(); ++i) {
        const auto& response = responses[i];
        fuzz::check(!std::holds_alternative<sign_proto::Hello>(response) &&
                        !std::holds_alternative<sign_proto::Goodbye>(response) &&
                        !is_fatal(response),
                    "Hello, Goodbye and fatal Errors never in the middle");
        if (std::holds_alternative<sign_proto::SessionReady>(response)) {
            fuzz::check(!ready && i == 1, "SessionReady once, right after Hello");
            ready = true;
            continue;
        }
        fuzz::check(ready, "answers to requests only after SessionReady");
        if (const auto* signature = std::get_if<sign_proto::Signature>(&response)) {
            fuzz::check(signature->request_id == next_id, "signatures numbered 1, 2, 3, ...");
            ++next_id;
        }
    }
}

void check_error_lines(const std::vector<std::uint8_t>& error) {
    fuzz::check(std::find(error.begin(), error.end(), '\r') == error.end(),
                "no carriage return on standard error");
    fuzz::check(error.empty() || error.back() == '\n', "standard error ends with a whole line");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::unset_environment("KORVAN_MOCK_TRACE");
    scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto& paths = scratch().scenario_paths;
    const std::size_t scenario = data[0] % paths.size();
    const bool rejected = data[0] / paths.size() % 8 == 7;
    fuzz::set_environment("KORVAN_MOCK_SCENARIO", paths[scenario]);

    fuzz::InputSource input(std::span<const std::uint8_t>(data + 1, size - 1), 1 + data[0] % 61);
    fuzz::CollectingSink output;
    fuzz::CollectingSink error;
    FixedGate gate(rejected);
    const cli::Proto3Args args = mock_args();
    const int exit_code = cli::run_conversation(args, {input, output, error, gate});

    check_conversation(read_back(output.bytes), exit_code, rejected);
    check_error_lines(error.bytes);
    return 0;
}
