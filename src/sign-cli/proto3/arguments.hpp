#pragma once

#include "engine/key_kind.hpp"
#include "engine/sign_request.hpp"

#include "korvan/platform/environment.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvan::cli {

// The command line and environment of a framed session, checked once and kept for the run.
struct Proto3Args {
    std::string module_path;                       // exactly as given
    std::vector<std::uint8_t> cka_id;              // empty: no CKA_ID filter
    std::optional<engine::KeyKind> requested_kind; // none: the key's own kind
    std::uint64_t slot_id = 0;                     // the module sees its low CK_SLOT_ID bits
    engine::ExpectedToken expected_token;
};

// The arguments, or the message for the first one that is wrong (without prefix or line end).
// `args` is the whole command line, element 1 being "--proto=3".
std::variant<Proto3Args, std::string_view>
parse_proto3_args(const std::vector<std::string>& args, const platform::EnvValue& expect_token);

} // namespace korvan::cli
