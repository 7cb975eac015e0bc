#include "engine/slot_listing.hpp"

namespace korvan::engine {

SlotContent slot_content(const ListedSlot& slot) {
    if (!slot.token_rv) {
        return SlotContent::Token;
    }
    const bool said_empty = !slot.info_rv && (slot.flags & CKF_TOKEN_PRESENT) == 0;
    if (said_empty || *slot.token_rv == CKR_TOKEN_NOT_PRESENT) {
        return SlotContent::NoCard;
    }
    return SlotContent::Unreadable;
}

std::vector<ListedSlot> list_slots(Module& module) {
    std::vector<ListedSlot> listing;
    for (const CK_SLOT_ID id : list_slot_ids(module, SlotScope::All)) {
        ListedSlot slot;
        slot.slot = id;
        CK_SLOT_INFO info{};
        const CK_RV info_rv = module.get_slot_info(id, &info).value_or(CKR_FUNCTION_NOT_SUPPORTED);
        if (info_rv == CKR_OK) {
            slot.description = normalize_token_text(info.slotDescription);
            slot.flags = info.flags;
        } else {
            slot.info_rv = info_rv;
        }
        const auto read = read_token_info(module, id);
        if (const auto* rv = std::get_if<CK_RV>(&read)) {
            slot.token_rv = *rv;
        }
        listing.push_back(std::move(slot));
    }
    return listing;
}

} // namespace korvan::engine
