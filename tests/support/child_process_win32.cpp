#include "child_exchange.hpp"
#include "child_process.hpp"
#include "korvan/platform/command_line.hpp"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace korvan::test {
namespace {

// Generalized UTF-8 to UTF-16: like UTF-8, but a three-byte form of a surrogate is passed through,
// so a test can hand the child an argument that is not valid UTF-16.
std::wstring widen(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        auto cont = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]) & 0x3Fu; };
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0 && i + 1 < text.size()) {
            cp = (b & 0x1Fu) << 6 | cont(1);
            len = 2;
        } else if ((b & 0xF0) == 0xE0 && i + 2 < text.size()) {
            cp = (b & 0x0Fu) << 12 | cont(1) << 6 | cont(2);
            len = 3;
        } else if ((b & 0xF8) == 0xF0 && i + 3 < text.size()) {
            cp = (b & 0x07u) << 18 | cont(1) << 12 | cont(2) << 6 | cont(3);
            len = 4;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
        i += len;
    }
    return out;
}

std::wstring environment_block(const ChildRun& run) {
    std::wstring block;
    LPWCH current = GetEnvironmentStringsW();
    for (LPWCH entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text(entry);
        const std::size_t eq = text.find(L'=', 1); // "=C:=C:\..." entries start with '='
        const std::wstring name = text.substr(0, eq);
        bool overridden = false;
        for (const auto& [key, value] : run.env) {
            overridden = overridden || _wcsicmp(widen(key).c_str(), name.c_str()) == 0;
        }
        if (!overridden) {
            block += text;
            block.push_back(L'\0');
        }
    }
    FreeEnvironmentStringsW(current);
    for (const auto& [key, value] : run.env) {
        if (value) {
            block += widen(key) + L"=" + widen(*value);
            block.push_back(L'\0');
        }
    }
    block.push_back(L'\0');
    return block;
}

struct Win32Pipes {
    using End = HANDLE;
    static constexpr HANDLE none = nullptr;

    static void read_all(HANDLE h, std::string& into) {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            into.append(buffer, n);
        }
        CloseHandle(h);
    }

    static void write_input(HANDLE h, const std::string& input) {
        DWORD written = 0;
        std::size_t offset = 0;
        while (offset < input.size() &&
               WriteFile(h, input.data() + offset, static_cast<DWORD>(input.size() - offset),
                         &written, nullptr) &&
               written > 0) {
            offset += written;
        }
    }

    static void close(HANDLE h) { CloseHandle(h); }
};
using Channels = ChildChannels<Win32Pipes>;

// A duplex named pipe: our end is not inherited, the child's end is opened for reading and
// writing.
bool open_duplex(HANDLE& ours, HANDLE& childs) {
    static std::atomic<unsigned> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\korvan-test-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    ours = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                            nullptr);
    if (ours == INVALID_HANDLE_VALUE) {
        return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    childs = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0,
                         nullptr);
    if (childs == INVALID_HANDLE_VALUE) {
        CloseHandle(ours);
        return false;
    }
    return ConnectNamedPipe(ours, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
}

bool open_channels(const ChildRun& run, Channels& c) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_write = nullptr;
    if (!CreatePipe(&c.from_out, &out_write, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(c.from_out, HANDLE_FLAG_INHERIT, 0);
    c.child[1] = out_write;
    c.child_only = {out_write};
    if (run.stdin_is_stderr) {
        HANDLE duplex = nullptr;
        if (!open_duplex(c.to_child, duplex)) {
            return false;
        }
        c.from_err = c.to_child;
        c.child[0] = c.child[2] = duplex;
        c.child_only.push_back(duplex);
        return true;
    }
    HANDLE in_read = nullptr;
    if (!CreatePipe(&in_read, &c.to_child, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(c.to_child, HANDLE_FLAG_INHERIT, 0);
    c.child[0] = in_read;
    c.child_only.push_back(in_read);
    if (run.stderr_is_stdout) {
        c.child[2] = out_write;
        return true;
    }
    HANDLE err_write = nullptr;
    if (!CreatePipe(&c.from_err, &err_write, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(c.from_err, HANDLE_FLAG_INHERIT, 0);
    c.child[2] = err_write;
    c.child_only.push_back(err_write);
    return true;
}

} // namespace

ChildResult run_child(const std::string& program, const ChildRun& run) {
    Channels channels;
    if ((run.stdin_is_stderr && run.stderr_is_stdout) || !open_channels(run, channels)) {
        return {};
    }

    std::vector<std::string> arguments{program};
    arguments.insert(arguments.end(), run.args.begin(), run.args.end());
    std::wstring line = widen(platform::windows_command_line(arguments));
    std::wstring env = environment_block(run);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = channels.child[0];
    startup.hStdOutput = channels.child[1];
    startup.hStdError = channels.child[2];
    PROCESS_INFORMATION process{};
    const BOOL created = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, env.data(),
                                        nullptr, &startup, &process);
    close_child_ends(channels);
    ChildResult result;
    if (!created) {
        close_parent_ends(channels);
        return result;
    }
    exchange(channels, run, result);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    result.exit_code = static_cast<int>(code);
    return result;
}

std::string executable_dir() {
    wchar_t path[4 * MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, 4 * MAX_PATH);
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string self(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), self.data(), size, nullptr, nullptr);
    return self.substr(0, self.find_last_of("\\/"));
}

std::string program_path(const std::string& base_name) {
    return executable_dir() + "\\" + base_name + ".exe";
}

} // namespace korvan::test
