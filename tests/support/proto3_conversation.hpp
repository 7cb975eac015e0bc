#pragma once

// The parent's side of a protocol-3 conversation for the end-to-end tests: requests (and
// deliberately broken bytes) become the child's standard input, and its standard output is read
// back into the frames it sent, with the same codec the parent application uses.

#include "child_process.hpp"
#include "mock_module.hpp"
#include "trusted_module.hpp"

#include "korvan/sign_proto/frames.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace korvan::test {

// Bytes sent as they are, for input that no encoder would produce.
struct RawBytes {
    std::string bytes;
};
using InputPiece = std::variant<sign_proto::Proto3Request, RawBytes>;

sign_proto::Proto3Request login(const std::string& pin, bool allow_final_try = false);
sign_proto::Proto3Request sign(std::uint32_t request_id, std::size_t digest_size = 32);
sign_proto::Proto3Request query_token_flags();
sign_proto::Proto3Request close_request();

// The digest sign() sends: 0xD0, 0xD1, ... so the trace shows it was passed on unchanged.
std::vector<std::uint8_t> test_digest(std::size_t size);

// The child's standard input; a request the parent's encoder refuses fails the calling test.
std::string conversation_input(const std::vector<InputPiece>& pieces);

struct Conversation {
    bool marker = false;
    std::vector<sign_proto::Proto3Response> responses;
    bool trailing_garbage = false; // bytes that do not form a marker or a valid response

    // describe() of the responses, after "<no marker>" when the marker is missing and before
    // "<garbage>" when bytes follow that are no valid response: one comparison checks it all.
    std::vector<std::string> frames() const;
};

Conversation parse_conversation(const std::string& out);

// One line per response, exact down to every field, for comparing whole conversations:
// "Error code=7 rv=0x0 flags=0x4040d", "Signature id=1 bytes=0102...", "Hello".
std::vector<std::string> describe(const std::vector<sign_proto::Proto3Response>& responses);

// The Error frame a failure should produce; flags only where the token's were read.
sign_proto::Proto3Response error_frame(unsigned code, std::uint64_t rv = 0,
                                       std::optional<std::uint64_t> token_flags = std::nullopt);
// The standard-error line that goes with it.
std::string error_line(unsigned code, std::uint64_t rv = 0);

// A run of sign-cli --proto=3 against the trusted mock module.
struct Proto3Invocation {
    // After "--proto=3" and the module path.
    std::vector<std::string> positional = {"01", "rsa", "0"};
    std::optional<std::string> expect_token = std::string("53313233:4b617274"); // S123 : Kart
    const TrustedModule* trusted = nullptr; // its home; none: the trusted mock module
    std::optional<std::string> module_path; // none: the trusted module's own path
};

using Calls = std::vector<std::string>;
Calls operator+(Calls a, const Calls& b);

// What sign-cli asks after a failure of code and rv before it reports it: C_GetSlotInfo, to tell
// a pulled card from a module fault, for the module-fault codes (4, 5, 14, 15, 17) with a call's
// rv; nothing otherwise.
Calls removal_check(unsigned code, std::uint64_t rv);
Calls removal_check(const sign_proto::Proto3Response& error);

struct Proto3Run {
    ChildResult result;
    Conversation conversation;
    std::vector<TraceEntry> trace;
    // The function names in order, without C_GetAttributeValue: how many reads a key's
    // attributes take is not what these tests are about, and the outcomes show what was read.
    Calls calls;
};

Proto3Run run_proto3(const nlohmann::json& scenario, const std::vector<InputPiece>& input,
                     const Proto3Invocation& invocation = {});

} // namespace korvan::test
