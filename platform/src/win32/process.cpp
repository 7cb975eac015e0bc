#include "korvan/platform/process.hpp"
#include "c_runtimes.hpp"
#include "wide.hpp"

#include <shellapi.h>
#include <windows.h>

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

void __cdecl end_on_abort(int) {
    TerminateProcess(GetCurrentProcess(), fast_fail_status);
}

// Every runtime keeps a signal table of its own, and abort() raises SIGABRT only in the runtime
// that the caller linked against; SIGABRT is 22 in all of them.
void end_every_abort() {
    using Handler = void(__cdecl*)(int);
    using Signal = Handler(__cdecl*)(int, Handler);
    for (const win32::LoadedRuntime& runtime : win32::loaded_runtimes()) {
        Signal set = nullptr;
        if (win32::find_export(runtime.module, "signal", set)) {
            set(SIGABRT, end_on_abort);
        }
    }
}

} // namespace

void prepare_unattended_process() {
    // SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX: a missing module
    // dependency or a crash in module code must never open a dialog box that waits for a user.
    SetErrorMode(0x8003);
    // The current folder is the parent's, not ours: no module dependency is ever taken from it.
    SetDllDirectoryW(L"");
    restore_unattended_settings();
}

// A crash in module code ends the process with the crash's own status, never with a code the
// parent would read as a result.
void restore_unattended_settings() {
    SetUnhandledExceptionFilter(end_with_exception_status);
    end_every_abort();
}

// Windows writes no crash file of a process unless an administrator set that up for every
// program, and the error mode keeps Windows Error Reporting from taking the crash; the secret
// pages are kept out of any report besides.
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

void exit_process(int code) {
    ExitProcess(static_cast<UINT>(code));
}

} // namespace korvan::platform
