#include "korvan/platform/child_process.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace korvan::platform {
namespace {

std::string system_text(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// Both ends close-on-exec, so the child gets its ends only through dup2 onto 0 and 1 and no
// other child inherits ours; and above the standard three, since with a standard stream closed a
// new pipe could take number 0 or 1 and be dup2'ed onto itself, which would keep it close-on-exec.
// The tool runs one thread, so nothing can start a program between pipe() and the copies.
std::optional<std::string> make_pipe(int (&fds)[2]) {
    int raw[2];
    if (::pipe(raw) != 0) {
        return system_text("pipe", errno);
    }
    for (int i = 0; i < 2; ++i) {
        fds[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 3);
    }
    const int error = errno;
    ::close(raw[0]);
    ::close(raw[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        for (const int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return system_text("fcntl", error);
    }
    return std::nullopt;
}

// This process's environment with the changes applied in order, as "NAME=value" strings.
std::vector<std::string> child_environment(const EnvironmentChanges& changes) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    for (const auto& change : changes) {
        const std::string& name = change.first;
        std::erase_if(entries, [&name](const std::string& entry) {
            return entry.compare(0, entry.find('='), name) == 0;
        });
        if (change.second) {
            entries.push_back(name + "=" + *change.second);
        }
    }
    return entries;
}

std::vector<char*> null_terminated(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

ChildEnd child_end_of(int status) {
    if (WIFEXITED(status)) {
        return ChildExited{WEXITSTATUS(status)};
    }
    if (WIFSIGNALED(status)) {
        return ChildLost{std::string("killed by signal ") + std::to_string(WTERMSIG(status))};
    }
    return ChildLost{"ended without an exit code"};
}

int milliseconds_until(Deadline deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

} // namespace

Readiness PipeEnd::wait_readable(Deadline deadline) {
    if (!handle_) {
        return Readiness::Ready;
    }
    pollfd watched{static_cast<int>(*handle_), POLLIN, 0};
    for (;;) {
        const int timeout = milliseconds_until(deadline);
        const int ready = ::poll(&watched, 1, timeout);
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return Readiness::Ready;
        }
        if (ready == 0 && timeout == 0) {
            return Readiness::TimedOut;
        }
    }
}

void PipeEnd::close() {
    if (handle_) {
        ::close(static_cast<int>(*handle_));
        handle_.reset();
    }
}

std::variant<ChildProcess, ChildStartFailure>
ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                    const EnvironmentChanges& environment, ErrorStream error) {
    int to_child[2];
    int from_child[2];
    if (auto failure = make_pipe(to_child)) {
        return ChildStartFailure{*failure};
    }
    if (auto failure = make_pipe(from_child)) {
        ::close(to_child[0]);
        ::close(to_child[1]);
        return ChildStartFailure{*failure};
    }
    int error_from_child[2] = {-1, -1};
    if (error == ErrorStream::Captured) {
        if (auto failure = make_pipe(error_from_child)) {
            for (const int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
                ::close(fd);
            }
            return ChildStartFailure{*failure};
        }
    }
    PipeEnd input(to_child[1]);
    PipeEnd output(from_child[0]);
    PipeEnd error_output =
        error == ErrorStream::Captured ? PipeEnd(error_from_child[0]) : PipeEnd();
    // The child's ends, closed here once it has its copies.
    const auto close_child_ends = [&] {
        for (const int fd : {to_child[0], from_child[1], error_from_child[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    };

    std::vector<std::string> argument_copies{program};
    argument_copies.insert(argument_copies.end(), args.begin(), args.end());
    std::vector<char*> argv = null_terminated(argument_copies);
    std::vector<std::string> environment_copies = child_environment(environment);
    std::vector<char*> envp = null_terminated(environment_copies);

    posix_spawn_file_actions_t actions;
    int failed = posix_spawn_file_actions_init(&actions);
    if (failed != 0) {
        close_child_ends();
        return ChildStartFailure{system_text("posix_spawn_file_actions_init", failed)};
    }
    const char* call = "posix_spawn_file_actions_adddup2";
    failed = posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    if (failed == 0) {
        failed = posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    }
    if (failed == 0 && error_from_child[1] >= 0) {
        failed = posix_spawn_file_actions_adddup2(&actions, error_from_child[1], STDERR_FILENO);
    }
    pid_t pid = -1;
    if (failed == 0) {
        call = "posix_spawn";
        failed = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    }
    posix_spawn_file_actions_destroy(&actions);
    close_child_ends();
    if (failed != 0) {
        return ChildStartFailure{system_text(call, failed)};
    }
    return ChildProcess(pid, std::move(input), std::move(output), std::move(error_output));
}

ChildProcess::~ChildProcess() = default;

ChildEnd ChildProcess::wait() {
    close_input();
    if (!process_) {
        return ChildLost{"already waited for"};
    }
    const auto pid = static_cast<pid_t>(*process_);
    process_.reset();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return ChildLost{system_text("waitpid", errno)};
        }
    }
    return child_end_of(status);
}

std::optional<ChildEnd> ChildProcess::wait_until(Deadline deadline) {
    close_input();
    if (!process_) {
        return ChildLost{"already waited for"};
    }
    const auto pid = static_cast<pid_t>(*process_);
    // No system call waits for a child with a time limit; a short sleep between looks is cheap
    // next to a token's own work.
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            process_.reset();
            return child_end_of(status);
        }
        if (ended < 0 && errno != EINTR) {
            process_.reset();
            return ChildLost{system_text("waitpid", errno)};
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

void ChildProcess::kill() {
    if (process_) {
        ::kill(static_cast<pid_t>(*process_), SIGKILL);
    }
}

std::optional<std::string> program_beside_self(std::string_view base_name) {
    std::string self(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= self.size()) {
        return std::nullopt;
    }
    self.resize(static_cast<std::size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + std::string(base_name);
}

} // namespace korvan::platform
