#include "client_arguments.hpp"

#include "proto3/arguments.hpp"
#include "shared/hex.hpp"

#include <fmt/format.h>

#include <charconv>
#include <optional>
#include <string_view>

namespace korvan::client {
namespace {

constexpr std::string_view sign_cli_option = "--sign-cli=";

bool is_digest_length(std::size_t size) {
    return size == 32 || size == 48 || size == 64;
}

std::optional<std::chrono::seconds> timeout_seconds(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 1 || value > 86400) {
        return std::nullopt;
    }
    return std::chrono::seconds(value);
}

} // namespace

std::string_view usage_text() {
    return "usage: sign-client [--sign-cli=<path>] [--allow-final-try] [--query-flags]\n"
           "                   [--timeout <seconds>] [--]\n"
           "                   <module-path> <cka_id-hex> <key-kind> <slot-id> [<digest-hex> ...]\n"
           "       sign-client --help | --version\n"
           "\n"
           "Signs each digest in one protocol-3 session of sign-cli. The PIN is the first line of\n"
           "standard input (its line end is dropped; 1 to 255 bytes); KORVAN_EXPECT_TOKEN and the\n"
           "rest of the environment pass on to sign-cli. Digests are hex, 64, 96 or 128 digits,\n"
           "signed in order with request ids 1, 2, 3, ...\n"
           "\n"
           "  --sign-cli=<path>   the sign-cli to start (default: the one beside this program)\n"
           "  --allow-final-try   log in even when the token says one more wrong PIN locks it\n"
           "  --query-flags       after the signatures, ask for the token's flags\n"
           "  --timeout <seconds> the longest each step may take (start, login, each signature,\n"
           "                      the flags, the close; 1 to 86400); past it sign-cli is killed\n"
           "\n"
           "Standard output: one line \"<request-id> <signature-base64>\" per digest, then\n"
           "\"flags 0x<hex>\" with --query-flags. Exit: 0 every request answered and sign-cli "
           "closed\n"
           "in order, 1 the session failed (the reason on standard error), 2 usage error.\n";
}

ParsedArgs parse_client_args(const std::vector<std::string>& args,
                             const platform::EnvValue& expect_token) {
    ClientArgs parsed;
    std::size_t next = 1;
    for (; next < args.size(); ++next) {
        const std::string& arg = args[next];
        if (arg == "--") {
            ++next;
            break;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            break;
        }
        if (arg == "--help") {
            return HelpWanted{};
        }
        if (arg == "--version") {
            return VersionWanted{};
        }
        if (arg == "--allow-final-try") {
            parsed.allow_final_try = true;
        } else if (arg == "--query-flags") {
            parsed.query_flags = true;
        } else if (arg == "--timeout" || arg.compare(0, 10, "--timeout=") == 0) {
            std::string_view value;
            if (arg == "--timeout") {
                if (++next == args.size()) {
                    return UsageError{"--timeout needs a number of seconds"};
                }
                value = args[next];
            } else {
                value = std::string_view(arg).substr(10);
            }
            parsed.step_timeout = timeout_seconds(value);
            if (!parsed.step_timeout) {
                return UsageError{fmt::format(
                    "--timeout takes whole seconds from 1 to 86400, not \"{}\"", value)};
            }
        } else if (arg.compare(0, sign_cli_option.size(), sign_cli_option) == 0) {
            if (parsed.sign_cli) {
                return UsageError{"--sign-cli given twice"};
            }
            parsed.sign_cli = arg.substr(sign_cli_option.size());
            if (parsed.sign_cli->empty()) {
                return UsageError{"--sign-cli needs a path"};
            }
        } else {
            return UsageError{fmt::format("unknown option {}", arg)};
        }
    }
    if (args.size() - next < 4) {
        return UsageError{"sign-cli's four arguments are missing"};
    }
    parsed.sign_cli_args.assign(args.begin() + static_cast<std::ptrdiff_t>(next),
                                args.begin() + static_cast<std::ptrdiff_t>(next + 4));

    std::vector<std::string> as_sign_cli{args[0], "--proto=3"};
    as_sign_cli.insert(as_sign_cli.end(), parsed.sign_cli_args.begin(), parsed.sign_cli_args.end());
    const auto checked = cli::parse_proto3_args(as_sign_cli, expect_token);
    if (const auto* message = std::get_if<std::string_view>(&checked)) {
        return UsageError{std::string(*message)};
    }

    for (std::size_t i = next + 4; i < args.size(); ++i) {
        auto digest = cli::decode_hex(args[i]);
        if (!digest || !is_digest_length(digest->size())) {
            return UsageError{fmt::format("digest {} is not 64, 96 or 128 hex digits: \"{}\"",
                                          i - next - 3, args[i])};
        }
        parsed.digests.push_back(std::move(*digest));
    }
    return parsed;
}

} // namespace korvan::client
