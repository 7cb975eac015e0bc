#pragma once

#include "run_setup.hpp"

#include "shared/text_sink.hpp"

#include "korvan/app_dirs/app_dir.hpp"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>

namespace korvan::setup {

// One line on standard error: "sign-setup: <line>".
inline void say(SetupWorld& world, std::string_view line) {
    cli::write_text(world.error, fmt::format("sign-setup: {}\n", line));
}

// The per-user folder the settings and the audit log are in; none after saying why.
inline std::optional<std::string> per_user_dir(SetupWorld& world) {
    std::optional<std::string> dir = app_dirs::app_dir(world.environment);
    if (!dir) {
        say(world, "no per-user folder: HOME is not set and the system names no profile folder");
    }
    return dir;
}

} // namespace korvan::setup
