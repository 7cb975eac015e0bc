#pragma once

#include "korvan/platform/clock.hpp"
#include "korvan/platform/environment.hpp"
#include "korvan/platform/streams.hpp"

#include <functional>
#include <string>
#include <vector>

namespace korvan::setup {

inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_rejected = 9;

// What the tool touches, so that a test can run it in-process.
struct SetupWorld {
    const platform::Environment& environment;
    const platform::Clock& clock;
    platform::ByteSource& input;
    platform::ByteSink& output;
    platform::ByteSink& error;
    // Called once, right before a module is loaded: takes the standard streams away from module
    // code as far as the layout allows and gives the sink the results go to from then on. Empty:
    // the streams above stay as they are.
    std::function<platform::ByteSink&()> set_streams_aside;
};

// The whole tool; `args` is the command line, element 0 the program. The exit code.
int run_setup(const std::vector<std::string>& args, SetupWorld& world);

} // namespace korvan::setup
