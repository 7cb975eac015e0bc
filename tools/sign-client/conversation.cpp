#include "conversation.hpp"
#include "failure_line.hpp"

#include "proto2/base64.hpp"
#include "shared/text_sink.hpp"

#include "korvan/sign_proto/parent.hpp"

#include <array>
#include <string_view>

#include <fmt/format.h>

namespace korvan::client {
namespace {

using sign_proto::Proto3Response;

// sign-cli's answer when it cannot read the token's flags; the session goes on.
struct FlagsUnavailable {
    std::string problem;
};

struct ResponseName {
    std::string_view operator()(const sign_proto::Hello&) const { return "Hello"; }
    std::string_view operator()(const sign_proto::SessionReady&) const { return "SessionReady"; }
    std::string_view operator()(const sign_proto::Signature&) const { return "Signature"; }
    std::string_view operator()(const sign_proto::TokenFlags&) const { return "TokenFlags"; }
    std::string_view operator()(const sign_proto::Goodbye&) const { return "Goodbye"; }
    std::string_view operator()(const sign_proto::Proto3Failure&) const { return "Error"; }
};

class Session {
  public:
    Session(platform::ByteSource& from_child, platform::ByteSink& to_child)
        : from_child_(from_child), to_child_(to_child) {}

    std::optional<Broken> marker() {
        const auto read = sign_proto::read_marker(from_child_);
        if (const auto* failure = std::get_if<sign_proto::ReadFailure>(&read)) {
            return read_failure(*failure, "the protocol-3 marker line");
        }
        return std::nullopt;
    }

    std::optional<Broken> send(const sign_proto::Proto3Request& request, std::string_view name) {
        if (std::holds_alternative<sign_proto::Written>(
                sign_proto::write_request(to_child_, request))) {
            return std::nullopt;
        }
        return Broken{fmt::format("could not send {} to sign-cli", name)};
    }

    // The next response, which must be an Expected; an Error frame or anything else breaks the
    // session.
    template <class Expected> std::variant<Expected, Broken> expect(std::string_view awaited) {
        auto read = sign_proto::read_response(from_child_, frame_);
        if (const auto* failure = std::get_if<sign_proto::ReadFailure>(&read)) {
            return *read_failure(*failure, awaited);
        }
        auto& response = std::get<Proto3Response>(read);
        if (auto* expected = std::get_if<Expected>(&response)) {
            return std::move(*expected);
        }
        if (const auto* error = std::get_if<sign_proto::Proto3Failure>(&response)) {
            return Broken{failure_line(*error)};
        }
        return Broken{fmt::format("sign-cli sent {} while {} was due",
                                  std::visit(ResponseName{}, response), awaited)};
    }

    // TokenFlags, or the Error frame sign-cli answers when it cannot read them.
    std::variant<sign_proto::TokenFlags, FlagsUnavailable, Broken> token_flags() {
        auto read = sign_proto::read_response(from_child_, frame_);
        if (const auto* failure = std::get_if<sign_proto::ReadFailure>(&read)) {
            return *read_failure(*failure, "TokenFlags");
        }
        auto& response = std::get<Proto3Response>(read);
        if (const auto* flags = std::get_if<sign_proto::TokenFlags>(&response)) {
            return *flags;
        }
        const auto* error = std::get_if<sign_proto::Proto3Failure>(&response);
        if (error != nullptr && error->code == sign_proto::Proto3ErrorCode::TokenInfoUnavailable) {
            return FlagsUnavailable{failure_line(*error)};
        }
        if (error != nullptr) {
            return Broken{failure_line(*error)};
        }
        return Broken{fmt::format("sign-cli sent {} while TokenFlags was due",
                                  std::visit(ResponseName{}, response))};
    }

  private:
    static std::optional<Broken> read_failure(sign_proto::ReadFailure failure,
                                              std::string_view awaited) {
        switch (failure) {
        case sign_proto::ReadFailure::EndOfInput:
            return Broken{fmt::format("sign-cli's output ended while {} was due", awaited)};
        case sign_proto::ReadFailure::Malformed:
            return Broken{fmt::format("sign-cli sent a malformed frame while {} was due", awaited)};
        case sign_proto::ReadFailure::Io:
            break;
        }
        return Broken{fmt::format("reading sign-cli's output failed while {} was due", awaited)};
    }

    platform::ByteSource& from_child_;
    platform::ByteSink& to_child_;
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame_{};
};

std::optional<Broken> sign_all(Session& session, const SessionPlan& plan, platform::ByteSink& out) {
    std::uint32_t request_id = 0;
    for (const auto& digest : plan.digests) {
        ++request_id;
        if (auto broken = session.send(sign_proto::Sign{request_id, digest}, "Sign")) {
            return broken;
        }
        auto answer = session.expect<sign_proto::Signature>("Signature");
        if (auto* broken = std::get_if<Broken>(&answer)) {
            return std::move(*broken);
        }
        const auto& signature = std::get<sign_proto::Signature>(answer);
        if (signature.request_id != request_id) {
            return Broken{fmt::format("sign-cli answered request {} with the signature of {}",
                                      request_id, signature.request_id)};
        }
        if (!cli::write_text(
                out, fmt::format("{} {}\n", request_id, cli::encode_base64(signature.signature)))) {
            return Broken{"could not write a signature to standard output"};
        }
    }
    return std::nullopt;
}

} // namespace

SessionEnd run_session(platform::ByteSource& from_child, platform::ByteSink& to_child,
                       platform::SecretBytes pin, const SessionPlan& plan,
                       platform::ByteSink& out) {
    Session session(from_child, to_child);
    if (auto broken = session.marker()) {
        return *broken;
    }
    if (auto answer = session.expect<sign_proto::Hello>("Hello");
        std::holds_alternative<Broken>(answer)) {
        return std::get<Broken>(answer);
    }
    {
        const sign_proto::Proto3Request login =
            sign_proto::Login{plan.allow_final_try, std::move(pin)};
        if (auto broken = session.send(login, "Login")) {
            return *broken;
        }
    }
    if (auto answer = session.expect<sign_proto::SessionReady>("SessionReady");
        std::holds_alternative<Broken>(answer)) {
        return std::get<Broken>(answer);
    }
    if (auto broken = sign_all(session, plan, out)) {
        return *broken;
    }
    Closed closed;
    if (plan.query_flags) {
        if (auto broken = session.send(sign_proto::QueryTokenFlags{}, "QueryTokenFlags")) {
            return *broken;
        }
        auto answer = session.token_flags();
        if (auto* broken = std::get_if<Broken>(&answer)) {
            return std::move(*broken);
        }
        if (auto* unavailable = std::get_if<FlagsUnavailable>(&answer)) {
            closed.problem = std::move(unavailable->problem);
        } else if (!cli::write_text(out,
                                    fmt::format("flags 0x{:x}\n",
                                                std::get<sign_proto::TokenFlags>(answer).flags))) {
            return Broken{"could not write the token's flags to standard output"};
        }
    }
    if (auto broken = session.send(sign_proto::Close{}, "Close")) {
        return *broken;
    }
    if (auto answer = session.expect<sign_proto::Goodbye>("Goodbye");
        std::holds_alternative<Broken>(answer)) {
        return std::get<Broken>(answer);
    }
    return closed;
}

} // namespace korvan::client
