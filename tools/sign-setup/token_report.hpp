#pragma once

// The listing of `sign-setup tokens`, as text for a person or as one JSON object for a program.

#include "engine/slot_listing.hpp"
#include "engine/token_identity.hpp"
#include "engine/token_listing.hpp"

#include <span>
#include <string>
#include <vector>

namespace korvan::setup {

// The KORVAN_EXPECT_TOKEN value sign-cli accepts for the token: the hex of the serial number and
// of the label, as sign-cli normalises them, joined by a colon.
std::string expect_token_value(const engine::TokenIdentity& identity);

// The tokens, then every slot without one the module can read: a reader without a card, a card
// the module cannot read.
std::string tokens_text(std::string_view module, std::span<const engine::ListedTokenKeys> listing,
                        std::span<const engine::ListedSlot> slots);

// {"module": ..., "tokens": [{"slot", "label", "serial", "expect_token", "flags": {...}, "reader",
// "removable", "keys": [{"cka_id", "kind", "always_authenticate", "label", "certificate",
// "private_key"}]}], "slots": [{"slot", "reader", "removable", "content": "token" | "no_card" |
// "unreadable", "token_info_rv": rv of C_GetTokenInfo or null}]}
std::string tokens_json(std::string_view module, std::span<const engine::ListedTokenKeys> listing,
                        std::span<const engine::ListedSlot> slots);

// Why slot id holds no token the module can describe ("no card in the reader").
std::string slot_problem_text(std::span<const engine::ListedSlot> slots, CK_SLOT_ID id);

// One warning per serial number that more than one listed token reports.
std::vector<std::string> shared_serial_warnings(std::span<const engine::ListedToken> tokens);

} // namespace korvan::setup
