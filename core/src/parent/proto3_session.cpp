#include "korvan/parent/proto3_session.hpp"

#include "korvan/sign_proto/parent.hpp"

#include <fmt/format.h>

#include <string_view>
#include <utility>

namespace korvan::parent {
namespace {

using Kind = StepFailure::Kind;
using sign_proto::Proto3Response;

// The child's output, read only while the deadline has not passed: a read that would wait past it
// fails, and `timed_out` says why.
class DeadlineSource final : public platform::ByteSource {
  public:
    DeadlineSource(platform::InteractiveChild& child, Deadline deadline)
        : child_(child), deadline_(deadline) {}

    platform::ReadResult read_some(std::span<std::uint8_t> into) override {
        if (child_.wait_readable(deadline_) == platform::Readiness::TimedOut) {
            timed_out = true;
            return {platform::ReadResult::Status::Error, 0};
        }
        return child_.output().read_some(into);
    }

    bool timed_out = false;

  private:
    platform::InteractiveChild& child_;
    Deadline deadline_;
};

struct ResponseName {
    std::string_view operator()(const sign_proto::Hello&) const { return "Hello"; }
    std::string_view operator()(const sign_proto::SessionReady&) const { return "SessionReady"; }
    std::string_view operator()(const sign_proto::Signature&) const { return "Signature"; }
    std::string_view operator()(const sign_proto::TokenFlags&) const { return "TokenFlags"; }
    std::string_view operator()(const sign_proto::Goodbye&) const { return "Goodbye"; }
    std::string_view operator()(const sign_proto::Proto3Failure&) const { return "Error"; }
};

StepFailure failure(Kind kind, std::string text) {
    return StepFailure{kind, std::move(text), std::nullopt, std::nullopt};
}

StepFailure read_failure(sign_proto::ReadFailure read, bool timed_out, std::string_view awaited) {
    if (timed_out) {
        return failure(Kind::TimedOut,
                       fmt::format("timed out while {} was due; sign-cli was killed", awaited));
    }
    switch (read) {
    case sign_proto::ReadFailure::EndOfInput:
        return failure(Kind::ChildGone,
                       fmt::format("sign-cli's output ended while {} was due", awaited));
    case sign_proto::ReadFailure::Malformed:
        return failure(Kind::Unexpected,
                       fmt::format("sign-cli sent a malformed frame while {} was due", awaited));
    case sign_proto::ReadFailure::Io:
        break;
    }
    return failure(Kind::ChildGone,
                   fmt::format("reading sign-cli's output failed while {} was due", awaited));
}

StepFailure session_over() {
    return failure(Kind::SessionOver, "the session with sign-cli has ended");
}

} // namespace

Step<Proto3Session> Proto3Session::start(const SignCliCommand& command, Deadline deadline) {
    std::vector<std::string> args{"--proto=3"};
    args.insert(args.end(), command.args.begin(), command.args.end());
    auto started = platform::ChildProcess::start(command.program, args, command.environment);
    if (const auto* start_failure = std::get_if<platform::ChildStartFailure>(&started)) {
        return failure(Kind::NotStarted,
                       fmt::format("cannot start {}: {}", command.program, start_failure->text));
    }
    return open(std::make_unique<platform::ChildProcess>(
                    std::move(std::get<platform::ChildProcess>(started))),
                deadline);
}

Step<Proto3Session> Proto3Session::open(std::unique_ptr<platform::InteractiveChild> child,
                                        Deadline deadline) {
    Proto3Session session(std::move(child));
    DeadlineSource source(*session.child_, deadline);
    const auto marker = sign_proto::read_marker(source);
    if (const auto* read = std::get_if<sign_proto::ReadFailure>(&marker)) {
        return session.end(read_failure(*read, source.timed_out, "the protocol-3 marker line"),
                           deadline);
    }
    auto hello = session.expect<sign_proto::Hello>("Hello", deadline);
    if (auto* broken = std::get_if<StepFailure>(&hello)) {
        return std::move(*broken);
    }
    return session;
}

Step<sign_proto::SessionReady> Proto3Session::login(platform::SecretBytes pin, bool allow_final_try,
                                                    Deadline deadline) {
    {
        const sign_proto::Proto3Request request =
            sign_proto::Login{allow_final_try, std::move(pin)};
        if (auto broken = send(request, "Login", deadline)) {
            return std::move(*broken);
        }
    }
    return expect<sign_proto::SessionReady>("SessionReady", deadline);
}

Step<std::vector<std::uint8_t>> Proto3Session::sign(std::span<const std::uint8_t> digest,
                                                    Deadline deadline) {
    const std::uint32_t request_id = ++last_request_id_;
    const sign_proto::Proto3Request request =
        sign_proto::Sign{request_id, std::vector<std::uint8_t>(digest.begin(), digest.end())};
    if (auto broken = send(request, "Sign", deadline)) {
        return std::move(*broken);
    }
    auto answer = expect<sign_proto::Signature>("Signature", deadline);
    if (auto* broken = std::get_if<StepFailure>(&answer)) {
        return std::move(*broken);
    }
    auto& signature = std::get<sign_proto::Signature>(answer);
    if (signature.request_id != request_id) {
        return end(failure(Kind::Unexpected,
                           fmt::format("sign-cli answered request {} with the signature of {}",
                                       request_id, signature.request_id)),
                   deadline);
    }
    return std::move(signature.signature);
}

Step<sign_proto::TokenFlags> Proto3Session::query_token_flags(Deadline deadline) {
    if (auto broken = send(sign_proto::QueryTokenFlags{}, "QueryTokenFlags", deadline)) {
        return std::move(*broken);
    }
    auto answer = receive("TokenFlags", deadline);
    if (auto* broken = std::get_if<StepFailure>(&answer)) {
        return std::move(*broken);
    }
    auto& response = std::get<Proto3Response>(answer);
    if (const auto* flags = std::get_if<sign_proto::TokenFlags>(&response)) {
        return *flags;
    }
    const auto* error = std::get_if<sign_proto::Proto3Failure>(&response);
    if (error != nullptr && error->code == sign_proto::Proto3ErrorCode::TokenInfoUnavailable) {
        return StepFailure{Kind::ErrorFrame, "sign-cli could not read the token's flags", *error,
                           std::nullopt};
    }
    if (error != nullptr) {
        return end(StepFailure{Kind::ErrorFrame, "sign-cli answered with an Error frame", *error,
                               std::nullopt},
                   deadline);
    }
    return end(failure(Kind::Unexpected, fmt::format("sign-cli sent {} while TokenFlags was due",
                                                     std::visit(ResponseName{}, response))),
               deadline);
}

Step<platform::ChildEnd> Proto3Session::close(Deadline deadline) {
    if (auto broken = send(sign_proto::Close{}, "Close", deadline)) {
        return std::move(*broken);
    }
    auto goodbye = expect<sign_proto::Goodbye>("Goodbye", deadline);
    if (auto* broken = std::get_if<StepFailure>(&goodbye)) {
        return std::move(*broken);
    }
    std::optional<platform::ChildEnd> ended = child_->wait_until(deadline);
    if (!ended) {
        return end(failure(Kind::TimedOut, "timed out while sign-cli was exiting; it was killed"),
                   deadline);
    }
    child_.reset();
    return std::move(*ended);
}

Proto3Session::~Proto3Session() {
    if (child_) {
        child_->kill();
        (void)child_->wait_until(Deadline::max());
    }
}

std::optional<StepFailure> Proto3Session::send(const sign_proto::Proto3Request& request,
                                               const char* name, Deadline deadline) {
    if (!child_) {
        return session_over();
    }
    if (std::holds_alternative<sign_proto::Written>(
            sign_proto::write_request(child_->input(), request))) {
        return std::nullopt;
    }
    return end(failure(Kind::ChildGone, fmt::format("could not send {} to sign-cli", name)),
               deadline);
}

Step<Proto3Response> Proto3Session::receive(const char* awaited, Deadline deadline) {
    if (!child_) {
        return session_over();
    }
    DeadlineSource source(*child_, deadline);
    auto read = sign_proto::read_response(source, frame_);
    if (const auto* broken = std::get_if<sign_proto::ReadFailure>(&read)) {
        return end(read_failure(*broken, source.timed_out, awaited), deadline);
    }
    return std::move(std::get<Proto3Response>(read));
}

template <class Expected>
Step<Expected> Proto3Session::expect(const char* awaited, Deadline deadline) {
    auto answer = receive(awaited, deadline);
    if (auto* broken = std::get_if<StepFailure>(&answer)) {
        return std::move(*broken);
    }
    auto& response = std::get<Proto3Response>(answer);
    if (auto* expected = std::get_if<Expected>(&response)) {
        return std::move(*expected);
    }
    if (const auto* error = std::get_if<sign_proto::Proto3Failure>(&response)) {
        return end(StepFailure{Kind::ErrorFrame, "sign-cli answered with an Error frame", *error,
                               std::nullopt},
                   deadline);
    }
    return end(
        failure(Kind::Unexpected, fmt::format("sign-cli sent {} while {} was due",
                                              std::visit(ResponseName{}, response), awaited)),
        deadline);
}

// The session is over: the child gets the end of its input and the rest of the deadline to exit,
// then is killed; either way it is reaped.
StepFailure Proto3Session::end(StepFailure failure, Deadline deadline) {
    if (failure.kind == Kind::TimedOut) {
        child_->kill();
    }
    std::optional<platform::ChildEnd> ended = child_->wait_until(deadline);
    if (!ended) {
        child_->kill();
        ended = child_->wait_until(Deadline::max());
    }
    failure.child_end = std::move(ended);
    child_.reset();
    return failure;
}

} // namespace korvan::parent
