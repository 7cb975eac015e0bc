#include "setup_arguments.hpp"

#include "shared/arguments.hpp"

#include <fmt/format.h>

#include <array>
#include <limits>

namespace korvan::setup {
namespace {

struct CommandInfo {
    Command command;
    std::string_view name;
    bool takes_module;
    std::string_view usage;
};

constexpr std::string_view tool_usage =
    "usage: sign-setup <command> [options] ...\n"
    "       sign-setup --help | --version\n"
    "\n"
    "Sets sign-cli up for a PKCS#11 module and shows what it will do, in the per-user folder\n"
    "sign-cli uses ($HOME/.korvan-qes, or the profile folder's when HOME is unset):\n"
    "\n"
    "  pin MODULE                 pin the module in the settings (its canonical path and SHA-256)\n"
    "  approve MODULE [--seconds N]\n"
    "                             approve the module for a trial of N seconds (1-30, default 30);\n"
    "                             prints the trial token for KORVAN_MODULE_TRIAL_TOKEN\n"
    "  clear                      remove the pending module from the settings (ends a trial)\n"
    "  check MODULE               what the module trust policy decides for that path now\n"
    "  tokens MODULE [--json] [--login] [--slot N] [--allow-final-try]\n"
    "                             the module's tokens and keys, with each token's\n"
    "                             KORVAN_EXPECT_TOKEN value\n"
    "  audit [--json]             the audit log, oldest record first (control characters\n"
    "                             escaped in text; exact in JSON)\n"
    "\n"
    "sign-setup <command> --help tells more. Standard output carries only the result; messages\n"
    "go to standard error. Exit: 0 done, 1 the module or the token failed, 2 usage error or\n"
    "refusal, 9 the module path is rejected by the trust policy.\n";

constexpr std::array<CommandInfo, 6> commands = {{
    {Command::pin, "pin", true,
     "usage: sign-setup pin MODULE\n"
     "\n"
     "Pins the module in the settings file: its canonical path (links resolved) and the SHA-256\n"
     "of its file go into pkcs11_module_path and pkcs11_module_sha256; every other setting stays.\n"
     "sign-cli then loads the module when it is named by that canonical path and its file is\n"
     "unchanged. A module the policy could never accept is refused: one outside the system\n"
     "folders or below a Temp, Downloads or tmp folder, one that cannot be resolved or read.\n"
     "\n"
     "Standard output: the canonical path, then the SHA-256, one line each. Exit 0, or 2 with the\n"
     "reason.\n"},
    {Command::approve, "approve", true,
     "usage: sign-setup approve MODULE [--seconds N]\n"
     "\n"
     "Stages the module as the pending module for a trial of N seconds (1 to 30, default 30): its\n"
     "canonical path and SHA-256, the SHA-256 of a fresh random trial token and the end of the\n"
     "window go into the settings. Within the window sign-cli loads the module, named by its\n"
     "canonical path, when KORVAN_MODULE_TRIAL_TOKEN holds the token.\n"
     "\n"
     "\n"
     "Refused when that path is pinned with another SHA-256 than its file has now: sign-cli then\n"
     "answers pin_mismatch from the pin before it looks at the pending module, so the trial could\n"
     "never pass. `sign-setup pin MODULE` replaces the pin.\n"
     "\n"
     "Standard output: the trial token alone, one line; nothing else ever holds it. Exit 0, or 2\n"
     "with the reason; nothing is written then.\n"},
    {Command::clear, "clear", false,
     "usage: sign-setup clear\n"
     "\n"
     "Removes the pending module from the settings: its path and SHA-256, the SHA-256 of its\n"
     "trial token and the end of its window; every other setting stays. A trial token handed out\n"
     "for it lets nothing in any more. No settings file, or no pending module: nothing to do.\n"
     "\n"
     "Standard output: nothing. Exit 0, or 2 with the reason (settings that cannot be read are\n"
     "left as they are).\n"},
    {Command::check, "check", true,
     "usage: sign-setup check MODULE\n"
     "\n"
     "What the module trust policy decides for that path right now, and why, exactly as sign-cli\n"
     "would decide (with this environment's HOME and KORVAN_MODULE_TRIAL_TOKEN). Loads nothing "
     "and\n"
     "writes no audit record.\n"
     "\n"
     "Standard output: \"accepted: well-known\", \"accepted: pinned\", \"accepted: pending\" or\n"
     "\"rejected: <reason>\" (not_absolute, not_known, pin_mismatch, target_outside_system_dir).\n"
     "Exit 0 accepted, 9 rejected.\n"},
    {Command::tokens, "tokens", true,
     "usage: sign-setup tokens MODULE [--json] [--login] [--slot N] [--allow-final-try]\n"
     "\n"
     "Loads the module, only when the trust policy accepts the path as it would for sign-cli, and\n"
     "lists every slot with a token: its slot id, label and serial number as sign-cli reads\n"
     "them, the KORVAN_EXPECT_TOKEN value that makes sign-cli accept that token, its flags, and\n"
     "its keys (CKA_ID, the kind sign-cli would take, label, always-authenticate, and whether a\n"
     "certificate with that CKA_ID is on the token). Warns when tokens share a serial number.\n"
     "\n"
     "  --json             one JSON object instead of text\n"
     "  --login            log in to see the private keys too; the PIN is the first line of\n"
     "                     standard input. Only one token is logged in to: with several, name it\n"
     "                     with --slot\n"
     "  --slot N           that slot only\n"
     "  --allow-final-try  log in even when the token says one more wrong PIN locks it\n"
     "\n"
     "Exit 0; 1 the module could not be loaded or a token could not be listed in full (the reason\n"
     "on standard error, the listing still printed); 2 usage error; 9 the path is rejected.\n"},
    {Command::audit, "audit", false,
     "usage: sign-setup audit [--json]\n"
     "\n"
     "The records of the audit log and its rotated files, oldest first: one line each, time,\n"
     "action, file and error separated by tabs (\"-\" for an absent field), then\n"
     "\"unreadable lines: N\". In that text a control character in a field is shown escaped, so\n"
     "that no record can print another line or drive the terminal: \\t, \\n and \\r, \\xHH for\n"
     "the other C0 characters and DEL, \\uHHHH for U+0080 to U+009F; a backslash stays as it is.\n"
     "With --json each record exactly as the log holds it, one JSON object a line, then\n"
     "{\"unreadable_lines\":N}.\n"
     "\n"
     "Only regular files are read: a FIFO, a device or a folder in a log file's place is skipped\n"
     "and named on standard error, as is a file that cannot be read. Of a file larger than twice\n"
     "the size at which the log rotates, only the newest records are read (and it is named).\n"},
}};

const CommandInfo* find_command(std::string_view name) {
    for (const CommandInfo& info : commands) {
        if (info.name == name) {
            return &info;
        }
    }
    return nullptr;
}

const CommandInfo& info_of(Command command) {
    return commands[static_cast<std::size_t>(command)];
}

bool allows(Command command, std::string_view option) {
    if (option == "--json") {
        return command == Command::tokens || command == Command::audit;
    }
    if (option == "--seconds") {
        return command == Command::approve;
    }
    return command == Command::tokens &&
           (option == "--login" || option == "--slot" || option == "--allow-final-try");
}

} // namespace

std::string_view usage_text(std::optional<Command> command) {
    return command ? info_of(*command).usage : tool_usage;
}

ParsedSetupArgs parse_setup_args(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        return UsageError{"a command is missing", std::nullopt};
    }
    if (args[1] == "--help" || args[1] == "help") {
        return HelpWanted{std::nullopt};
    }
    if (args[1] == "--version") {
        return VersionWanted{};
    }
    const CommandInfo* info = find_command(args[1]);
    if (info == nullptr) {
        return UsageError{fmt::format("unknown command \"{}\"", args[1]), std::nullopt};
    }
    const Command command = info->command;
    auto usage = [command](std::string message) { return UsageError{std::move(message), command}; };

