// sign-setup: pins, approves or clears a PKCS#11 module for sign-cli, asks its trust policy, lists
// tokens and keys with the exact KORVAN_EXPECT_TOKEN, and reads the audit log, for the parent
// application's developers and for administrators.
#include "run_setup.hpp"

#include "shared/text_sink.hpp"

#include "korvan/platform/clock.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/process.hpp"
#include "korvan/platform/stream_isolation.hpp"
#include "korvan/platform/streams.hpp"

#include <memory>

using namespace korvan;

namespace {

int run(int argc, char** argv) {
    platform::HandleStream error(platform::standard_error());
    const auto args = platform::command_line(argc, argv);
    if (!args) {
        cli::write_text(error, "sign-setup: an argument is not valid Unicode\n");
        return 2;
    }
    platform::ProcessEnvironment environment;
    platform::SystemClock clock;
    platform::HandleStream input(platform::standard_input());
    platform::HandleStream output(platform::standard_output());
    std::unique_ptr<platform::HandleStream> private_output;
    setup::SetupWorld world{
        environment,
        clock,
        input,
        output,
        error,
        [&private_output, &output]() -> platform::ByteSink& {
            // Module code may print; only the results may reach the real standard output.
            const platform::IsolationResult isolated = platform::isolate_standard_streams();
            if (const auto* streams = std::get_if<platform::IsolatedStreams>(&isolated)) {
                platform::close_handle(streams->input);
                private_output = std::make_unique<platform::HandleStream>(streams->output);
                return *private_output;
            }
            // Refused in a layout where there is nothing to keep apart (standard output and
            // standard error one channel, as in a terminal): the streams are as they were. Failed
            // halfway: the copy of standard output still reaches the real one.
            const auto& failed = std::get<platform::IsolationFailure>(isolated);
            if (!failed.output_copy) {
                return output;
            }
            private_output = std::make_unique<platform::HandleStream>(*failed.output_copy);
            return *private_output;
        }};
    return setup::run_setup(*args, world);
}

} // namespace

int main(int argc, char** argv) {
    platform::prepare_unattended_process();
    // The PIN of `tokens --login` is in memory: no crash file may hold it.
    platform::harden_process();
    platform::exit_process(run(argc, argv));
}
