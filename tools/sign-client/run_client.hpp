#pragma once

#include <string>
#include <vector>

namespace korvan::client {

// The whole tool: arguments, PIN, sign-cli started and conversed with, its end reported. The
// exit code: 0 every request answered and sign-cli closed in order, 1 the session failed, 2 a
// usage or input error (nothing started).
int run_client(const std::vector<std::string>& args);

} // namespace korvan::client
