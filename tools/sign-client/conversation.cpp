#include "conversation.hpp"
#include "failure_line.hpp"

#include "proto2/base64.hpp"
#include "shared/text_sink.hpp"

#include "korvan/parent/proto3_session.hpp"

#include <fmt/format.h>

namespace korvan::client {
namespace {

using parent::Proto3Session;
using parent::StepFailure;

platform::Deadline step_deadline(const SessionPlan& plan) {
    return plan.step_timeout ? std::chrono::steady_clock::now() + *plan.step_timeout
                             : platform::Deadline::max();
}

Broken broken(StepFailure failure) {
    if (failure.kind == StepFailure::Kind::ErrorFrame) {
        return Broken{failure_line(*failure.error), std::move(failure.child_end)};
    }
    if (failure.kind == StepFailure::Kind::TimedOut) {
        return Broken{std::move(failure.text), std::nullopt}; // the text says it was killed
    }
    return Broken{std::move(failure.text), std::move(failure.child_end)};
}

} // namespace

SessionEnd run_session(std::unique_ptr<platform::InteractiveChild> child, platform::SecretBytes pin,
                       const SessionPlan& plan, platform::ByteSink& out) {
    auto opened = Proto3Session::open(std::move(child), step_deadline(plan));
    if (auto* failure = std::get_if<StepFailure>(&opened)) {
        return broken(std::move(*failure));
    }
    Proto3Session& session = std::get<Proto3Session>(opened);
    if (auto ready = session.login(std::move(pin), plan.allow_final_try, step_deadline(plan));
        std::holds_alternative<StepFailure>(ready)) {
        return broken(std::move(std::get<StepFailure>(ready)));
    }
    std::uint32_t request_id = 0;
    for (const auto& digest : plan.digests) {
        ++request_id;
        auto signed_ = session.sign(digest, step_deadline(plan));
        if (auto* failure = std::get_if<StepFailure>(&signed_)) {
            return broken(std::move(*failure));
        }
        if (!cli::write_text(out, fmt::format("{} {}\n", request_id,
                                              cli::encode_base64(
                                                  std::get<std::vector<std::uint8_t>>(signed_))))) {
            // The session's end kills and reaps sign-cli.
            return Broken{"could not write a signature to standard output", std::nullopt};
        }
    }
    std::optional<std::string> problem;
    if (plan.query_flags) {
        auto flags = session.query_token_flags(step_deadline(plan));
        if (auto* failure = std::get_if<StepFailure>(&flags)) {
            if (failure->child_end || failure->kind != StepFailure::Kind::ErrorFrame) {
                return broken(std::move(*failure));
            }
            problem =
                failure_line(*failure->error); // the flags were unavailable; the session goes on
        } else if (!cli::write_text(out,
                                    fmt::format("flags 0x{:x}\n",
                                                std::get<sign_proto::TokenFlags>(flags).flags))) {
            return Broken{"could not write the token's flags to standard output", std::nullopt};
        }
    }
    auto closed = session.close(step_deadline(plan));
    if (auto* failure = std::get_if<StepFailure>(&closed)) {
        return broken(std::move(*failure));
    }
    return Closed{std::move(problem), std::move(std::get<platform::ChildEnd>(closed))};
}

} // namespace korvan::client
