#pragma once

// A Windows child gets one command line, not an argument list; these are the quoting rules that
// CommandLineToArgvW and the C runtimes undo exactly. Pure text, so every build tests them.

#include <string>
#include <vector>

namespace korvan::platform {

// Every argument in quotes (so an empty one survives), backslashes doubled only where a quote
// follows them. Works on UTF-8 bytes: only '\\', '"' and the blank between arguments are added.
std::string windows_command_line(const std::vector<std::string>& arguments);

} // namespace korvan::platform
