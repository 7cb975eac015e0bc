#include "proto3_conversation.hpp"

#include "korvan/sign_proto/parent.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace korvan::test {
namespace {

using namespace sign_proto;

class StringSource final : public platform::ByteSource {
  public:
    explicit StringSource(const std::string& text) : text_(text) {}
    platform::ReadResult read_some(std::span<std::uint8_t> into) override {
        if (next_ == text_.size()) {
            return {platform::ReadResult::Status::End, 0};
        }
        const std::size_t n = std::min(into.size(), text_.size() - next_);
        std::copy_n(text_.begin() + static_cast<std::ptrdiff_t>(next_), n, into.begin());
        next_ += n;
        return {platform::ReadResult::Status::Data, n};
    }

  private:
    const std::string& text_;
    std::size_t next_ = 0;
};

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

struct Describe {
    std::string operator()(const Hello&) const { return "Hello"; }
    std::string operator()(const SessionReady& r) const {
        return "SessionReady kind=" + std::to_string(static_cast<unsigned>(r.key_kind)) +
               " always_authenticate=" + std::to_string(r.always_authenticate ? 1 : 0);
    }
    std::string operator()(const Signature& s) const {
        return "Signature id=" + std::to_string(s.request_id) + " bytes=" + hex_bytes(s.signature);
    }
    std::string operator()(const TokenFlags& f) const { return "TokenFlags " + hex(f.flags); }
    std::string operator()(const Goodbye&) const { return "Goodbye"; }
    std::string operator()(const Proto3Failure& f) const {
        return "Error code=" + std::to_string(static_cast<unsigned>(f.code)) + " rv=" + hex(f.rv) +
               " flags=" + (f.has_token_flags ? hex(f.token_flags) : "none");
    }
};

std::string describe_one(const Proto3Response& response) {
    return std::visit(Describe{}, response);
}

} // namespace

Proto3Request login(const std::string& pin, bool allow_final_try) {
    return Login{allow_final_try, platform::SecretBytes(pin.begin(), pin.end())};
}

std::vector<std::uint8_t> test_digest(std::size_t size) {
    std::vector<std::uint8_t> digest(size);
    for (std::size_t i = 0; i < size; ++i) {
        digest[i] = static_cast<std::uint8_t>(0xD0 + i);
    }
    return digest;
}

Proto3Request sign(std::uint32_t request_id, std::size_t digest_size) {
    return Sign{request_id, test_digest(digest_size)};
}

Proto3Request query_token_flags() {
    return QueryTokenFlags{};
}

Proto3Request close_request() {
    return Close{};
}

std::string conversation_input(const std::vector<InputPiece>& pieces) {
    std::string input;
    for (const InputPiece& piece : pieces) {
        if (const auto* raw = std::get_if<RawBytes>(&piece)) {
            input += raw->bytes;
            continue;
        }
        const EncodeOutcome encoded = encode_request(std::get<Proto3Request>(piece));
        const auto* frame = std::get_if<platform::SecretBytes>(&encoded);
        if (frame == nullptr) {
            ADD_FAILURE() << "the parent's encoder refused a request of the test";
            continue;
        }
        input.append(frame->begin(), frame->end());
    }
    return input;
}

Conversation parse_conversation(const std::string& out) {
    Conversation conversation;
    StringSource source(out);
    const auto marker = read_marker(source);
    if (!std::holds_alternative<Marker>(marker)) {
        conversation.trailing_garbage = std::get<ReadFailure>(marker) != ReadFailure::EndOfInput;
        return conversation;
    }
    conversation.marker = true;
    std::array<std::uint8_t, frame_buffer_size> frame{};
    for (;;) {
        ResponseRead read = read_response(source, frame);
        if (auto* failure = std::get_if<ReadFailure>(&read)) {
            conversation.trailing_garbage = *failure != ReadFailure::EndOfInput;
            return conversation;
        }
        conversation.responses.push_back(std::move(std::get<Proto3Response>(read)));
    }
}

std::vector<std::string> Conversation::frames() const {
    std::vector<std::string> lines;
    if (!marker) {
        lines.push_back("<no marker>");
    }
    for (const Proto3Response& response : responses) {
        lines.push_back(describe_one(response));
    }
    if (trailing_garbage) {
        lines.push_back("<garbage>");
    }
    return lines;
}

std::vector<std::string> describe(const std::vector<Proto3Response>& responses) {
    std::vector<std::string> lines;
    for (const Proto3Response& response : responses) {
        lines.push_back(describe_one(response));
    }
    return lines;
}

Proto3Response error_frame(unsigned code, std::uint64_t rv,
                           std::optional<std::uint64_t> token_flags) {
    return Proto3Failure{static_cast<Proto3ErrorCode>(code), rv, token_flags.has_value(),
                         token_flags.value_or(0)};
}

std::string error_line(unsigned code, std::uint64_t rv) {
    return "sign-cli proto3: error code=" + std::to_string(code) + " rv=" + hex(rv) + "\n";
}

Calls removal_check(unsigned code, std::uint64_t rv) {
    const bool module_fault = code == 4 || code == 5 || code == 14 || code == 15 || code == 17;
    return rv != 0 && module_fault ? Calls{"C_GetSlotInfo"} : Calls{};
}

Calls removal_check(const sign_proto::Proto3Response& error) {
    const auto* failure = std::get_if<sign_proto::Proto3Failure>(&error);
    return failure == nullptr ? Calls{}
                              : removal_check(static_cast<unsigned>(failure->code), failure->rv);
}

Calls operator+(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Proto3Run run_proto3(const nlohmann::json& scenario, const std::vector<InputPiece>& input,
                     const Proto3Invocation& invocation) {
    const TrustedModule& trusted =
        invocation.trusted != nullptr ? *invocation.trusted : trusted_mock_module();
    MockToken mock(scenario);
    ChildRun run;
    run.args = {"--proto=3", invocation.module_path.value_or(trusted.module_path())};
    run.args.insert(run.args.end(), invocation.positional.begin(), invocation.positional.end());
    trusted.add_to(run);
    mock.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = invocation.expect_token;
    run.input = conversation_input(input);
    Proto3Run result;
    result.result = run_child(program_path("sign-cli"), run);
    result.conversation = parse_conversation(result.result.out);
    result.trace = mock.trace();
    for (const TraceEntry& entry : result.trace) {
        if (entry.function != "C_GetAttributeValue") {
            result.calls.push_back(entry.function);
        }
    }
    return result;
}

} // namespace korvan::test
