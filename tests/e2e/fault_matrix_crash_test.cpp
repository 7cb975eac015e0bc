// A module that dies inside C_Sign takes the process with it. The parent must then see a dead
// child, never a signature: no signature line after the protocol-2 marker, no Signature frame (or
// any part of one) in protocol 3. Under Wine the crash must end the process without a debugger
// waiting for someone.
#include "fault_matrix.hpp"
#include "proto3_conversation.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

namespace korvan::test::faults {
namespace {

using namespace sign_proto;
using nlohmann::json;

json crashing_sign(const char* how, int call) {
    return {{"fail", {{{"fn", "C_Sign"}, {"call", call}, {"crash", how}}}}};
}

// The trace ends with the crash line of C_Sign: nothing ran after it, not even a clean-up.
void expect_died_in_sign(const std::vector<TraceEntry>& trace, const std::string& how) {
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back().function, "C_Sign");
    EXPECT_EQ(trace.back().arg("crash"), how);
}

// What winedbg writes when Wine starts it for a crash: the prefix must keep it from starting.
void expect_no_debugger(const std::string& err) {
    EXPECT_EQ(err.find("Register dump"), std::string::npos) << err;
}

// A dead child must not pass for a result: its exit code is none of the codes the protocols
// define (0 to 9). The sanitizer build ends a wild write with its own exit code 1, so there
// only "not 0" is checked.
void expect_crash_code(int code) {
    EXPECT_NE(code, 0);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(code < 0 || code > 9) << code;
#endif
}

class CrashInSign : public ::testing::TestWithParam<std::string> {};

TEST_P(CrashInSign, Protocol2LeavesOnlyTheMarker) {
    ASSERT_TRUE(trusted_mock_module().ok()) << trusted_mock_module().error();
    // The second C_Sign is the one that fills the signature buffer.
    MockToken mock(crashing_sign(GetParam().c_str(), 2));
    ChildRun run;
    run.args = {"--proto=2", trusted_mock_module().module_path(), std::string(64, 'a'), "01", "rsa",
                "0"};
    trusted_mock_module().add_to(run);
    mock.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    run.input = "1234";
    const ChildResult r = run_child(program_path("sign-cli"), run);
    expect_crash_code(r.exit_code);
    EXPECT_EQ(r.out, "<<KORVAN_SIGN_PROTO_2>>\n");
    EXPECT_EQ(r.err.find("sign-cli: OK"), std::string::npos) << r.err;
    expect_died_in_sign(mock.trace(), GetParam());
    expect_no_debugger(r.err);
}

TEST_P(CrashInSign, Protocol3SendsNoSignature) {
    const Proto3Run r =
        run_proto3(crashing_sign(GetParam().c_str(), 1), {login("1234"), sign(1), close_request()});
    expect_crash_code(r.result.exit_code);
    // Exactly what was sent before the crash, with nothing half-written after it.
    EXPECT_EQ(r.conversation.frames(), describe({Hello{}, SessionReady{KeyKindCode::rsa, false}}));
    expect_died_in_sign(r.trace, GetParam());
    expect_no_debugger(r.result.err);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, CrashInSign, ::testing::Values("abort", "null_write"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

} // namespace
} // namespace korvan::test::faults
