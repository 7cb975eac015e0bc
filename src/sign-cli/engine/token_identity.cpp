#include "engine/token_identity.hpp"

#include "korvan/platform/unicode.hpp"

#include <algorithm>

namespace korvan::engine {
namespace {

bool is_control(char32_t c) {
    return c <= 0x1F || (c >= 0x7F && c <= 0x9F);
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

} // namespace

std::string normalize_token_text(std::span<const std::uint8_t> field) {
    std::u32string text = platform::utf8_to_code_points(platform::utf8_lossy(field));
    std::erase_if(text, is_control);
    const auto first = std::find_if_not(text.begin(), text.end(), is_white_space);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), is_white_space).base();
    std::string out;
    for (auto it = first; it < last; ++it) {
        platform::append_utf8(out, *it);
    }
    return out;
}

std::variant<TokenInfo, CK_RV> read_token_info(Module& module, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    const Call rv = module.get_token_info(slot, &info);
    if (!rv) {
        return token_info_missing;
    }
    if (*rv != CKR_OK) {
        return *rv;
    }
    return TokenInfo{{normalize_token_text(info.label), normalize_token_text(info.serialNumber)},
                     info.flags};
}

std::variant<TokenIdentity, CK_RV> read_token_identity(Module& module, CK_SLOT_ID slot) {
    auto read = read_token_info(module, slot);
    if (auto* info = std::get_if<TokenInfo>(&read)) {
        return std::move(info->identity);
    }
    return std::get<CK_RV>(read);
}

bool is_token_gone(CK_RV rv) {
    return rv == CKR_SLOT_ID_INVALID || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT ||
           rv == CKR_TOKEN_NOT_RECOGNIZED;
}

TokenCheck classify_token_check(CK_RV rv, const TokenIdentity* identity,
                                const ExpectedToken& expected) {
    if (is_token_gone(rv)) {
        return token_check::Changed{};
    }
    if (rv != CKR_OK || identity == nullptr) {
        return token_check::Failed{rv};
    }
    // A serial number identifies the token by itself; only a token without one is known by label.
    const bool same = expected.serial.empty()
                          ? identity->serial.empty() && identity->label == expected.label
                          : identity->serial == expected.serial;
    if (same) {
        return token_check::Match{};
    }
    return token_check::Changed{};
}

bool matches_by_serial_alone(const TokenIdentity& identity, const ExpectedToken& expected) {
    return !expected.serial.empty() && identity.serial == expected.serial &&
           identity.label != expected.label;
}

bool serial_names_one_token(std::span<const ListedToken> listing, CK_SLOT_ID slot,
                            const std::string& serial) {
    return std::none_of(listing.begin(), listing.end(), [&](const ListedToken& entry) {
        return entry.slot != slot && entry.identity.serial == serial;
    });
}

TokenCheck check_token_identity(Module& module, CK_SLOT_ID slot, const TokenIdentity& identity,
                                const ExpectedToken& expected) {
    const TokenCheck check = classify_token_check(CKR_OK, &identity, expected);
    if (std::holds_alternative<token_check::Match>(check) &&
        matches_by_serial_alone(identity, expected) &&
        !serial_names_one_token(list_token_identities(module), slot, identity.serial)) {
        return token_check::Changed{};
    }
    return check;
}

TokenCheck check_token_in_slot(Module& module, CK_SLOT_ID slot, const ExpectedToken& expected) {
    const auto read = read_token_identity(module, slot);
    if (const auto* identity = std::get_if<TokenIdentity>(&read)) {
        return check_token_identity(module, slot, *identity, expected);
    }
    return classify_token_check(std::get<CK_RV>(read), nullptr, expected);
}

std::vector<CK_SLOT_ID> list_slot_ids(Module& module, SlotScope scope) {
    const auto slot_list = [&](CK_SLOT_ID* slots, CK_ULONG* count) {
        return scope == SlotScope::WithToken ? module.get_slot_list(slots, count)
                                             : module.get_all_slots(slots, count);
    };
    CK_ULONG count = 0;
    const Call counted = slot_list(nullptr, &count);
    if (!counted || *counted != CKR_OK || count == 0) {
        return {};
    }
    const CK_ULONG limit = std::min<CK_ULONG>(count, max_listed_slots);
    std::vector<CK_SLOT_ID> slots(limit, 0);
    CK_ULONG returned = limit;
    const Call listed = slot_list(slots.data(), &returned);
    if (!listed || (*listed != CKR_OK && *listed != CKR_BUFFER_TOO_SMALL)) {
        return {};
    }
    // The second answer may claim more slots than the array holds; only the array is trusted.
    slots.resize(std::min(limit, returned));
    return slots;
}

std::vector<ListedToken> list_token_identities(Module& module) {
    std::vector<ListedToken> listing;
    for (const CK_SLOT_ID slot : list_slot_ids(module, SlotScope::WithToken)) {
        auto read = read_token_info(module, slot);
        if (auto* info = std::get_if<TokenInfo>(&read)) {
            listing.push_back({slot, std::move(info->identity), info->flags});
        }
    }
    return listing;
}

std::optional<CK_SLOT_ID> find_unique_token(std::span<const ListedToken> listing,
                                            const ExpectedToken& expected) {
    if (expected.serial.empty()) {
        return std::nullopt;
    }
    std::optional<CK_SLOT_ID> found;
    for (const ListedToken& entry : listing) {
        if (entry.identity.serial == expected.serial && entry.identity.label == expected.label) {
            if (found) {
                return std::nullopt;
            }
            found = entry.slot;
        }
    }
    return found;
}

std::variant<CK_SLOT_ID, token_check::Changed, token_check::Failed>
locate_token(Module& module, CK_SLOT_ID requested, const ExpectedToken& expected) {
    const auto read = read_token_identity(module, requested);
    const auto* identity = std::get_if<TokenIdentity>(&read);
    const CK_RV rv = identity != nullptr ? CKR_OK : std::get<CK_RV>(read);
    const TokenCheck check = classify_token_check(rv, identity, expected);
    if (const auto* failed = std::get_if<token_check::Failed>(&check)) {
        return *failed;
    }
    const bool match = std::holds_alternative<token_check::Match>(check);
    if (match && !matches_by_serial_alone(*identity, expected)) {
        return requested;
    }
    // One listing serves both questions: is the serial shared, and where is the expected token.
    const std::vector<ListedToken> listing = list_token_identities(module);
    if (match && serial_names_one_token(listing, requested, identity->serial)) {
        return requested;
    }
    if (const auto slot = find_unique_token(listing, expected)) {
        return *slot;
    }
    return token_check::Changed{};
}

} // namespace korvan::engine
