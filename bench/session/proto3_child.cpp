#include "session/proto3_child.hpp"

namespace korvan::bench {
namespace {

bool sent(platform::ByteSink& to, const sign_proto::Proto3Request& request) {
    return std::holds_alternative<sign_proto::Written>(sign_proto::write_request(to, request));
}

} // namespace

std::variant<Proto3Child, std::string> Proto3Child::start(const std::string& sign_cli,
                                                          const std::vector<std::string>& args) {
    std::vector<std::string> all{"--proto=3"};
    all.insert(all.end(), args.begin(), args.end());
    auto started = platform::ChildProcess::start(sign_cli, all);
    if (auto* failure = std::get_if<platform::ChildStartFailure>(&started)) {
        return failure->text;
    }
    return Proto3Child(std::move(std::get<platform::ChildProcess>(started)));
}

std::variant<sign_proto::Proto3Response, std::string> Proto3Child::next(std::string_view awaited) {
    auto read = sign_proto::read_response(child_.output(), frame_);
    if (std::holds_alternative<sign_proto::ReadFailure>(read)) {
        return "no readable frame where " + std::string(awaited) + " was due";
    }
    auto& response = std::get<sign_proto::Proto3Response>(read);
    if (const auto* error = std::get_if<sign_proto::Proto3Failure>(&response)) {
        return "Error frame code=" + std::to_string(static_cast<int>(error->code)) +
               " rv=" + std::to_string(error->rv) + " where " + std::string(awaited) + " was due";
    }
    return std::move(response);
}

std::optional<std::string> Proto3Child::await_hello() {
    if (std::holds_alternative<sign_proto::ReadFailure>(sign_proto::read_marker(child_.output()))) {
        return "no marker line";
    }
    auto hello = next("Hello");
    if (auto* problem = std::get_if<std::string>(&hello)) {
        return *problem;
    }
    if (!std::holds_alternative<sign_proto::Hello>(std::get<sign_proto::Proto3Response>(hello))) {
        return "another frame where Hello was due";
    }
    return std::nullopt;
}

std::optional<std::string> Proto3Child::log_in(std::span<const std::uint8_t> pin) {
    sign_proto::Login login;
    login.pin.assign(pin.begin(), pin.end());
    if (!sent(child_.input(), login)) {
        return "could not send Login";
    }
    auto ready = next("SessionReady");
    if (auto* problem = std::get_if<std::string>(&ready)) {
        return *problem;
    }
    if (!std::holds_alternative<sign_proto::SessionReady>(
            std::get<sign_proto::Proto3Response>(ready))) {
        return "another frame where SessionReady was due";
    }
    return std::nullopt;
}

std::optional<std::string> Proto3Child::sign(std::uint32_t request_id,
                                             std::span<const std::uint8_t> digest) {
    if (!sent(child_.input(), sign_proto::Sign{request_id, std::vector<std::uint8_t>(
                                                               digest.begin(), digest.end())})) {
        return "could not send Sign";
    }
    auto answer = next("Signature");
    if (auto* problem = std::get_if<std::string>(&answer)) {
        return *problem;
    }
    const auto* signature =
        std::get_if<sign_proto::Signature>(&std::get<sign_proto::Proto3Response>(answer));
    if (signature == nullptr || signature->request_id != request_id) {
        return "no Signature for request " + std::to_string(request_id);
    }
    return std::nullopt;
}

std::optional<std::string> Proto3Child::close(bool by_end_of_input) {
    if (by_end_of_input) {
        child_.close_input();
    } else if (!sent(child_.input(), sign_proto::Close{})) {
        return "could not send Close";
    }
    auto goodbye = next("Goodbye");
    if (auto* problem = std::get_if<std::string>(&goodbye)) {
        return *problem;
    }
    const platform::ChildEnd end = child_.wait();
    const auto* exited = std::get_if<platform::ChildExited>(&end);
    if (exited == nullptr || exited->code != 0) {
        return "sign-cli did not exit with 0";
    }
    return std::nullopt;
}

} // namespace korvan::bench
