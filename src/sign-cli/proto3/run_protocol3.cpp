#include "proto3/run_protocol3.hpp"
#include "proto3/arguments.hpp"
#include "proto3/conversation.hpp"
#include "proto3/failure_report.hpp"
#include "shared/text_sink.hpp"

#include "korvan/platform/stream_isolation.hpp"
#include "korvan/sign_proto/child.hpp"

#include <fmt/format.h>

namespace korvan::cli {
namespace {

using sign_proto::Proto3ErrorCode;

constexpr int exit_failed = 1;
constexpr int exit_invocation = 2;

int report_isolation_failure(const platform::IsolationFailure& failed, platform::ByteSink& error) {
    write_text(error, fmt::format("sign-cli proto3: stdio isolation failed: {}\n", failed.step));
    if (failed.output_copy) {
        platform::HandleStream output(*failed.output_copy);
        output.write_all(sign_proto::marker_line());
        report_failure(output, nullptr, failure(Proto3ErrorCode::ProtocolViolation), error);
        platform::close_handle(*failed.output_copy);
    }
    return exit_failed;
}

} // namespace

int run_protocol3(const std::vector<std::string>& args, Proto3World& world) {
    const platform::EnvValue expect_token = world.environment.get("KORVAN_EXPECT_TOKEN");
    const auto parsed = parse_proto3_args(args, expect_token);
    if (const auto* message = std::get_if<std::string_view>(&parsed)) {
        write_text(world.error, fmt::format("sign-cli proto3: {}\n", *message));
        return exit_invocation;
    }
    const Proto3Args& arguments = std::get<Proto3Args>(parsed);

    const platform::IsolationResult isolation = platform::isolate_standard_streams();
    if (const auto* failed = std::get_if<platform::IsolationFailure>(&isolation)) {
        return report_isolation_failure(*failed, world.error);
    }
    const auto& streams = std::get<platform::IsolatedStreams>(isolation);
    platform::HandleStream input(streams.input);
    platform::HandleStream output(streams.output);

    return run_conversation(arguments, {input, output, world.error, world.module_gate});
}

} // namespace korvan::cli
