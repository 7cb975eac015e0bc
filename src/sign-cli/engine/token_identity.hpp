#pragma once

#include "engine/module.hpp"
#include "engine/sign_request.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace korvan::engine {

struct TokenIdentity {
    std::string label;
    std::string serial;
};

namespace token_check {
struct Match {};
struct Changed {};
struct Failed {
    CK_RV rv;
};
} // namespace token_check
using TokenCheck = std::variant<token_check::Match, token_check::Changed, token_check::Failed>;

struct ListedToken {
    CK_SLOT_ID slot;
    TokenIdentity identity;
    CK_FLAGS flags = 0; // CK_TOKEN_INFO.flags as read with the identity
};

// What one C_GetTokenInfo tells: the identity and the token's flags.
struct TokenInfo {
    TokenIdentity identity;
    CK_FLAGS flags = 0;
};

// What a module reports when it has no C_GetTokenInfo: every bit set.
inline constexpr CK_RV token_info_missing = ~CK_RV{0};
inline constexpr std::size_t max_listed_slots = 64;

// A fixed-width token text made readable: invalid UTF-8 becomes U+FFFD, control characters go,
// Unicode white space is trimmed at both ends (so blank and zero padding disappear).
std::string normalize_token_text(std::span<const std::uint8_t> field);

std::variant<TokenInfo, CK_RV> read_token_info(Module& module, CK_SLOT_ID slot);
std::variant<TokenIdentity, CK_RV> read_token_identity(Module& module, CK_SLOT_ID slot);

// The values that mean the token is not there: a token gone counts as a changed token.
bool is_token_gone(CK_RV rv);

// The check on what one slot reports, without asking the module anything more. A Match here may
// rest on the serial number alone (the label differs); see serial_names_one_token.
TokenCheck classify_token_check(CK_RV rv, const TokenIdentity* identity,
                                const ExpectedToken& expected);

// The expected serial number, but another label: a renamed token, or one of several tokens that
// report the same serial number (some modules give all their tokens one serial).
bool matches_by_serial_alone(const TokenIdentity& identity, const ExpectedToken& expected);

// Whether no token in another slot of the listing reports this serial number.
bool serial_names_one_token(std::span<const ListedToken> listing, CK_SLOT_ID slot,
                            const std::string& serial);

// classify_token_check of the token read from slot; a match by serial alone stands only while no
// other listed token shares the serial (then the module's slots are listed, else nothing more is
// asked).
TokenCheck check_token_identity(Module& module, CK_SLOT_ID slot, const TokenIdentity& identity,
                                const ExpectedToken& expected);
TokenCheck check_token_in_slot(Module& module, CK_SLOT_ID slot, const ExpectedToken& expected);

// The slot ids the module lists, with a token only or every one (readers without a card too), in
// its order, at most 64; none when the list cannot be read.
enum class SlotScope { WithToken, All };
std::vector<CK_SLOT_ID> list_slot_ids(Module& module, SlotScope scope);

// Slots with a token, in the module's order, at most 64; slots whose token cannot be read are left
// out.
std::vector<ListedToken> list_token_identities(Module& module);

std::optional<CK_SLOT_ID> find_unique_token(std::span<const ListedToken> listing,
                                            const ExpectedToken& expected);

// The slot to use: the requested one when it holds the expected token, else the one slot that
// holds it. Changed when there is none (or several), Failed when the token could not be read.
std::variant<CK_SLOT_ID, token_check::Changed, token_check::Failed>
locate_token(Module& module, CK_SLOT_ID requested, const ExpectedToken& expected);

} // namespace korvan::engine
