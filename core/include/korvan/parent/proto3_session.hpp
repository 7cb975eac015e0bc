#pragma once

// The parent application's whole protocol-3 session with sign-cli as its child: start, login,
// signatures, the token's flags, close. Every step has a deadline on the monotonic clock; when it
// passes, the child is killed and reaped and the step says it timed out. On POSIX systems the
// caller ignores SIGPIPE (a child that died must give a failed write, not kill the parent).

#include "korvan/platform/child_process.hpp"
#include "korvan/platform/secret.hpp"
#include "korvan/sign_proto/frames.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace korvan::parent {

using platform::Deadline;

struct SignCliCommand {
    std::string program;                      // sign-cli's path
    std::vector<std::string> args;            // module path, CKA_ID hex, key kind, slot id
    platform::EnvironmentChanges environment; // KORVAN_EXPECT_TOKEN, KORVAN_MODULE_TRIAL_TOKEN
};

// Why a step gave no answer. After any of these but a TokenInfoUnavailable Error frame the
// session is over and the child has been reaped (`child_end`).
struct StepFailure {
    enum class Kind {
        NotStarted,  // the program could not be started
        TimedOut,    // the deadline passed; the child was killed
        ErrorFrame,  // sign-cli answered with an Error frame (`error`)
        ChildGone,   // sign-cli's output ended, or a request could not be written to it
        Unexpected,  // a malformed frame, or a frame that was not due
        SessionOver, // a call after the session had ended
    };
    Kind kind;
    std::string text; // one line without prefix: "sign-cli's output ended while Hello was due"
    std::optional<sign_proto::Proto3Failure> error;
    std::optional<platform::ChildEnd> child_end;
};

template <class Answer> using Step = std::variant<Answer, StepFailure>;

class Proto3Session {
  public:
    // Starts `sign-cli --proto=3 <args>` and reads the marker line and Hello.
    static Step<Proto3Session> start(const SignCliCommand& command, Deadline deadline);
    // The same over a child already started.
    static Step<Proto3Session> open(std::unique_ptr<platform::InteractiveChild> child,
                                    Deadline deadline);

    // The PIN is wiped once the Login frame is out, and on every other path.
    Step<sign_proto::SessionReady> login(platform::SecretBytes pin, bool allow_final_try,
                                         Deadline deadline);
    // Request ids 1, 2, 3, ... in order; a signature for another id breaks the session.
    Step<std::vector<std::uint8_t>> sign(std::span<const std::uint8_t> digest, Deadline deadline);
    // An Error frame with TokenInfoUnavailable leaves the session open.
    Step<sign_proto::TokenFlags> query_token_flags(Deadline deadline);
    // Close, Goodbye, and the child's end.
    Step<platform::ChildEnd> close(Deadline deadline);

    Proto3Session(Proto3Session&&) noexcept = default;
    Proto3Session& operator=(Proto3Session&&) = delete;
    Proto3Session(const Proto3Session&) = delete;
    Proto3Session& operator=(const Proto3Session&) = delete;
    // A child still running is killed and reaped.
    ~Proto3Session();

  private:
    explicit Proto3Session(std::unique_ptr<platform::InteractiveChild> child)
        : child_(std::move(child)) {}

    std::optional<StepFailure> send(const sign_proto::Proto3Request& request, const char* name,
                                    Deadline deadline);
    Step<sign_proto::Proto3Response> receive(const char* awaited, Deadline deadline);
    template <class Expected> Step<Expected> expect(const char* awaited, Deadline deadline);
    StepFailure end(StepFailure failure, Deadline deadline);

    std::unique_ptr<platform::InteractiveChild> child_; // null once the session is over
    std::uint32_t last_request_id_ = 0;
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame_{};
};

} // namespace korvan::parent
