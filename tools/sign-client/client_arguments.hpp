#pragma once

#include "korvan/platform/environment.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvan::client {

struct ClientArgs {
    std::optional<std::string> sign_cli; // none: the sign-cli beside this program
    bool allow_final_try = false;
    bool query_flags = false;
    std::optional<std::chrono::seconds> step_timeout; // none: no limit
    // Module path, CKA_ID hex, key kind and slot id, passed on to sign-cli exactly as given.
    std::vector<std::string> sign_cli_args;
    std::vector<std::vector<std::uint8_t>> digests; // each 32, 48 or 64 bytes
};

struct HelpWanted {};
struct VersionWanted {};
struct UsageError {
    std::string message;
};

using ParsedArgs = std::variant<ClientArgs, HelpWanted, VersionWanted, UsageError>;

// `args` is the whole command line, element 0 the program. sign-cli's four arguments and its
// KORVAN_EXPECT_TOKEN are checked by sign-cli's own rules here, so a mistake shows before any
// process starts.
ParsedArgs parse_client_args(const std::vector<std::string>& args,
                             const platform::EnvValue& expect_token);

std::string_view usage_text();

} // namespace korvan::client
