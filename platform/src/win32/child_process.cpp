#include "korvan/platform/child_process.hpp"
#include "backoff.hpp"
#include "handles.hpp"
#include "korvan/platform/command_line.hpp"
#include "wide.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvan::platform {
namespace {

std::string system_text(const char* call) {
    return std::string(call) + " failed (os error " + std::to_string(GetLastError()) + ")";
}

// Closes a handle when the scope ends, unless it was taken.
class OwnedHandle {
  public:
    OwnedHandle() = default;
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    HANDLE* receive() { return &handle_; }
    HANDLE get() const { return handle_; }
    HANDLE take() { return std::exchange(handle_, nullptr); }

  private:
    HANDLE handle_ = nullptr;
};

// Neither end inheritable; the child's end is made so afterwards, ours never.
bool make_pipe(OwnedHandle& read_end, OwnedHandle& write_end) {
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    return CreatePipe(read_end.receive(), write_end.receive(), &attributes, 0) != FALSE;
}

bool make_inheritable(HANDLE handle) {
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != FALSE;
}

// The child's standard error is ours, through an inheritable copy: our own handle may not be
// inheritable, and a missing one leaves the child without standard error.
HANDLE inheritable_copy_of_standard_error(OwnedHandle& copy) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), error, GetCurrentProcess(), copy.receive(), 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy.get();
}

// Restricts inheritance to exactly the child's three standard handles, so handles this process
// inherited itself as inheritable (its own standard streams, for one) do not leak into the child.
class InheritList {
  public:
    // The failure's text, naming the call that failed.
    std::optional<std::string> set(std::span<HANDLE> handles) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.assign(size, 0);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            std::string failure = system_text("InitializeProcThreadAttributeList");
            storage_.clear();
            return failure;
        }
        initialized_ = true;
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                       handles.size_bytes(), nullptr, nullptr)) {
            return system_text("UpdateProcThreadAttribute");
        }
        return std::nullopt;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    }
    InheritList() = default;
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    ~InheritList() {
        if (initialized_) {
            DeleteProcThreadAttributeList(get());
        }
    }

  private:
    std::vector<unsigned char> storage_;
    bool initialized_ = false;
};

bool same_name(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// "=C:=C:\\folder" and the like: the name starts after the first character.
std::wstring_view name_of(std::wstring_view entry) {
    return entry.substr(0, entry.find(L'=', 1));
}

// This process's environment with the changes applied in order, as a block for CreateProcessW:
// sorted by name without regard to case, as CreateProcessW's documentation asks of a block.
std::wstring environment_block(const EnvironmentChanges& changes) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            entries.emplace_back(entry);
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : changes) {
        const std::wstring wide_name = win32::widen(name);
        std::erase_if(entries, [&wide_name](const std::wstring& entry) {
            return same_name(name_of(entry), wide_name);
        });
        if (value) {
            entries.push_back(wide_name + L"=" + win32::widen(*value));
        }
    }
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                    static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::wstring joined;
    for (const std::wstring& entry : entries) {
        joined += entry;
        joined += L'\0';
    }
    joined += L'\0';
    return joined;
}

DWORD milliseconds_until(Deadline deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<DWORD>(
        std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 0x7fffffff));
}

} // namespace

// Anonymous pipes have no waitable read: PeekNamedPipe says whether bytes are there or the writer
// is gone, and a short sleep between looks costs little next to a token's own work.
Readiness PipeEnd::wait_readable(Deadline deadline) {
    if (!handle_) {
        return Readiness::Ready;
    }
    win32::Backoff backoff;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(win32::as_handle(*handle_), nullptr, 0, nullptr, &available, nullptr) ||
            available > 0) {
            return Readiness::Ready;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return Readiness::TimedOut;
        }
        backoff.wait();
    }
}

void PipeEnd::close() {
    if (handle_) {
        CloseHandle(win32::as_handle(*handle_));
        handle_.reset();
    }
}

