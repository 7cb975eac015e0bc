// Tokens that report one serial number between them (some modules give every token the same
// one, an empty uninitialised token included): the parent's token must be told apart by its
// label too, or the PIN goes to, and the signature comes from, a token it never named.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto3_conversation.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace korvan::test {
namespace {

using nlohmann::json;
using namespace sign_proto;

const std::string shared_serial = "0000000000000000";
// 0000000000000000 : "korvan tpm token"
const std::string expect_a = "30303030303030303030303030303030:6b6f7276616e2074706d20746f6b656e";
const std::string sha256(64, 'a');

json token(const std::string& label, const char* flags = "0x40d") {
    return {{"serial", shared_serial}, {"label", label}, {"flags", flags}};
}

// Slot 1 the parent's token, slot 2 another token of the same module, slot 3 the empty token
// the module adds; each initialised token with a key of its own under the same CKA_ID.
json shared_serial_scenario(json slot1_tokens = json::array({token("korvan tpm token")})) {
    return {{"slots",
             {{{"id", 1}, {"tokens", std::move(slot1_tokens)}},
              {{"id", 2}, {"token", token("other token")}},
              {{"id", 3}, {"token", token("", "0x1")}}}},
            {"keys",
             {{{"handle", 2001}, {"id", "01"}, {"slot", 1}},
              {{"handle", 2002}, {"id", "01"}, {"slot", 2}}}}};
}

std::vector<std::string> args_of(const std::vector<TraceEntry>& trace, const std::string& fn,
                                 const std::string& key) {
    std::vector<std::string> values;
    for (const TraceEntry& e : trace) {
        if (e.function == fn) {
            values.push_back(e.arg(key));
        }
    }
    return values;
}

// The expected token's key signed on a session of its own slot, the only one that logged in.
void expect_only_token_a_used(const std::vector<TraceEntry>& trace, const std::string& why) {
    EXPECT_EQ(args_of(trace, "C_OpenSession", "slot"), std::vector<std::string>{"1"}) << why;
    EXPECT_EQ(args_of(trace, "C_Login", "session").size(), 1u) << why;
    for (const std::string& key : args_of(trace, "C_SignInit", "key")) {
        EXPECT_EQ(key, "2001") << why;
    }
}

struct Proto2Run {
    ChildResult result;
    std::vector<TraceEntry> trace;
};

Proto2Run sign_proto2(const json& scenario, const std::string& slot, const std::string& expect) {
    MockToken mock(scenario);
    ChildRun run;
    run.args = {"--proto=2", trusted_mock_module().module_path(), sha256, "01", "rsa", slot};
    trusted_mock_module().add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = expect;
    run.input = "1234\n";
    mock.add_to(run);
    ChildResult result = run_child(program_path("sign-cli"), run);
    return {std::move(result), mock.trace()};
}

const char* const every_slot[] = {"1", "2", "3", "99"};

TEST(SharedSerial, Protocol2SignsWithTheNamedTokenWhicheverSlotIsGiven) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    for (const char* slot : every_slot) {
        const Proto2Run r = sign_proto2(shared_serial_scenario(), slot, expect_a);
        EXPECT_EQ(r.result.exit_code, 0) << "slot " << slot << ": " << r.result.err;
        EXPECT_NE(r.result.err.find("\u2713 Token matches the listed card\n"), std::string::npos);
        expect_only_token_a_used(r.trace, std::string("slot ") + slot);
    }
}

TEST(SharedSerial, Protocol2NeverSendsThePinToATokenOfAnotherLabel) {
    // No token carries the expected label: each slot's token has the serial, none is the one.
    const std::string expect_gone = expect_a.substr(0, expect_a.find(':') + 1) + "676f6e65";
    for (const char* slot : every_slot) {
        const Proto2Run r = sign_proto2(shared_serial_scenario(), slot, expect_gone);
        EXPECT_EQ(r.result.exit_code, 10) << "slot " << slot << ": " << r.result.err;
        EXPECT_TRUE(args_of(r.trace, "C_Login", "session").empty()) << "slot " << slot;
    }
}

TEST(SharedSerial, ARenamedTokenWithASerialOfItsOwnStillMatches) {
    const json renamed = {{"slots",
                           {{{"id", 1}, {"token", {{"serial", "S123"}, {"label", "New name"}}}},
                            {{"id", 2}, {"token", {{"serial", "S456"}, {"label", "Kart"}}}}}}};
    const Proto2Run r = sign_proto2(renamed, "1", "53313233:4b617274");
    EXPECT_EQ(r.result.exit_code, 0) << r.result.err;
    EXPECT_EQ(args_of(r.trace, "C_OpenSession", "slot"), std::vector<std::string>{"1"});
}

TEST(SharedSerial, Protocol3SessionStartsOnTheNamedTokenWhicheverSlotIsGiven) {
    for (const char* slot : every_slot) {
        Proto3Invocation invocation;
        invocation.positional = {"01", "rsa", slot};
        invocation.expect_token = expect_a;
        const Proto3Run r =
            run_proto3(shared_serial_scenario(), {login("1234"), sign(1), sign(2), close_request()},
                       invocation);
        EXPECT_EQ(r.result.exit_code, 0) << "slot " << slot << ": " << r.result.err;
        const auto sig = mock_signature(256);
        EXPECT_EQ(r.conversation.frames(),
                  describe({Hello{}, SessionReady{KeyKindCode::rsa, false}, Signature{1, sig},
                            Signature{2, sig}, Goodbye{}}))
            << "slot " << slot;
        expect_only_token_a_used(r.trace, std::string("slot ") + slot);
    }
}

TEST(SharedSerial, Protocol3CheckBeforeASignatureSeesAnotherTokenOfTheSameSerial) {
    // Reads 1-3 (locate, confirm, PIN state) see the parent's token; by the check before the
    // first signature another token of that serial sits in its slot.
    const json swapped =
        shared_serial_scenario(json::array({token("korvan tpm token"), token("korvan tpm token"),
                                            token("korvan tpm token"), token("other token")}));
    Proto3Invocation invocation;
    invocation.positional = {"01", "rsa", "1"};
    invocation.expect_token = expect_a;
    const Proto3Run r = run_proto3(swapped, {login("1234"), sign(1)}, invocation);
    EXPECT_EQ(r.result.exit_code, 1) << r.result.err;
    EXPECT_EQ(r.conversation.frames(),
              describe({Hello{}, SessionReady{KeyKindCode::rsa, false},
                        error_frame(static_cast<unsigned>(Proto3ErrorCode::TokenMismatch))}));
    EXPECT_TRUE(args_of(r.trace, "C_Sign", "session").empty());
}

} // namespace
} // namespace korvan::test
