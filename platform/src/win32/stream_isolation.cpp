#include "korvan/platform/stream_isolation.hpp"

#include "c_runtimes.hpp"
#include "handles.hpp"

#include <windows.h>

#include <fcntl.h>
#include <stdlib.h>

#include <vector>

namespace korvan::platform {
namespace {

using win32::as_handle;
using win32::from_handle;
using win32::RuntimeKind;
using win32::same_object;

using InvalidParameterSetter = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);

// One C runtime's descriptor functions: a module linked against another runtime than ours must see
// the same descriptors 0 and 1 as we do.
struct CrtRuntime {
    const char* stdin_step;
    const char* stdout_step;
    int(__cdecl* dup2)(int, int);
    int(__cdecl* close)(int);
    int(__cdecl* open_osfhandle)(intptr_t, int);
    intptr_t(__cdecl* get_osfhandle)(int);
    // The runtime's own setter; none when it has no invalid-parameter handler to replace.
    InvalidParameterSetter set_handler;
};

struct RuntimeSteps {
    const char* exports;
    const char* stdin_to_null;
    const char* stdout_to_stderr;
};

RuntimeSteps steps_of(RuntimeKind kind) {
    return kind == RuntimeKind::ucrt
               ? RuntimeSteps{"ucrt exports", "ucrt stdin to NUL", "ucrt stdout to stderr"}
               : RuntimeSteps{"msvcrt exports", "msvcrt stdin to NUL", "msvcrt stdout to stderr"};
}

// The thread's own handler comes first where a runtime has one, so it wins over anything global.
InvalidParameterSetter handler_setter(HMODULE runtime) {
    InvalidParameterSetter setter = nullptr;
    if (!win32::find_export(runtime, "_set_thread_local_invalid_parameter_handler", setter)) {
        win32::find_export(runtime, "_set_invalid_parameter_handler", setter);
    }
    return setter;
}

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

// Descriptors are closed here that may be closed already; no runtime may end the process over
// that. The previous handlers come back on every way out.
class QuietInvalidParameters {
  public:
    explicit QuietInvalidParameters(const std::vector<CrtRuntime>& runtimes) {
        for (const CrtRuntime& crt : runtimes) {
            if (crt.set_handler != nullptr) {
                kept_.push_back({crt.set_handler, crt.set_handler(ignore_invalid_parameter)});
            }
        }
    }
    ~QuietInvalidParameters() { restore(); }
    QuietInvalidParameters(const QuietInvalidParameters&) = delete;
    QuietInvalidParameters& operator=(const QuietInvalidParameters&) = delete;
    void restore() {
        for (const Kept& kept : kept_) {
            kept.setter(kept.previous);
        }
        kept_.clear();
    }

  private:
    struct Kept {
        InvalidParameterSetter setter;
        _invalid_parameter_handler previous;
    };
    std::vector<Kept> kept_;
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

// A child process that a module starts with inheritance must not keep the parent's pipes open.
bool not_inheritable(HANDLE handle) {
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0) != 0;
}

class Isolation {
  public:
    IsolationResult run() {
        input_ = GetStdHandle(STD_INPUT_HANDLE);
        output_ = GetStdHandle(STD_OUTPUT_HANDLE);
        error_ = GetStdHandle(STD_ERROR_HANDLE);
        if (!valid(input_) || !valid(output_) || !valid(error_) || same_object(input_, output_) ||
            same_object(output_, error_)) {
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

        std::vector<CrtRuntime> runtimes;
        for (const win32::LoadedRuntime& loaded : win32::loaded_runtimes()) {
            const RuntimeSteps steps = steps_of(loaded.kind);
            CrtRuntime crt{steps.stdin_to_null,
                           steps.stdout_to_stderr,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           handler_setter(loaded.module)};
            if (!win32::find_export(loaded.module, "_dup2", crt.dup2) ||
                !win32::find_export(loaded.module, "_close", crt.close) ||
                !win32::find_export(loaded.module, "_open_osfhandle", crt.open_osfhandle) ||
                !win32::find_export(loaded.module, "_get_osfhandle", crt.get_osfhandle)) {
                return fail(steps.exports);
            }
            runtimes.push_back(crt);
        }

        QuietInvalidParameters quiet(runtimes);
        const char* step = release_originals(runtimes);
        if (step == nullptr) {
            step = redirect(runtimes);
        }
        quiet.restore();
        if (step != nullptr) {
            return fail(step);
        }

        // Standard output gets a handle of its own: a module closing it leaves standard error.
        const HANDLE own_output = duplicate(error_);
        if (own_output == nullptr || !SetStdHandle(STD_OUTPUT_HANDLE, own_output) ||
            !SetStdHandle(STD_INPUT_HANDLE, null_device_)) {
            return fail("SetStdHandle");
        }
        if (!same_object(GetStdHandle(STD_OUTPUT_HANDLE), error_) ||
            GetStdHandle(STD_INPUT_HANDLE) != null_device_) {
            return fail("GetStdHandle check");
        }
        if (!keep_to_ourselves(runtimes, own_output)) {
            return fail("handle inheritance");
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

    // The standard handles and every runtime's descriptors 0 to 2 were made inheritable by the
    // parent or by the runtime's own duplication.
    bool keep_to_ourselves(const std::vector<CrtRuntime>& runtimes, HANDLE own_output) const {
        bool all =
            not_inheritable(error_) && not_inheritable(own_output) && not_inheritable(null_device_);
        for (const CrtRuntime& crt : runtimes) {
            for (const int fd : {0, 1, 2}) {
                const intptr_t handle = crt.get_osfhandle(fd);
                if (handle != -1 && handle != -2) {
                    all = not_inheritable(as_handle(handle)) && all;
                }
            }
        }
        return all;
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
