#include "korvan/platform/process.hpp"
#include "korvan/platform/unicode.hpp"

#include <csignal>
#include <unistd.h>

namespace korvan::platform {

void prepare_unattended_process() {
    // A parent that closed its end of a pipe must see our exit code, not a SIGPIPE death.
    std::signal(SIGPIPE, SIG_IGN);
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

void exit_process(int code) { ::_exit(code); }

} // namespace korvan::platform
