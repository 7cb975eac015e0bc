#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvan::platform {

// Makes the process fit for running unattended: no system dialog may wait for a user (Windows
// error mode), and a closed output pipe must not kill the process before it picks its exit code.
// The very first call of the program.
void prepare_unattended_process();

// Module code may replace what prepare_unattended_process set up (its own unhandled-exception
// filter or signal handlers, a C runtime it brought along): sets it again. After C_Initialize.
void restore_unattended_settings();

// Keeps the secrets of this process out of crash files: a crash inside module code must not write
// the PIN to disk. Changes nothing else about the run; early in main.
void harden_process();

// The command line as UTF-8 strings, element 0 the program path. Windows reads the UTF-16 command
// line itself and ignores argc/argv. None when an argument is not valid Unicode.
std::optional<std::vector<std::string>> command_line(int argc, char** argv);

[[noreturn]] void exit_process(int code);

} // namespace korvan::platform
