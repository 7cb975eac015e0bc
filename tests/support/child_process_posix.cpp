#include "child_exchange.hpp"
#include "child_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvan::test {
namespace {

struct PosixPipes {
    using End = int;
    static constexpr int none = -1;

    static void read_all(int fd, std::string& into) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            into.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }

    static void write_input(int fd, const std::string& input) {
        std::size_t written = 0;
        while (written < input.size()) {
            const ssize_t n = ::write(fd, input.data() + written, input.size() - written);
            if (n <= 0) {
                break; // the child stopped reading
            }
            written += static_cast<std::size_t>(n);
        }
    }

    static void close(int fd) { ::close(fd); }
};
using Channels = ChildChannels<PosixPipes>;

std::vector<std::string> child_environment(const ChildRun& run) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (run.env.find(name) == run.env.end()) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : run.env) {
        if (value) {
            env.push_back(name + "=" + *value);
        }
    }
    return env;
}

std::string system_error(const char* call, int error) {
    return std::string(call) + ": " + std::strerror(error) + " (errno " + std::to_string(error) +
           ")";
}

// Close-on-exec, so a child another thread starts meanwhile cannot inherit them; the dup2 onto 0,
// 1 and 2 gives this child its own ends without the flag.
std::optional<std::string> open_pipe(int (&fds)[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        fds[0] = fds[1] = -1;
        return system_error("pipe2", errno);
    }
    return std::nullopt;
}

// Every end made so far is recorded in `c` before the next call, so a failure can close them all.
std::optional<std::string> open_channels(const ChildRun& run, Channels& c) {
    int out[2];
    if (auto failure = open_pipe(out)) {
        return failure;
    }
    c.child[1] = out[1];
    c.from_out = out[0];
    c.child_only = {out[1]};
    if (run.stdin_is_stderr) {
        int duplex[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, duplex) != 0) {
            return system_error("socketpair", errno);
        }
        c.child[0] = c.child[2] = duplex[1];
        c.to_child = c.from_err = duplex[0];
        c.child_only.push_back(duplex[1]);
        return std::nullopt;
    }
    int in[2];
    if (auto failure = open_pipe(in)) {
        return failure;
    }
    c.child[0] = in[0];
    c.to_child = in[1];
    c.child_only.push_back(in[0]);
    if (run.stderr_is_stdout) {
        c.child[2] = out[1];
        return std::nullopt;
    }
    int err[2];
    if (auto failure = open_pipe(err)) {
        return failure;
    }
    c.child[2] = err[1];
    c.from_err = err[0];
    c.child_only.push_back(err[1]);
    return std::nullopt;
}

} // namespace

ChildResult run_child(const std::string& program, const ChildRun& run) {
    std::signal(SIGPIPE, SIG_IGN); // a child that exits early must not kill the test
    if (auto problem = layout_problem(run)) {
        return not_started(*problem);
    }
    Channels channels;
    if (auto failure = open_channels(run, channels)) {
        close_child_ends(channels);
        close_parent_ends(channels);
        return not_started(*failure);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < 3; ++target) {
        posix_spawn_file_actions_adddup2(&actions, channels.child[target], target);
    }

    std::vector<std::string> args{program};
    args.insert(args.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = child_environment(run);
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close_child_ends(channels);
    if (spawned != 0) {
        close_parent_ends(channels);
        return not_started(system_error("posix_spawn", spawned));
    }
    ChildResult result;
    exchange(channels, run, result);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string executable_dir() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self(path, n > 0 ? static_cast<std::size_t>(n) : 0);
    return self.substr(0, self.rfind('/'));
}

std::string program_path(const std::string& base_name) {
    return executable_dir() + "/" + base_name;
}

} // namespace korvan::test
