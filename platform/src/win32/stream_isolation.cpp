#include "korvan/platform/stream_isolation.hpp"

#include "handles.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <vector>

namespace korvan::platform {
namespace {

using win32::as_handle;
using win32::from_handle;

// One C runtime's descriptor functions, so that a module linked against another runtime than ours
// sees the same descriptors 0 and 1.
struct CrtRuntime {
    const char* stdin_step;
    const char* stdout_step;
    int(__cdecl* dup2)(int, int);
    int(__cdecl* close)(int);
    int(__cdecl* open_osfhandle)(intptr_t, int);
    intptr_t(__cdecl* get_osfhandle)(int);
};

void __cdecl ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                      uintptr_t) {}

bool valid(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

HANDLE duplicate(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

bool is_open(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

template <class F> bool find(HMODULE library, const char* name, F& function) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return function != nullptr;
}

// Descriptors are closed here that may be closed already; our runtime must not end the process
// over that. The previous handler comes back on every way out.
class QuietInvalidParameters {
  public:
    QuietInvalidParameters()
        : previous_(_set_invalid_parameter_handler(ignore_invalid_parameter)) {}
    ~QuietInvalidParameters() { restore(); }
    QuietInvalidParameters(const QuietInvalidParameters&) = delete;
    QuietInvalidParameters& operator=(const QuietInvalidParameters&) = delete;
    void restore() {
        if (!restored_) {
            _set_invalid_parameter_handler(previous_);
            restored_ = true;
        }
    }

  private:
    _invalid_parameter_handler previous_;
    bool restored_ = false;
};

// A descriptor of `crt` on a handle of its own to `target` (text mode, as descriptor 2 starts).
int descriptor_on_copy(const CrtRuntime& crt, HANDLE target) {
    HANDLE copy = duplicate(target);
    if (copy == nullptr) {
        return -1;
    }
    const int fd = crt.open_osfhandle(from_handle(copy), 0);
    if (fd < 0) {
        CloseHandle(copy);
    }
    return fd;
}

const char* stdin_to_null(const CrtRuntime& crt, HANDLE null_device) {
    HANDLE copy = duplicate(null_device);
    if (copy == nullptr) {
        return crt.stdin_step;
    }
    const int fd = crt.open_osfhandle(from_handle(copy), _O_BINARY);
    if (fd < 0) {
        CloseHandle(copy);
        return crt.stdin_step;
    }
    if (fd != 0) {
        const bool moved = crt.dup2(fd, 0) == 0;
        crt.close(fd);
        if (!moved) {
            return crt.stdin_step;
        }
    }
    return nullptr;
}

const char* stdout_to_stderr(const CrtRuntime& crt) {
    if (crt.dup2(2, 1) != 0) {
        return crt.stdout_step;
    }
    for (const int fd : {0, 1}) {
        const intptr_t handle = crt.get_osfhandle(fd);
        if (handle == -1 || handle == -2) {
            return crt.stdout_step;
        }
    }
    return nullptr;
}

class Isolation {
  public:
    IsolationResult run() {
        input_ = GetStdHandle(STD_INPUT_HANDLE);
        output_ = GetStdHandle(STD_OUTPUT_HANDLE);
        error_ = GetStdHandle(STD_ERROR_HANDLE);
        if (!valid(input_) || !valid(output_) || !valid(error_) || input_ == output_ ||
            output_ == error_) {
            return IsolationFailure{"standard handles", std::nullopt};
        }
        private_input_ = duplicate(input_);
        if (!valid(private_input_)) {
            return IsolationFailure{"dup stdin", std::nullopt};
        }
        private_output_ = duplicate(output_);
        if (!valid(private_output_)) {
            CloseHandle(private_input_);
            return IsolationFailure{"dup stdout", std::nullopt};
        }

        std::vector<CrtRuntime> runtimes{{"ucrt stdin to NUL", "ucrt stdout to stderr", _dup2,
                                          _close, _open_osfhandle, _get_osfhandle}};
        if (HMODULE msvcrt = GetModuleHandleW(L"msvcrt.dll")) {
            CrtRuntime crt{"msvcrt stdin to NUL",
                           "msvcrt stdout to stderr",
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr};
            if (!find(msvcrt, "_dup2", crt.dup2) || !find(msvcrt, "_close", crt.close) ||
                !find(msvcrt, "_open_osfhandle", crt.open_osfhandle) ||
                !find(msvcrt, "_get_osfhandle", crt.get_osfhandle)) {
                return fail("msvcrt exports");
            }
            runtimes.push_back(crt);
        }

        QuietInvalidParameters quiet;
        const char* step = release_originals(runtimes);
        if (step == nullptr) {
            step = redirect(runtimes);
        }
        quiet.restore();
        if (step != nullptr) {
            return fail(step);
        }

        if (!SetStdHandle(STD_OUTPUT_HANDLE, error_) ||
            !SetStdHandle(STD_INPUT_HANDLE, null_device_)) {
            return fail("SetStdHandle");
        }
        if (GetStdHandle(STD_OUTPUT_HANDLE) != error_ ||
            GetStdHandle(STD_INPUT_HANDLE) != null_device_) {
            return fail("GetStdHandle check");
        }
        return IsolatedStreams{from_handle(private_input_), from_handle(private_output_)};
    }

  private:
    // Leaves nothing but the private duplicates referring to the original input and output.
    //
    // Standard input may be the very handle of standard error; closing it would take standard
    // error along. Standard error then gets a handle of its own, and every descriptor 2 a
    // descriptor on a copy of it. Descriptor 2 is closed together with 0 and 1, and the copies
    // move in only after the check: a handle made between the first and the last close of the
    // shared value could reuse it, and a later close would hit that newcomer.
    const char* release_originals(const std::vector<CrtRuntime>& runtimes) {
        const bool shared_error = input_ == error_;
        std::vector<int> own_stderr;
        if (shared_error) {
            HANDLE own = duplicate(error_);
            if (own == nullptr) {
                return "close original handles";
            }
            error_ = own;
            for (const CrtRuntime& crt : runtimes) {
                own_stderr.push_back(descriptor_on_copy(crt, own));
                if (own_stderr.back() < 0) {
                    return "close original handles";
                }
            }
        }
        for (const CrtRuntime& crt : runtimes) {
            crt.close(0);
            crt.close(1);
            if (shared_error) {
                crt.close(2);
            }
        }
        for (HANDLE original : {input_, output_}) {
            if (is_open(original)) {
                CloseHandle(original);
            }
        }
        if (is_open(input_) || is_open(output_)) {
            return "close original handles";
        }
        for (std::size_t i = 0; i < own_stderr.size(); ++i) {
            const bool moved = runtimes[i].dup2(own_stderr[i], 2) == 0;
            runtimes[i].close(own_stderr[i]);
            if (!moved) {
                return "close original handles";
            }
        }
        // A runtime moving its descriptor 2 moves the process's standard error handle as well.
        if (shared_error && !SetStdHandle(STD_ERROR_HANDLE, error_)) {
            return "close original handles";
        }
        return nullptr;
    }

    const char* redirect(const std::vector<CrtRuntime>& runtimes) {
        null_device_ =
            CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (null_device_ == INVALID_HANDLE_VALUE) {
            null_device_ = nullptr;
            return "open NUL";
        }
        for (const CrtRuntime& crt : runtimes) {
            if (const char* step = stdin_to_null(crt, null_device_)) {
                return step;
            }
            if (const char* step = stdout_to_stderr(crt)) {
                return step;
            }
        }
        return nullptr;
    }

    IsolationFailure fail(std::string_view step) {
        HANDLE copy = duplicate(private_output_);
        CloseHandle(private_output_);
        CloseHandle(private_input_);
        return {step,
                copy != nullptr ? std::optional<NativeHandle>(from_handle(copy)) : std::nullopt};
    }

    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
    HANDLE error_ = nullptr;
    HANDLE private_input_ = nullptr;
    HANDLE private_output_ = nullptr;
    HANDLE null_device_ = nullptr;
};

} // namespace

IsolationResult isolate_standard_streams() {
    return Isolation().run();
}

void close_handle(NativeHandle handle) {
    CloseHandle(as_handle(handle));
}

} // namespace korvan::platform
