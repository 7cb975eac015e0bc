#include "proto3/failure_report.hpp"
#include "shared/text_sink.hpp"

#include "korvan/sign_proto/child.hpp"

#include <fmt/format.h>

namespace korvan::cli {

void report_failure(platform::ByteSink& output, Proto3Session* session, const Proto3Failure& failed,
                    platform::ByteSink& error) {
    const Proto3Failure failure =
        session != nullptr ? removal_if_token_gone(*session, failed) : failed;
    sign_proto::write_frame(output, failure);
    write_text(error, fmt::format("sign-cli proto3: error code={} rv=0x{:x}\n",
                                  static_cast<unsigned>(failure.code), failure.rv));
    if (session != nullptr) {
        release_session(*session);
    }
}

} // namespace korvan::cli
