#pragma once

// The listing of `sign-setup tokens`, as text for a person or as one JSON object for a program.

#include "engine/token_identity.hpp"
#include "engine/token_listing.hpp"

#include <span>
#include <string>
#include <vector>

namespace korvan::setup {

// The KORVAN_EXPECT_TOKEN value sign-cli accepts for the token: the hex of the serial number and
// of the label, as sign-cli normalises them, joined by a colon.
std::string expect_token_value(const engine::TokenIdentity& identity);

std::string tokens_text(std::string_view module, std::span<const engine::ListedTokenKeys> listing);

// {"module": ..., "tokens": [{"slot", "label", "serial", "expect_token", "flags": {...},
// "keys": [{"cka_id", "kind", "always_authenticate", "label", "certificate", "private_key"}]}]}
std::string tokens_json(std::string_view module, std::span<const engine::ListedTokenKeys> listing);

// One warning per serial number that more than one listed token reports.
std::vector<std::string> shared_serial_warnings(std::span<const engine::ListedToken> tokens);

} // namespace korvan::setup
