#include "korvan/platform/process.hpp"
#include "wide.hpp"

#include <windows.h>
#include <shellapi.h>

#include <csignal>

namespace korvan::platform {

namespace {

// What the current C runtime's abort() ends a process with (__fastfail); msvcrt's own abort would
// exit with 3, which protocol 2 gives to a PIN problem.
constexpr UINT fast_fail_status = 0xC0000409;

LONG WINAPI end_with_exception_status(EXCEPTION_POINTERS* info) {
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

void end_on_abort(int) {
    TerminateProcess(GetCurrentProcess(), fast_fail_status);
}

} // namespace

void prepare_unattended_process() {
    // SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX: a missing module
    // dependency or a crash in module code must never open a dialog box that waits for a user.
    SetErrorMode(0x8003);
    // A crash in module code ends the process with the crash's own status, never with a code
    // the parent would read as a result.
    SetUnhandledExceptionFilter(end_with_exception_status);
    std::signal(SIGABRT, end_on_abort);
}

// Windows writes no crash file of a process unless an administrator set that up for every
// program, and the error mode keeps Windows Error Reporting from taking the crash.
void harden_process() {}

std::optional<std::vector<std::string>> command_line(int, char**) {
    int count = 0;
    LPWSTR* wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_args == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> args;
    bool all_unicode = true;
    for (int i = 0; i < count && all_unicode; ++i) {
        std::optional<std::string> arg = win32::narrow(wide_args[i]);
        all_unicode = arg.has_value();
        if (arg) {
            args.push_back(std::move(*arg));
        }
    }
    LocalFree(wide_args);
    if (!all_unicode) {
        return std::nullopt;
    }
    return args;
}

void exit_process(int code) { ExitProcess(static_cast<UINT>(code)); }

} // namespace korvan::platform
