#include "proto3/conversation.hpp"
#include "proto3/failure_report.hpp"
#include "proto3/signing.hpp"
#include "proto3/token_session.hpp"

#include "korvan/platform/secret.hpp"
#include "korvan/sign_proto/child.hpp"

#include <array>
#include <limits>
#include <optional>

namespace korvan::cli {
namespace {

using sign_proto::Proto3ErrorCode;

constexpr int exit_closed = 0;
constexpr int exit_failed = 1;

bool at_end(const sign_proto::RequestRead& read) {
    const auto* failed = std::get_if<sign_proto::ReadFailure>(&read);
    return failed != nullptr && *failed == sign_proto::ReadFailure::EndOfInput;
}

bool written(const sign_proto::WriteOutcome& outcome) {
    return std::holds_alternative<sign_proto::Written>(outcome);
}

// From the Hello frame on: one login, then requests until Close, end of input or a failure.
class Conversation {
  public:
    Conversation(platform::ByteSource& input, platform::ByteSink& output, platform::ByteSink& error,
                 const Proto3Args& args, AdmittedModule module)
        : input_(input), output_(output), error_(error), args_(args), module_(std::move(module)) {}

    int run() {
        auto first = read();
        if (at_end(first)) {
            sign_proto::write_frame(output_, sign_proto::Goodbye{});
            return exit_closed;
        }
        auto* request = std::get_if<sign_proto::Proto3Request>(&first);
        auto* login = request ? std::get_if<sign_proto::Login>(request) : nullptr;
        if (login == nullptr) {
            report_failure(output_, nullptr, failure(Proto3ErrorCode::ProtocolViolation), error_);
            return exit_failed;
        }
        return log_in(std::move(*login));
    }

  private:
    sign_proto::RequestRead read() { return sign_proto::read_frame(input_, frame_, false); }

    int log_in(sign_proto::Login login) {
        // The file the policy hashed at the start has been held open through the PIN dialog.
        auto loaded =
            load_session_module(args_.module_path, module_.held ? &*module_.held : nullptr, error_);
        if (const auto* failed = std::get_if<Proto3Failure>(&loaded)) {
            report_failure(output_, nullptr, *failed, error_);
            return exit_failed; // the PIN goes with `login`
        }
        Proto3Session& session = std::get<Proto3Session>(loaded);
        auto opened = open_session(session, args_, login.allow_final_try, login.pin, error_);
        if (const auto* failed = std::get_if<Proto3Failure>(&opened)) {
            report_failure(output_, &session, *failed, error_);
            return exit_failed;
        }
        const Proto3Key key = std::get<Proto3Key>(opened);
        if (key.always_authenticate) {
            retained_pin_ = std::move(login.pin);
        }
        platform::release(login.pin);

        const sign_proto::SessionReady ready{
            static_cast<sign_proto::KeyKindCode>(static_cast<std::uint8_t>(key.kind) + 1),
            key.always_authenticate};
        if (!written(sign_proto::write_frame(output_, ready))) {
            release_session(session);
            return exit_failed;
        }
        return serve(session, key);
    }

    int serve(Proto3Session& session, const Proto3Key& key) {
        std::uint32_t last_id = 0;
        for (;;) {
            auto next = read();
            if (at_end(next)) {
                return close(session);
            }
            auto* request = std::get_if<sign_proto::Proto3Request>(&next);
            if (request == nullptr) {
                return fail(session, failure(Proto3ErrorCode::ProtocolViolation));
            }
            if (std::holds_alternative<sign_proto::Close>(*request)) {
                return close(session);
            }
            std::optional<Proto3Failure> failed;
            if (auto* sign = std::get_if<sign_proto::Sign>(request)) {
                failed = answer(session, key, last_id, std::move(*sign));
            } else if (std::holds_alternative<sign_proto::QueryTokenFlags>(*request)) {
                failed = answer_token_flags(session);
            } else {
                failed = failure(Proto3ErrorCode::ProtocolViolation); // a second Login
            }
            if (failed) {
                return fail(session, *failed);
            }
        }
    }

    std::optional<Proto3Failure> answer(Proto3Session& session, const Proto3Key& key,
                                        std::uint32_t& last_id, sign_proto::Sign request) {
        if (last_id == std::numeric_limits<std::uint32_t>::max() ||
            request.request_id != last_id + 1) {
            return failure(Proto3ErrorCode::ProtocolViolation);
        }
        std::optional<std::span<const std::uint8_t>> pin;
        if (retained_pin_) {
            pin = std::span<const std::uint8_t>(*retained_pin_);
        }
        auto signed_ = sign_request(session, args_, key, pin, request.digest);
        if (auto* failed = std::get_if<Proto3Failure>(&signed_)) {
            return *failed;
        }
        const sign_proto::Signature signature{
            request.request_id, std::move(std::get<std::vector<std::uint8_t>>(signed_))};
        if (!written(sign_proto::write_frame(output_, signature))) {
            return failure(Proto3ErrorCode::ProtocolViolation);
        }
        last_id = request.request_id;
        return std::nullopt;
    }

    // A token that cannot say its flags is answered, not fatal: the parent may ask again.
    std::optional<Proto3Failure> answer_token_flags(Proto3Session& session) {
        const auto flags = query_token_flags(session);
        sign_proto::Proto3Response response = sign_proto::TokenFlags{};
        if (const auto* value = std::get_if<CK_FLAGS>(&flags)) {
            response = sign_proto::TokenFlags{std::uint64_t{*value}};
        } else {
            response =
                failure(Proto3ErrorCode::TokenInfoUnavailable, std::get<TokenInfoFailed>(flags).rv);
        }
        if (!written(sign_proto::write_frame(output_, response))) {
            return failure(Proto3ErrorCode::ProtocolViolation);
        }
        return std::nullopt;
    }

    int fail(Proto3Session& session, const Proto3Failure& failed) {
        report_failure(output_, &session, failed, error_);
        retained_pin_.reset();
        return exit_failed;
    }

    int close(Proto3Session& session) {
        release_session(session);
        retained_pin_.reset();
        const bool said_goodbye = written(sign_proto::write_frame(output_, sign_proto::Goodbye{}));
        session.module.finalize();
        return said_goodbye ? exit_closed : exit_failed;
    }

    platform::ByteSource& input_;
    platform::ByteSink& output_;
    platform::ByteSink& error_;
    const Proto3Args& args_;
    AdmittedModule module_;
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame_{};
    std::optional<platform::SecretBytes> retained_pin_;
};

} // namespace

int run_conversation(const Proto3Args& args, Proto3Channel channel) {
    std::optional<AdmittedModule> admitted = channel.module_gate.admit(args.module_path);
    if (!channel.output.write_all(sign_proto::marker_line())) {
        return exit_failed;
    }
    if (!admitted) {
        report_failure(channel.output, nullptr, failure(Proto3ErrorCode::ModuleRejected),
                       channel.error);
        return exit_failed;
    }
    if (!written(sign_proto::write_frame(channel.output, sign_proto::Hello{}))) {
        return exit_failed;
    }
    return Conversation(channel.input, channel.output, channel.error, args, std::move(*admitted))
        .run();
}

} // namespace korvan::cli
