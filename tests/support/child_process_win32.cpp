#include "child_process.hpp"

#include <windows.h>

#include <thread>

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

// Quoting that CommandLineToArgvW undoes exactly.
void append_quoted(std::wstring& line, const std::wstring& arg) {
    line.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
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

void read_all(HANDLE h, std::string& into) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        into.append(buffer, n);
    }
    CloseHandle(h);
}

} // namespace

ChildResult run_child(const std::string& program, const ChildRun& run) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
    CreatePipe(&in_read, &in_write, &inherit, 0);
    CreatePipe(&out_read, &out_write, &inherit, 0);
    CreatePipe(&err_read, &err_write, &inherit, 0);
    for (HANDLE ours : {in_write, out_read, err_read}) {
        SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
    }

    std::wstring line;
    append_quoted(line, widen(program));
    for (const std::string& arg : run.args) {
        line.push_back(L' ');
        append_quoted(line, widen(arg));
    }
    std::wstring env = environment_block(run);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION process{};
    const BOOL created =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, env.data(), nullptr,
                       &startup, &process);
    CloseHandle(in_read);
    CloseHandle(out_write);
    CloseHandle(err_write);
    ChildResult result;
    if (!created) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        CloseHandle(err_read);
        return result;
    }
    std::thread out_reader(read_all, out_read, std::ref(result.out));
    std::thread err_reader(read_all, err_read, std::ref(result.err));
    DWORD written = 0;
    std::size_t offset = 0;
    while (offset < run.input.size() &&
           WriteFile(in_write, run.input.data() + offset,
                     static_cast<DWORD>(run.input.size() - offset), &written, nullptr) &&
           written > 0) {
        offset += written;
    }
    CloseHandle(in_write);
    out_reader.join();
    err_reader.join();
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
    const int size = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), nullptr, 0,
                                         nullptr, nullptr);
    std::string self(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), self.data(), size, nullptr,
                        nullptr);
    return self.substr(0, self.find_last_of("\\/"));
}

std::string program_path(const std::string& base_name) {
    return executable_dir() + "\\" + base_name + ".exe";
}

} // namespace korvan::test
