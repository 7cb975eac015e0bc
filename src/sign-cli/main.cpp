// Entry and dispatch only: every run ends with an explicit exit code.
#include "engine/sign_session.hpp"
#include "proto2/run_protocol2.hpp"
#include "proto3/run_protocol3.hpp"
#include "shared/policy_gate.hpp"
#include "shared/standard_error.hpp"
#include "shared/text_sink.hpp"

#include "korvan/platform/clock.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/process.hpp"
#include "korvan/platform/streams.hpp"

using namespace korvan;

namespace {

int dispatch(int argc, char** argv) {
    cli::StandardError error;
    platform::ProcessEnvironment environment;
    platform::SystemClock clock;
    cli::PolicyGate policy(environment, clock, error);
    std::optional<std::vector<std::string>> args = platform::command_line(argc, argv);
    if (args && args->size() >= 2 && (*args)[1] == "--proto=3") {
        cli::Proto3World world{environment, error, policy};
        return cli::run_protocol3(*args, world);
    }
    if (args && args->size() >= 2 && (*args)[1] == "--proto=2") {
        args->erase(args->begin() + 1);
        platform::HandleStream input(platform::standard_input());
        platform::HandleStream output(platform::standard_output());
        engine::Pkcs11Engine engine(error);
        cli::Proto2World world{input, output, error, environment, policy, engine};
        return cli::run_protocol2(*args, world);
    }
    cli::write_text(error, "unsupported invocation: --proto=2 required\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    platform::prepare_unattended_process();
    platform::harden_process();
    platform::exit_process(dispatch(argc, argv));
}
