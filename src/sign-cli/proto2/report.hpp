#pragma once

#include "engine/sign_outcome.hpp"
#include "korvan/platform/streams.hpp"

namespace korvan::cli {

// Exit codes of protocol 2; the parent classifies a run by them.
enum Proto2Exit : int {
    exit_ok = 0,
    exit_invocation = 2,
    exit_pin = 3,
    exit_pkcs11 = 4,
    exit_module_load = 5,
    exit_key_resolution = 6,
    exit_unsupported = 7,
    exit_digest_mismatch = 8,
    exit_module_rejected = 9,
    exit_token_changed = 10,
};

// The marker line, before anything else; write errors are ignored.
void write_marker(platform::ByteSink& out);

// Writes the outcome's lines (the signature line on standard output only in sign mode) and gives
// the exit code.
int report_outcome(const engine::SignOutcome& outcome, bool verify_only, platform::ByteSink& out,
                   platform::ByteSink& err);

} // namespace korvan::cli
