#include "korvan/platform/process.hpp"
#include "korvan/platform/unicode.hpp"

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace korvan::platform {

void prepare_unattended_process() {
    restore_unattended_settings();
}

void restore_unattended_settings() {
    // A parent that closed its end of a pipe must see our exit code, not a SIGPIPE death.
    std::signal(SIGPIPE, SIG_IGN);
}

void harden_process() {
    // No core file, and not dumpable: that also covers a core_pattern pipe, which ignores the
    // limit, and keeps other processes of the same user from reading this one's memory.
    const rlimit no_core{0, 0};
    (void)::setrlimit(RLIMIT_CORE, &no_core);
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

std::optional<std::vector<std::string>> command_line(int argc, char** argv) {
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        std::string arg(argv[i]);
        if (!is_valid_utf8(arg)) {
            return std::nullopt;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

void exit_process(int code) {
#if defined(__SANITIZE_ADDRESS__)
    // _exit skips the leak check the sanitizer runs at exit; the run's objects are gone by now.
    __lsan_do_leak_check();
#endif
    ::_exit(code);
}

} // namespace korvan::platform
