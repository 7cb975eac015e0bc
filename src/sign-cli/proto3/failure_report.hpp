#pragma once

#include "proto3/token_session.hpp"

#include "korvan/platform/streams.hpp"

namespace korvan::cli {

// Tells the parent once: the Error frame (its write result changes nothing), then the code line on
// standard error; then releases the session when there is one. A module fault on a slot that has
// lost its token is reported as the removal it is. The caller exits.
void report_failure(platform::ByteSink& output, Proto3Session* session,
                    const Proto3Failure& failure, platform::ByteSink& error);

} // namespace korvan::cli
