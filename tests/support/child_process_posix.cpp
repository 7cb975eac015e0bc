#include "child_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace korvan::test {
namespace {

void read_all(int fd, std::string& into) {
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

} // namespace

ChildResult run_child(const std::string& program, const ChildRun& run) {
    std::signal(SIGPIPE, SIG_IGN); // a child that exits early must not kill the test
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
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
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ChildResult result;
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        return result;
    }
    std::thread out_reader(read_all, out[0], std::ref(result.out));
    std::thread err_reader(read_all, err[0], std::ref(result.err));
    std::size_t written = 0;
    while (written < run.input.size()) {
        const ssize_t n = ::write(in[1], run.input.data() + written, run.input.size() - written);
        if (n <= 0) {
            break; // the child stopped reading
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
    out_reader.join();
    err_reader.join();
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

std::string program_path(const std::string& base_name) { return executable_dir() + "/" + base_name; }

} // namespace korvan::test
