#pragma once

#include "shared/module_gate.hpp"

#include "korvan/platform/environment.hpp"
#include "korvan/platform/streams.hpp"

#include <string>
#include <vector>

namespace korvan::cli {

// What a framed session touches besides its own standard streams, which it isolates itself.
struct Proto3World {
    const platform::Environment& environment;
    platform::ByteSink& error;
    ModuleGate& module_gate;
};

// The framed protocol. `args` is the whole command line (element 1 is "--proto=3"). Gives the
// exit code; the caller ends the process with it.
int run_protocol3(const std::vector<std::string>& args, Proto3World& world);

} // namespace korvan::cli
