#pragma once

#include "engine/signing_engine.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/streams.hpp"
#include "shared/module_gate.hpp"

#include <string>
#include <vector>

namespace korvan::cli {

// Everything a protocol-2 run touches, so tests can drive it without a process or a token.
struct Proto2World {
    platform::ByteSource& input;
    platform::ByteSink& output;
    platform::ByteSink& error;
    const platform::Environment& environment;
    ModuleGate& module_gate;
    engine::SigningEngine& engine;
};

// One protocol-2 request: `args` is the command line without the selector (element 0 the program
// path, element 1 the module path). Gives the exit code; the caller ends the process with it.
int run_protocol2(const std::vector<std::string>& args, Proto2World& world);

} // namespace korvan::cli
