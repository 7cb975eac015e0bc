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
};

// What a module reports when it has no C_GetTokenInfo: every bit set.
inline constexpr CK_RV token_info_missing = ~CK_RV{0};
inline constexpr std::size_t max_listed_slots = 64;

// A fixed-width token text made readable: invalid UTF-8 becomes U+FFFD, control characters go,
// Unicode white space is trimmed at both ends (so blank and zero padding disappear).
std::string normalize_token_text(std::span<const std::uint8_t> field);

std::variant<TokenIdentity, CK_RV> read_token_identity(Module& module, CK_SLOT_ID slot);

// The values that mean the token is not there: a token gone counts as a changed token.
bool is_token_gone(CK_RV rv);

TokenCheck classify_token_check(CK_RV rv, const TokenIdentity* identity,
                                const ExpectedToken& expected);
TokenCheck check_token_in_slot(Module& module, CK_SLOT_ID slot, const ExpectedToken& expected);

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
