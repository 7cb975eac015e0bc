#pragma once

// Starts a program as an interactive child: this process writes the child's standard input and
// reads its standard output (and, when asked, its standard error) while it runs. Otherwise the
// child shares this process's standard error. It inherits this process's environment, with the
// changes the caller asks for.

#include "korvan/platform/streams.hpp"

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace korvan::platform {

// A point on the monotonic clock after which the caller waits no longer.
using Deadline = std::chrono::steady_clock::time_point;

// Whether a read would return at once: data, or the writer gone.
enum class Readiness { Ready, TimedOut };

// This process's end of one pipe, closed when it dies or on demand. Once closed, reads report
// the end and writes fail, so a late use cannot reach a handle number the system has reused.
class PipeEnd final : public ByteSource, public ByteSink {
  public:
    PipeEnd() = default;
    explicit PipeEnd(NativeHandle handle) : handle_(handle) {}
    PipeEnd(PipeEnd&& other) noexcept : handle_(std::exchange(other.handle_, std::nullopt)) {}
    PipeEnd& operator=(PipeEnd&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, std::nullopt);
        }
        return *this;
    }
    PipeEnd(const PipeEnd&) = delete;
    PipeEnd& operator=(const PipeEnd&) = delete;
    ~PipeEnd() override { close(); }

    ReadResult read_some(std::span<std::uint8_t> into) override {
        return handle_ ? HandleStream(*handle_).read_some(into)
                       : ReadResult{ReadResult::Status::End, 0};
    }
    bool write_all(std::span<const std::uint8_t> bytes) override {
        return handle_ && HandleStream(*handle_).write_all(bytes);
    }
    void close();
    // Ready as well when the end is closed or the system cannot tell: the read then says why.
    Readiness wait_readable(Deadline deadline);

  private:
    std::optional<NativeHandle> handle_;
};

struct ChildStartFailure {
    std::string text; // the system's own words
};

struct ChildExited {
    int code;
};
// Killed by a signal, or the wait itself failed.
struct ChildLost {
    std::string text;
};
using ChildEnd = std::variant<ChildExited, ChildLost>;

// Changes to this process's environment for the child, applied in order: a value sets the
// variable, none removes it. Names are compared as the system does (case-insensitively on
// Windows).
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// What a parent needs of a running child: its input, its output with a deadline, its end. The
// one real implementation is ChildProcess; tests script the child's side.
class InteractiveChild {
  public:
    virtual ~InteractiveChild() = default;
    virtual ByteSink& input() = 0;
    virtual ByteSource& output() = 0;
    virtual Readiness wait_readable(Deadline deadline) = 0;
    virtual void close_input() = 0;
    // Closes the input first; none: still running at the deadline.
    virtual std::optional<ChildEnd> wait_until(Deadline deadline) = 0;
    // Ends the child at once (SIGKILL, TerminateProcess); wait_until then reaps it.
    virtual void kill() = 0;
};

// Shared: the child writes to this process's standard error. Captured: to a pipe of its own.
enum class ErrorStream { Shared, Captured };

class ChildProcess final : public InteractiveChild {
  public:
    // `program` is a path (no search); `args` follow it as the child's arguments 1, 2, ...
    static std::variant<ChildProcess, ChildStartFailure>
    start(const std::string& program, const std::vector<std::string>& args,
          const EnvironmentChanges& environment = {}, ErrorStream error = ErrorStream::Shared);

    ChildProcess(ChildProcess&& other) noexcept
        : process_(std::exchange(other.process_, std::nullopt)), input_(std::move(other.input_)),
          output_(std::move(other.output_)), error_output_(std::move(other.error_output_)) {}
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Closes both pipes; a child that was not waited for is left to run to its end.
    ~ChildProcess() override;

    ByteSink& input() override { return input_; }
    ByteSource& output() override { return output_; }
    Readiness wait_readable(Deadline deadline) override { return output_.wait_readable(deadline); }
    // This process's ends of the child's standard output and, when Captured, of its standard
    // error (else an end that reads as closed).
    PipeEnd& output_end() { return output_; }
    PipeEnd& error_end() { return error_output_; }
    // The child then reads the end of its input.
    void close_input() override { input_.close(); }
    // Closes the input first, so a child that reads until the end cannot keep this waiting.
    ChildEnd wait();
    std::optional<ChildEnd> wait_until(Deadline deadline) override;
    void kill() override;

  private:
    ChildProcess(NativeHandle process, PipeEnd input, PipeEnd output, PipeEnd error_output)
        : process_(process), input_(std::move(input)), output_(std::move(output)),
          error_output_(std::move(error_output)) {}

    std::optional<NativeHandle> process_; // pid on POSIX, process handle on Windows
    PipeEnd input_;
    PipeEnd output_;
    PipeEnd error_output_;
};

// The program of that base name in the folder of the running executable (".exe" appended on
// Windows); none when the system cannot say where this executable is.
std::optional<std::string> program_beside_self(std::string_view base_name);

} // namespace korvan::platform
