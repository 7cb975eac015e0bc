#include "failure_line.hpp"

#include "engine/rv_name.hpp"

#include <array>
#include <string_view>

#include <fmt/format.h>

namespace korvan::client {
namespace {

// Indexed by code - 1.
constexpr std::array<std::string_view, sign_proto::proto3_error_code_count> meanings = {
    "protocol violation",
    "the module path was rejected by the trust policy",
    "the module could not be loaded",
    "a PKCS#11 call failed",
    "not the expected token",
    "the PIN was refused",
    "the PIN is locked",
    "the PIN has expired",
    "the PIN is invalid or not initialised",
    "one more wrong PIN locks the token; not tried without --allow-final-try",
    "no single signing key matches",
    "key type, curve or mechanism not supported",
    "the digest length does not fit the key",
    "the token says the user is not logged in",
    "the key's own login before signing failed",
    "the token or the session went away",
    "the token's flags could not be read",
};

} // namespace

std::string failure_line(const sign_proto::Proto3Failure& failure) {
    const auto code = static_cast<unsigned>(failure.code);
    const std::string flags =
        failure.has_token_flags ? fmt::format(" token-flags=0x{:x}", failure.token_flags) : "";
    const std::string_view meaning =
        code >= 1 && code <= meanings.size() ? meanings[code - 1] : "unknown code";
    // An rv of 0 is the frame's "no PKCS#11 value", not a CKR_OK worth naming.
    const std::string_view name = failure.rv == 0 ? "" : engine::rv_name(failure.rv);
    const std::string rv = fmt::format("0x{:x}{}{}", failure.rv, name.empty() ? "" : " ", name);
    return fmt::format("error code={} rv={}{} ({})", code, rv, flags, meaning);
}

} // namespace korvan::client
