#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvan::setup {

enum class Command : std::uint8_t { pin, approve, check, tokens, audit };

struct SetupArgs {
    Command command = Command::check;
    std::string module;         // every command but audit
    std::uint64_t seconds = 30; // approve: the trial window, 1 to 30
    bool json = false;          // tokens, audit
    bool login = false;         // tokens
    bool allow_final_try = false;
    std::optional<std::uint64_t> slot; // tokens: that slot only
};

struct HelpWanted {
    std::optional<Command> command; // none: the whole tool
};
struct VersionWanted {};
struct UsageError {
    std::string message;
    std::optional<Command> command; // whose usage to show
};

using ParsedSetupArgs = std::variant<SetupArgs, HelpWanted, VersionWanted, UsageError>;

// `args` is the whole command line, element 0 the program. Options may stand before or after the
// module path; "--" ends them, for a path that begins with "--".
ParsedSetupArgs parse_setup_args(const std::vector<std::string>& args);

std::string_view usage_text(std::optional<Command> command);

} // namespace korvan::setup
