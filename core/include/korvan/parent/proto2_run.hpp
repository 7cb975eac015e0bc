#pragma once

// The parent's protocol-2 run of sign-cli as one call: the PIN on standard input, a deadline for
// the whole run, and the result read back from both output streams and the exit code. Past the
// deadline the child is killed and reaped. On POSIX systems the caller ignores SIGPIPE.

#include "korvan/parent/proto3_session.hpp"
#include "korvan/platform/secret.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace korvan::parent {

// sign-cli's protocol-2 exit codes.
enum class Proto2Exit {
    Done = 0, // signed, or the PIN verified
    Usage = 2,
    PinRefused = 3, // incorrect or locked: the outcome line tells which
    Pkcs11Failure = 4,
    ModuleLoadFailed = 5,
    KeyNotFound = 6,
    KeyUnsupported = 7,
    DigestLengthMismatch = 8,
    ModuleRejected = 9,
    TokenMismatch = 10,
    Unknown, // any other code: not sign-cli's
};

struct Proto2Result {
    Proto2Exit exit = Proto2Exit::Unknown;
    int exit_code = -1;
    bool marker_seen = false;
    // The line after the marker, decoded; none when there was none or it was not base64.
    std::optional<std::vector<std::uint8_t>> signature;
    std::vector<std::string> error_lines; // sign-cli's (and the module's) standard error, in order
    std::string outcome_line;             // the last of them: "sign-cli: PIN_INCORRECT"
};

// Why the run gave no result: not started, timed out (killed), or ended by a signal or a failed
// wait (`child_end` then says how).
struct Proto2Failure {
    enum class Kind { NotStarted, TimedOut, Lost };
    Kind kind;
    std::string text;
    std::optional<platform::ChildEnd> child_end;
};

// `command.args` are protocol 2's five: module path, digest hex or VERIFY_ONLY, CKA_ID hex, key
// kind, slot id. The PIN is wiped once written.
std::variant<Proto2Result, Proto2Failure> run_proto2(const SignCliCommand& command,
                                                     platform::SecretBytes pin, Deadline deadline);

} // namespace korvan::parent
