#include "proto3/run_protocol3.hpp"
#include "shared/text_sink.hpp"

namespace korvan::cli {

// TEMPORARY: the framed session is not built yet. Until it is, a protocol-3 request ends at once
// with the argument-error code and nothing on standard output, so a parent never mistakes this
// build for one that speaks the protocol.
int run_protocol3(const std::vector<std::string>&, platform::ByteSink& error) {
    write_text(error, "sign-cli proto3: protocol 3 is not available in this build\n");
    return 2;
}

} // namespace korvan::cli
