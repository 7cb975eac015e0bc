#include "korvan/platform/child_process.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
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

} // namespace

void PipeEnd::close() {
    if (handle_) {
        ::close(static_cast<int>(*handle_));
        handle_.reset();
    }
}

std::variant<ChildProcess, ChildStartFailure>
ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
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
    PipeEnd input(to_child[1]);
    PipeEnd output(from_child[0]);

    std::vector<std::string> argument_copies{program};
    argument_copies.insert(argument_copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& argument : argument_copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    int failed = posix_spawn_file_actions_init(&actions);
    if (failed != 0) {
        ::close(to_child[0]);
        ::close(from_child[1]);
        return ChildStartFailure{system_text("posix_spawn_file_actions_init", failed)};
    }
    const char* call = "posix_spawn_file_actions_adddup2";
    failed = posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    if (failed == 0) {
        failed = posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    if (failed == 0) {
        call = "posix_spawn";
        failed = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    if (failed != 0) {
        return ChildStartFailure{system_text(call, failed)};
    }
    return ChildProcess(pid, std::move(input), std::move(output));
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
    if (WIFEXITED(status)) {
        return ChildExited{WEXITSTATUS(status)};
    }
    if (WIFSIGNALED(status)) {
        return ChildLost{std::string("killed by signal ") + std::to_string(WTERMSIG(status))};
    }
    return ChildLost{"ended without an exit code"};
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
