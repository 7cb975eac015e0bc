#pragma once

// Runs a built program as a child with three separate pipes, the way the parent application does.

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
};

struct ChildResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};

ChildResult run_child(const std::string& program, const ChildRun& run);

// The folder of the running test executable, where the build also puts the program and modules.
std::string executable_dir();

// The program's file name in that folder ("sign-cli" or "sign-cli.exe").
std::string program_path(const std::string& base_name);

} // namespace korvan::test
