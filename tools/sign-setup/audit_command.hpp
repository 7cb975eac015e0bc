#pragma once

#include "run_setup.hpp"
#include "setup_arguments.hpp"

#include <string>
#include <string_view>

namespace korvan::setup {

// sign-setup audit: the records of the audit log, oldest first, as text or as JSON lines.
int run_audit(const SetupArgs& args, SetupWorld& world);

// The text with every control character escaped (\t, \n, \r; \xHH for the other C0 characters
// and DEL; \uHHHH for U+0080 to U+009F): one line of it stays one line on a terminal, and no
// escape sequence in a record reaches the terminal as one. Backslashes stay as they are, so that
// Windows paths read as paths. `text` is UTF-8.
std::string visible_text(std::string_view text);

} // namespace korvan::setup
