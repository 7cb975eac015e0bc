#pragma once

#include "korvan/platform/streams.hpp"

#include <string>
#include <vector>

namespace korvan::cli {

// The framed protocol. `args` is the whole command line (element 1 is "--proto=3"). Gives the
// exit code; the caller ends the process with it.
int run_protocol3(const std::vector<std::string>& args, platform::ByteSink& error);

} // namespace korvan::cli
