#pragma once

// The parent's side of one protocol-3 session: marker, Hello, Login, SessionReady, the Sign
// requests in order, optionally QueryTokenFlags, then Close and Goodbye.

#include "korvan/platform/child_process.hpp"
#include "korvan/platform/secret.hpp"
#include "korvan/platform/streams.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace korvan::client {

struct SessionPlan {
    bool allow_final_try = false;
    std::vector<std::vector<std::uint8_t>> digests; // sent with request ids 1, 2, 3, ...
    bool query_flags = false;
    std::optional<std::chrono::seconds> step_timeout; // none: each step may take for ever
};

// sign-cli said Goodbye. The token's flags may have been unavailable, which sign-cli answers
// without ending the session; `problem` then says so.
struct Closed {
    std::optional<std::string> problem;
    platform::ChildEnd child_end;
};
// The session ended otherwise: an Error frame, an unexpected or malformed frame, the end of
// sign-cli's output, a request that could not be sent, or a step that timed out (sign-cli was
// killed). One line, without prefix. The child has been reaped unless it cannot be written here.
struct Broken {
    std::string problem;
    std::optional<platform::ChildEnd> child_end;
};
using SessionEnd = std::variant<Closed, Broken>;

// Writes "<id> <base64>" for each signature and "flags 0x<hex>" for the token's flags to `out`
// as they arrive. The PIN is wiped as soon as the Login frame is out, and on every other path.
SessionEnd run_session(std::unique_ptr<platform::InteractiveChild> child, platform::SecretBytes pin,
                       const SessionPlan& plan, platform::ByteSink& out);

} // namespace korvan::client
