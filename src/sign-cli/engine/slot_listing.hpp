#pragma once

// Every slot a module reports, with a card in it or not, for telling "insert your card" from
// "another card" and from a card the module cannot read (sign-setup tokens); sign-cli never lists.

#include "engine/module.hpp"
#include "engine/token_identity.hpp"

#include <optional>
#include <string>
#include <vector>

namespace korvan::engine {

struct ListedSlot {
    CK_SLOT_ID slot = 0;
    std::string description;       // the reader, as CK_SLOT_INFO names it (normalised)
    CK_FLAGS flags = 0;            // CK_SLOT_INFO.flags; 0 when they could not be read
    std::optional<CK_RV> info_rv;  // C_GetSlotInfo's failure
    std::optional<CK_RV> token_rv; // C_GetTokenInfo's failure on this slot
};

enum class SlotContent { Token, NoCard, Unreadable };

// A slot whose token the module reads holds a token; one that says no token is present, or whose
// C_GetTokenInfo answers CKR_TOKEN_NOT_PRESENT, has no card; any other failure is a card the
// module cannot read.
SlotContent slot_content(const ListedSlot& slot);

std::vector<ListedSlot> list_slots(Module& module);

} // namespace korvan::engine
