#pragma once

#include "korvan/sign_proto/frames.hpp"

#include <string>

namespace korvan::client {

// One line for an Error frame: "error code=6 rv=0xa0 CKR_PIN_INCORRECT (the PIN was refused)",
// the rv's name where the standard has one, and " token-flags=0x..." after the rv when the frame
// carries the token's flags.
std::string failure_line(const sign_proto::Proto3Failure& failure);

} // namespace korvan::client
