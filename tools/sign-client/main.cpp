// sign-client: signs digests through one protocol-3 session of sign-cli, as the parent
// application does, for scripts, demonstrations and tests against real tokens.
#include "run_client.hpp"

#include "korvan/platform/process.hpp"
#include "korvan/platform/streams.hpp"

#include "shared/text_sink.hpp"

using namespace korvan;

namespace {

int run(int argc, char** argv) {
    const auto args = platform::command_line(argc, argv);
    if (!args) {
        platform::HandleStream error(platform::standard_error());
        cli::write_text(error, "sign-client: an argument is not valid Unicode\n");
        return 2;
    }
    return client::run_client(*args);
}

} // namespace

int main(int argc, char** argv) {
    // A sign-cli that dies while it is being written to must give a failure, not kill this tool.
    platform::prepare_unattended_process();
    platform::exit_process(run(argc, argv));
}
