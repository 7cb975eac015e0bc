#pragma once

#include "proto3/arguments.hpp"
#include "shared/module_gate.hpp"

#include "korvan/platform/streams.hpp"

namespace korvan::cli {

// The parent's private channel and what else a conversation touches.
struct Proto3Channel {
    platform::ByteSource& input;
    platform::ByteSink& output;
    platform::ByteSink& error;
    ModuleGate& module_gate;
};

// Everything after the standard streams were isolated: the policy, the marker, Hello, the login,
// the requests and the close. Gives the exit code.
int run_conversation(const Proto3Args& args, Proto3Channel channel);

} // namespace korvan::cli
