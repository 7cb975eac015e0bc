// What Windows vendor modules do to the standard streams beyond what the noisy module does: print
// and abort through the Universal C runtime instead of ours, close the standard output handle,
// start helper processes that inherit handles; and a parent that hands standard output and
// standard error over as two handles to one pipe.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto2/base64.hpp"
#include "proto3_conversation.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;

// What an abort() ends the process with: a crash, never an exit code of either protocol.
constexpr int abort_status = static_cast<int>(0xC0000409u);

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string without_cr(std::string text) {
    std::erase(text, '\r');
    return text;
}

ChildRun proto3_run(const TrustedModule& trusted, const MockToken& mock) {
    ChildRun run;
    run.args = {"--proto=3", trusted.module_path(), "01", "rsa", "0"};
    trusted.add_to(run);
    mock.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    run.input = conversation_input({login("1234"), close_request()});
    return run;
}

const std::vector<std::string> whole_session =
    describe({sign_proto::Hello{}, sign_proto::SessionReady{sign_proto::KeyKindCode::rsa, false},
              sign_proto::Goodbye{}});

TEST(RuntimeIsolation, AUcrtModulesPrintsLandOnStandardErrorNeverBetweenTheFrames) {
    const TrustedModule ucrt(mock_module_path("ucrt-pkcs11"));
    ASSERT_TRUE(ucrt.ok()) << ucrt.error();
    MockToken mock;
    const ChildResult r = run_child(program_path("sign-cli"), proto3_run(ucrt, mock));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse_conversation(r.out).frames(), whole_session);
    const std::string err = without_cr(r.err);
    for (const char* line : {"ucrt-pkcs11: puts noise\n", "ucrt-pkcs11: fd 1 noise\n"}) {
        EXPECT_TRUE(contains(err, line)) << line << "in:\n" << err;
    }
}

TEST(RuntimeIsolation, AnAbortInAUcrtModuleEndsWithACrashStatusInBothProtocols) {
    const TrustedModule ucrt(mock_module_path("ucrt-pkcs11"));
    ASSERT_TRUE(ucrt.ok()) << ucrt.error();
    MockToken mock;
    ChildRun proto2;
    proto2.args = {"--proto=2", ucrt.module_path(), std::string(64, 'a'), "01", "rsa", "0"};
    ucrt.add_to(proto2);
    mock.add_to(proto2);
    proto2.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    proto2.input = "1234\n";
    for (ChildRun run : {proto2, proto3_run(ucrt, mock)}) {
        SCOPED_TRACE(run.args[0]);
        run.env["KORVAN_UCRT_ABORT"] = "1";
        const ChildResult r = run_child(program_path("sign-cli"), run);
        EXPECT_EQ(r.exit_code, abort_status) << r.err;
    }
}

TEST(RuntimeIsolation, AModuleClosingStandardOutputLeavesStandardErrorWorking) {
    const TrustedModule closing(mock_module_path("closing-pkcs11"));
    ASSERT_TRUE(closing.ok()) << closing.error();
    MockToken mock;
    const ChildResult r = run_child(program_path("sign-cli"), proto3_run(closing, mock));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse_conversation(r.out).frames(), whole_session);
    EXPECT_TRUE(contains(r.err, "closing-pkcs11: stderr still works\n")) << r.err;
}

// The helper outlives sign-cli by far; the parent must see the end of both outputs when sign-cli
// exits, not when the helper does.
TEST(RuntimeIsolation, AHelperProcessAModuleStartsHoldsNoneOfTheParentsPipes) {
    const TrustedModule spawning(mock_module_path("spawning-pkcs11"));
    ASSERT_TRUE(spawning.ok()) << spawning.error();
    MockToken mock;
    const fs::path pid_file = fs::path(mock.trace_path()).parent_path() / "helper.pid";
    ChildRun run = proto3_run(spawning, mock);
    run.env["KORVAN_HELPER_PROGRAM"] = program_path("linger");
    run.env["KORVAN_HELPER_ARGUMENT"] = "30000";
    run.env["KORVAN_HELPER_PID_FILE"] = pid_file.string();
    const ChildResult r = run_child(program_path("sign-cli"), run);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse_conversation(r.out).frames(), whole_session);

    DWORD pid = 0;
    std::ifstream(pid_file) >> pid;
    ASSERT_NE(pid, 0u) << "the module started no helper";
    HANDLE helper = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(WaitForSingleObject(helper, 0), WAIT_TIMEOUT)
        << "the parent saw the end of output only once the helper had exited";
    TerminateProcess(helper, 0);
    WaitForSingleObject(helper, INFINITE);
    CloseHandle(helper);
}

struct ProbeRun {
    int exit_code = -1;
    std::string out;
};

// The isolation probe with standard output and standard error as two handles (two values) to
// one pipe, which the parent made with DuplicateHandle.
ProbeRun run_probe_on_one_pipe_twice() {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read = nullptr;
    HANDLE in_write = nullptr;
    HANDLE out_read = nullptr;
    HANDLE out_write = nullptr;
    HANDLE err_write = nullptr;
    ProbeRun result;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) {
        return result;
    }
    if (!CreatePipe(&out_read, &out_write, &inherit, 0) ||
        !DuplicateHandle(GetCurrentProcess(), out_write, GetCurrentProcess(), &err_write, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        CloseHandle(in_read);
        CloseHandle(in_write);
        return result;
    }
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    std::wstring line = L"\"" + fs::path(program_path("isolation-probe")).wstring() + L"\" --echo";
    PROCESS_INFORMATION process{};
    const BOOL created = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    for (HANDLE child_end : {in_read, in_write, out_write, err_write}) {
        CloseHandle(child_end);
    }
    if (created) {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(out_read, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            result.out.append(buffer, n);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.exit_code = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out_read);
    return result;
}

TEST(RuntimeIsolation, TwoHandlesToOnePipeForStandardOutputAndErrorAreRefused) {
    const ProbeRun r = run_probe_on_one_pipe_twice();
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(without_cr(r.out), "isolation-probe: failed: standard handles\n");
}

} // namespace
} // namespace korvan::test
