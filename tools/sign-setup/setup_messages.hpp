#pragma once

#include "run_setup.hpp"

#include "shared/text_sink.hpp"

#include <fmt/format.h>

#include <string_view>

namespace korvan::setup {

// One line on standard error: "sign-setup: <line>".
inline void say(SetupWorld& world, std::string_view line) {
    cli::write_text(world.error, fmt::format("sign-setup: {}\n", line));
}

} // namespace korvan::setup