    SetupArgs parsed;
    parsed.command = command;
    std::vector<std::string> positional;
    bool options_done = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help") {
            return HelpWanted{command};
        }
        // "--name=value" or "--name value" for the options that take one.
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (!allows(command, name)) {
            return usage(fmt::format("{} takes no option {}", info->name, name));
        }
        const bool takes_value = name == "--seconds" || name == "--slot";
        if (!takes_value && equals != std::string::npos) {
            return usage(fmt::format("{} takes no value", name));
        }
        std::optional<std::string> value;
        if (takes_value) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return usage(fmt::format("{} needs a value", name));
            }
        }
        if (name == "--json") {
            parsed.json = true;
        } else if (name == "--login") {
            parsed.login = true;
        } else if (name == "--allow-final-try") {
            parsed.allow_final_try = true;
        } else if (name == "--seconds") {
            const auto seconds = cli::parse_unsigned_decimal(*value, 30);
            if (!seconds || *seconds < 1) {
                return usage(fmt::format("--seconds takes 1 to 30, not \"{}\"", *value));
            }
            parsed.seconds = *seconds;
        } else {
            const auto slot =
                cli::parse_unsigned_decimal(*value, std::numeric_limits<unsigned long>::max());
            if (!slot) {
                return usage(fmt::format("--slot takes a slot id, not \"{}\"", *value));
            }
            parsed.slot = *slot;
        }
    }
    const std::size_t wanted = info->takes_module ? 1 : 0;
    if (positional.size() != wanted) {
        return usage(wanted == 1 ? fmt::format("{} takes one MODULE", info->name)
                                 : fmt::format("{} takes no MODULE", info->name));
    }
    if (wanted == 1) {
        parsed.module = positional[0];
    }
    if (parsed.allow_final_try && !parsed.login) {
        return usage("--allow-final-try goes with --login");
    }
    return parsed;
}

} // namespace korvan::setup