std::variant<ChildProcess, ChildStartFailure>
ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                    const EnvironmentChanges& environment, ErrorStream error_stream) {
    OwnedHandle input_read, input_write, output_read, output_write, error_copy, error_read;
    if (!make_pipe(input_read, input_write) || !make_pipe(output_read, output_write)) {
        return ChildStartFailure{system_text("CreatePipe")};
    }
    if (!make_inheritable(input_read.get()) || !make_inheritable(output_write.get())) {
        return ChildStartFailure{system_text("SetHandleInformation")};
    }
    HANDLE error = nullptr;
    if (error_stream == ErrorStream::Captured) {
        if (!make_pipe(error_read, error_copy)) {
            return ChildStartFailure{system_text("CreatePipe")};
        }
        if (!make_inheritable(error_copy.get())) {
            return ChildStartFailure{system_text("SetHandleInformation")};
        }
        error = error_copy.get();
    } else {
        error = inheritable_copy_of_standard_error(error_copy);
    }

    std::array<HANDLE, 3> inherited{input_read.get(), output_write.get(), error};
    InheritList inherit;
    if (auto failure = inherit.set(std::span(inherited).first(error != nullptr ? 3 : 2))) {
        return ChildStartFailure{*failure};
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input_read.get();
    startup.StartupInfo.hStdOutput = output_write.get();
    startup.StartupInfo.hStdError = error;
    startup.lpAttributeList = inherit.get();

    const std::wstring application = win32::widen(program);
    std::vector<std::string> arguments{program};
    arguments.insert(arguments.end(), args.begin(), args.end());
    std::wstring line = win32::widen(windows_command_line(arguments));
    std::optional<std::wstring> block;
    if (!environment.empty()) {
        block = environment_block(environment);
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT,
                        block ? block->data() : nullptr, nullptr, &startup.StartupInfo, &process)) {
        return ChildStartFailure{system_text("CreateProcessW")};
    }
    CloseHandle(process.hThread);
    return ChildProcess(
        win32::from_handle(process.hProcess), PipeEnd(win32::from_handle(input_write.take())),
        PipeEnd(win32::from_handle(output_read.take())),
        error_read.get() != nullptr ? PipeEnd(win32::from_handle(error_read.take())) : PipeEnd());
}

ChildProcess::~ChildProcess() {
    if (process_) {
        CloseHandle(win32::as_handle(*process_));
    }
}

ChildEnd ChildProcess::wait() {
    return *wait_until(Deadline::max());
}

std::optional<ChildEnd> ChildProcess::wait_until(Deadline deadline) {
    close_input();
    if (!process_) {
        return ChildLost{"already waited for"};
    }
    HANDLE process = win32::as_handle(*process_);
    const DWORD waited = WaitForSingleObject(
        process, deadline == Deadline::max() ? INFINITE : milliseconds_until(deadline));
    if (waited == WAIT_TIMEOUT) {
        return std::nullopt;
    }
    DWORD code = 0;
    const bool ended = waited == WAIT_OBJECT_0;
    const bool known = ended && GetExitCodeProcess(process, &code);
    ChildEnd end = known ? ChildEnd{ChildExited{static_cast<int>(code)}}
                         : ChildEnd{ChildLost{
                               system_text(ended ? "GetExitCodeProcess" : "WaitForSingleObject")}};
    CloseHandle(process);
    process_.reset();
    return end;
}

void ChildProcess::kill() {
    if (process_) {
        TerminateProcess(win32::as_handle(*process_), 1);
    }
}

std::optional<std::string> program_beside_self(std::string_view base_name) {
    std::wstring self(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (n == 0 || n >= self.size()) {
        return std::nullopt;
    }
    self.resize(n);
    const auto folder = win32::narrow(std::wstring_view(self).substr(0, self.rfind(L'\\') + 1));
    if (!folder) {
        return std::nullopt;
    }
    return *folder + std::string(base_name) + ".exe";
}

} // namespace korvan::platform
