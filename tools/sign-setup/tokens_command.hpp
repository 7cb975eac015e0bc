#pragma once

#include "run_setup.hpp"
#include "setup_arguments.hpp"

namespace korvan::setup {

// sign-setup tokens: the module's tokens and keys, after the trust policy accepted the path.
int run_tokens(const SetupArgs& args, SetupWorld& world);

} // namespace korvan::setup
