#include "child_exchange.hpp"
#include "child_process.hpp"
#include "korvan/platform/command_line.hpp"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <optional>
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

std::string narrow(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

// "CreateProcessW: error 2 (The system cannot find the file specified.)", from GetLastError.
std::string system_error(const char* call, DWORD code = GetLastError()) {
    std::string text = std::string(call) + ": error " + std::to_string(code);
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (length > 0) {
        std::string words = narrow(message, static_cast<int>(length));
        words.erase(words.find_last_not_of("\r\n ") + 1);
        text += " (" + words + ")";
    }
    LocalFree(message);
    return text;
}

// A pipe of which only the child's end (the read end when the child reads) is inheritable.
std::optional<std::string> open_pipe(HANDLE& read_end, HANDLE& write_end, bool child_reads) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        read_end = write_end = nullptr;
        return system_error("CreatePipe");
    }
    if (!SetHandleInformation(child_reads ? write_end : read_end, HANDLE_FLAG_INHERIT, 0)) {
        return system_error("SetHandleInformation");
    }
    return std::nullopt;
}

// A duplex named pipe: our end is not inherited, the child's end is opened for reading and
// writing.
std::optional<std::string> open_duplex(HANDLE& ours, HANDLE& childs) {
    static std::atomic<unsigned> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\korvan-test-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    ours = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                            nullptr);
    if (ours == INVALID_HANDLE_VALUE) {
        ours = nullptr;
        return system_error("CreateNamedPipeW");
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    childs = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0,
                         nullptr);
    if (childs == INVALID_HANDLE_VALUE) {
        childs = nullptr;
        return system_error("CreateFileW on the named pipe");
    }
    if (!ConnectNamedPipe(ours, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        return system_error("ConnectNamedPipe");
    }
    return std::nullopt;
}

// A PROC_THREAD_ATTRIBUTE_HANDLE_LIST, the only handles a child inherits.
class InheritList {
  public:
    InheritList() = default;
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    ~InheritList() {
        if (initialized_) {
            DeleteProcThreadAttributeList(get());
        }
    }

    // `handles` must stay as they are until the child is started.
    std::optional<std::string> set(std::vector<HANDLE>& handles) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.assign(size, 0);
        if (!InitializeProcThreadAttributeList(get(), 1, 0, &size)) {
            return system_error("InitializeProcThreadAttributeList");
        }
        initialized_ = true;
        if (!UpdateProcThreadAttribute(get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                       handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
            return system_error("UpdateProcThreadAttribute");
        }
        return std::nullopt;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    }

  private:
    std::vector<unsigned char> storage_;
    bool initialized_ = false;
};

// Every end made so far is recorded in `c` before the next call, so a failure can close them all.
std::optional<std::string> open_channels(const ChildRun& run, Channels& c) {
    HANDLE out_write = nullptr;
    c.child_only.reserve(3);
    auto failure = open_pipe(c.from_out, out_write, false);
    if (out_write != nullptr) {
        c.child[1] = out_write;
        c.child_only.push_back(out_write);
    }
    if (failure) {
        return failure;
    }
    if (run.stdin_is_stderr) {
        HANDLE duplex = nullptr;
        failure = open_duplex(c.to_child, duplex);
        c.from_err = c.to_child;
        if (duplex != nullptr) {
            c.child[0] = c.child[2] = duplex;
            c.child_only.push_back(duplex);
        }
        return failure;
    }
    HANDLE in_read = nullptr;
    failure = open_pipe(in_read, c.to_child, true);
    if (in_read != nullptr) {
        c.child[0] = in_read;
        c.child_only.push_back(in_read);
    }
    if (failure || run.stderr_is_stdout) {
        c.child[2] = out_write;
        return failure;
    }
    HANDLE err_write = nullptr;
    failure = open_pipe(c.from_err, err_write, false);
    if (err_write != nullptr) {
        c.child[2] = err_write;
        c.child_only.push_back(err_write);
    }
    return failure;
}

// Under Wine, CreateProcessW fails with ERROR_INTERNAL_ERROR when the new process ended before
// Wine's own start-up in it was done: before any of the program's code could run. Measured on a
// loaded machine about once in a thousand starts, in a fresh prefix; nothing else is retried.
bool wine_start_up_ended(DWORD error) {
    static const bool under_wine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return under_wine && error == ERROR_INTERNAL_ERROR;
}
constexpr int wine_start_attempts = 3;

struct StartFailure {
    std::string text;
    bool wine_start_up_ended = false;
};

// On failure every end is closed again; on success only the parent's ends are left open.
std::optional<StartFailure> start(const std::wstring& application, std::wstring line,
                                  std::wstring& env, const ChildRun& run, Channels& channels,
                                  PROCESS_INFORMATION& process) {
    auto fail = [&](std::string text) {
        close_child_ends(channels);
        close_parent_ends(channels);
        return StartFailure{std::move(text)};
    };
    if (auto failure = open_channels(run, channels)) {
        return fail(*failure);
    }
    // Only the child's own ends: with every inheritable handle, a child that another thread
    // starts meanwhile would inherit this child's ends and hold its pipes open.
    InheritList inherit;
    if (auto failure = inherit.set(channels.child_only)) {
        return fail(*failure);
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = channels.child[0];
    startup.StartupInfo.hStdOutput = channels.child[1];
    startup.StartupInfo.hStdError = channels.child[2];
    startup.lpAttributeList = inherit.get();
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                            EXTENDED_STARTUPINFO_PRESENT,
                        env.data(), nullptr, &startup.StartupInfo, &process)) {
        const DWORD error = GetLastError();
        StartFailure failure = fail(system_error("CreateProcessW", error));
        failure.wine_start_up_ended = wine_start_up_ended(error);
        return failure;
    }
    close_child_ends(channels);
    return std::nullopt;
}

} // namespace

ChildResult run_child(const std::string& program, const ChildRun& run) {
    if (auto problem = layout_problem(run)) {
        return not_started(*problem);
    }
    std::vector<std::string> arguments{program};
    arguments.insert(arguments.end(), run.args.begin(), run.args.end());
    const std::wstring line = widen(platform::windows_command_line(arguments));
    std::wstring env = environment_block(run);
    const std::wstring application = widen(program);

    for (int attempt = 1;; ++attempt) {
        Channels channels;
        PROCESS_INFORMATION process{};
        const auto failure = start(application, line, env, run, channels, process);
        if (!failure) {
            ChildResult result;
            exchange(channels, run, result);
            WaitForSingleObject(process.hProcess, INFINITE);
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            result.exit_code = static_cast<int>(code);
            return result;
        }
        if (!failure->wine_start_up_ended || attempt == wine_start_attempts) {
            return not_started(failure->text);
        }
        std::fprintf(stderr,
                     "run_child: %s: the new process ended inside Wine's own start-up; "
                     "starting %s again (attempt %d of %d)\n",
                     failure->text.c_str(), program.c_str(), attempt + 1, wine_start_attempts);
        std::fflush(stderr);
    }
}

std::string executable_dir() {
    wchar_t path[4 * MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, 4 * MAX_PATH);
    const std::string self = narrow(path, static_cast<int>(n));
    return self.substr(0, self.find_last_of("\\/"));
}

std::string program_path(const std::string& base_name) {
    return executable_dir() + "\\" + base_name + ".exe";
}

} // namespace korvan::test
