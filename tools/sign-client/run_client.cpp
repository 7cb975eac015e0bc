#include "run_client.hpp"
#include "client_arguments.hpp"
#include "conversation.hpp"
#include "pin_line.hpp"

#include "shared/text_sink.hpp"

#include "korvan/platform/child_process.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/streams.hpp"
#include "korvan/version.hpp"

#include <fmt/format.h>

#include <memory>

namespace korvan::client {
namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

void say(std::string_view line) {
    platform::HandleStream error(platform::standard_error());
    cli::write_text(error, fmt::format("sign-client: {}\n", line));
}

int usage_error(std::string_view message) {
    platform::HandleStream error(platform::standard_error());
    cli::write_text(error, fmt::format("sign-client: {}\n{}", message, usage_text()));
    return exit_usage;
}

// sign-cli exits 0 after Goodbye and 1 after a failure, which the session has reported already;
// anything else is news.
bool child_ended_as_expected(const platform::ChildEnd& end, bool closed) {
    const auto* exited = std::get_if<platform::ChildExited>(&end);
    return exited != nullptr && (exited->code == 0 || (!closed && exited->code == 1));
}

void report_child_end(const platform::ChildEnd& end) {
    if (const auto* exited = std::get_if<platform::ChildExited>(&end)) {
        say(fmt::format("sign-cli exited with code {}", exited->code));
    } else {
        say(fmt::format("sign-cli: {}", std::get<platform::ChildLost>(end).text));
    }
}

} // namespace

int run_client(const std::vector<std::string>& args) {
    platform::ProcessEnvironment environment;
    const ParsedArgs parsed = parse_client_args(args, environment.get("KORVAN_EXPECT_TOKEN"));
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        return usage_error(error->message);
    }
    if (std::holds_alternative<HelpWanted>(parsed)) {
        platform::HandleStream output(platform::standard_output());
        cli::write_text(output, usage_text());
        return exit_ok;
    }
    if (std::holds_alternative<VersionWanted>(parsed)) {
        platform::HandleStream output(platform::standard_output());
        cli::write_text(output, fmt::format("sign-client {}\n", korvan::version));
        return exit_ok;
    }
    const ClientArgs& client = std::get<ClientArgs>(parsed);

    const std::optional<std::string> program =
        client.sign_cli ? client.sign_cli : platform::program_beside_self("sign-cli");
    if (!program) {
        return usage_error("cannot tell where this program is; name sign-cli with --sign-cli");
    }
    platform::HandleStream input(platform::standard_input());
    auto pin = read_pin_line(input);
    if (const auto* problem = std::get_if<std::string_view>(&pin)) {
        say(*problem);
        return exit_usage;
    }

    std::vector<std::string> child_args{"--proto=3"};
    child_args.insert(child_args.end(), client.sign_cli_args.begin(), client.sign_cli_args.end());
    auto started = platform::ChildProcess::start(*program, child_args);
    if (const auto* failure = std::get_if<platform::ChildStartFailure>(&started)) {
        say(fmt::format("cannot start {}: {}", *program, failure->text));
        return exit_failed;
    }
    auto child = std::make_unique<platform::ChildProcess>(
        std::move(std::get<platform::ChildProcess>(started)));

    platform::HandleStream output(platform::standard_output());
    const SessionPlan plan{client.allow_final_try, client.digests, client.query_flags,
                           client.step_timeout};
    const SessionEnd end = run_session(
        std::move(child), std::move(std::get<platform::SecretBytes>(pin)), plan, output);
    const auto* closed = std::get_if<Closed>(&end);
    if (closed == nullptr) {
        say(std::get<Broken>(end).problem);
    } else if (closed->problem) {
        say(*closed->problem);
    }
    const std::optional<platform::ChildEnd> child_end =
        closed != nullptr ? std::optional(closed->child_end) : std::get<Broken>(end).child_end;
    const bool ended_as_expected =
        !child_end || child_ended_as_expected(*child_end, closed != nullptr);
    if (!ended_as_expected) {
        report_child_end(*child_end);
    }
    return closed != nullptr && !closed->problem && ended_as_expected ? exit_ok : exit_failed;
}

} // namespace korvan::client
