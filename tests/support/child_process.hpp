#pragma once

// Runs a built program as a child with three separate pipes, the way the parent application does,
// or with the standard handles shared in one of the layouts a careless parent produces.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvan::test {

struct ChildRun {
    std::vector<std::string> args; // after the program path; bytes (a lone surrogate on Windows
                                   // may be written in generalized UTF-8, e.g. "\xED\xA0\x80")
    // Variables to set (value) or remove (nullopt); the rest of the test's environment is kept.
    std::map<std::string, std::optional<std::string>> env;
    std::string input; // written to standard input, which is then closed
    // Standard output and standard error on one pipe: everything arrives in `out`.
    bool stderr_is_stdout = false;
    // Standard input and standard error as one duplex channel (a socket pair, a duplex named
    // pipe). `input` (small: it is written before anything is read) goes to it, then whatever the
    // child writes there arrives in `err`; the child sees no end of input on it before it exits.
    // Not together with stderr_is_stdout.
    bool stdin_is_stderr = false;
};

struct ChildResult {
    int exit_code = -1;
    std::string out;
    std::string err;
    // Set when the child never ran: the call that failed and the system's error for it.
    std::optional<std::string> start_failure;
};

// A child that cannot be started also fails the calling test, with the start failure's text, so
// no caller can mistake the empty result for a child that ran and said nothing.
ChildResult run_child(const std::string& program, const ChildRun& run);

// The folder of the running test executable, where the build also puts the program and modules.
std::string executable_dir();

// The program's file name in that folder ("sign-cli" or "sign-cli.exe").
std::string program_path(const std::string& base_name);

} // namespace korvan::test
