#include "token_report.hpp"

#include "engine/rv_name.hpp"

#include "korvan/app_dirs/module_policy.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <map>

namespace korvan::setup {
namespace {

std::string hex_of(std::string_view text) {
    return app_dirs::hex_lower(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

struct FlagName {
    CK_FLAGS bit;
    const char* name;
};
constexpr FlagName flag_names[] = {
    {CKF_LOGIN_REQUIRED, "login_required"},
    {CKF_USER_PIN_COUNT_LOW, "pin_count_low"},
    {CKF_USER_PIN_FINAL_TRY, "pin_final_try"},
    {CKF_USER_PIN_LOCKED, "pin_locked"},
    {CKF_TOKEN_INITIALIZED, "initialized"},
    {CKF_PROTECTED_AUTHENTICATION_PATH, "protected_authentication_path"},
};

std::string_view kind_text(const engine::ListedKey& key) {
    return key.kind ? engine::to_text(*key.kind) : std::string_view("unsupported");
}

// Text in quotes as JSON writes it, so that quotes, control characters and blanks stay visible.
std::string json_quoted(std::string_view text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const engine::ListedSlot* slot_of(std::span<const engine::ListedSlot> slots, CK_SLOT_ID id) {
    for (const engine::ListedSlot& slot : slots) {
        if (slot.slot == id) {
            return &slot;
        }
    }
    return nullptr;
}

bool removable(const engine::ListedSlot* slot) {
    return slot != nullptr && (slot->flags & CKF_REMOVABLE_DEVICE) != 0;
}

// 'reader "…", removable' for a person; nothing when the module did not describe the slot.
std::string reader_text(const engine::ListedSlot* slot) {
    if (slot == nullptr || slot->info_rv) {
        return {};
    }
    return fmt::format("reader {}{}", json_quoted(slot->description),
                       removable(slot) ? ", removable" : "");
}

std::string content_name(engine::SlotContent content) {
    switch (content) {
    case engine::SlotContent::Token:
        return "token";
    case engine::SlotContent::NoCard:
        return "no_card";
    case engine::SlotContent::Unreadable:
        break;
    }
    return "unreadable";
}

// The slots that hold no token the module can read, one line each.
std::string empty_slots_text(std::span<const engine::ListedSlot> slots) {
    std::string out;
    for (const engine::ListedSlot& slot : slots) {
        const engine::SlotContent content = engine::slot_content(slot);
        if (content == engine::SlotContent::Token) {
            continue;
        }
        const std::string reader = reader_text(&slot);
        const std::string what =
            content == engine::SlotContent::NoCard
                ? std::string("no card")
                : fmt::format("a card the module cannot read (C_GetTokenInfo {})",
                              engine::rv_text(*slot.token_rv));
        out += fmt::format("slot {}: {}{}\n", slot.slot, what,
                           reader.empty() ? "" : " (" + reader + ")");
    }
    return out;
}

} // namespace

std::string slot_problem_text(std::span<const engine::ListedSlot> slots, CK_SLOT_ID id) {
    const engine::ListedSlot* slot = slot_of(slots, id);
    if (slot == nullptr) {
        return "the module reports no such slot";
    }
    switch (engine::slot_content(*slot)) {
    case engine::SlotContent::NoCard:
        return "no card in the reader";
    case engine::SlotContent::Unreadable:
        return fmt::format("the module cannot read the card (C_GetTokenInfo {})",
                           engine::rv_text(*slot->token_rv));
    case engine::SlotContent::Token:
        break;
    }
    return "the token went away while it was listed";
}

std::string expect_token_value(const engine::TokenIdentity& identity) {
    return hex_of(identity.serial) + ":" + hex_of(identity.label);
}

std::string tokens_text(std::string_view module, std::span<const engine::ListedTokenKeys> listing,
                        std::span<const engine::ListedSlot> slots) {
    std::string out = fmt::format("module {}\n", module);
    if (listing.empty()) {
        out += "no slot holds a token\n";
    }
    if (listing.empty() && slots.empty()) {
        out += "the module reports no slot at all (a reader's module: no reader is connected, or "
               "the smart-card service is not running)\n";
    }
    for (const engine::ListedTokenKeys& entry : listing) {
        const engine::ListedToken& token = entry.token;
        out += fmt::format("slot {}: label {}, serial {}\n", token.slot,
                           json_quoted(token.identity.label), json_quoted(token.identity.serial));
        out += fmt::format("  KORVAN_EXPECT_TOKEN={}\n", expect_token_value(token.identity));
        std::string flags;
        for (const FlagName& flag : flag_names) {
            if ((token.flags & flag.bit) != 0) {
                flags += flags.empty() ? "" : " ";
                flags += flag.name;
            }
        }
        out += fmt::format("  flags: {}\n", flags.empty() ? "-" : flags);
        if (const std::string reader = reader_text(slot_of(slots, token.slot)); !reader.empty()) {
            out += fmt::format("  {}\n", reader);
        }
        for (const engine::ListedKey& key : entry.keys) {
            out += fmt::format("  key {} {} label {}{}{}{}\n",
                               key.cka_id.empty() ? "-" : app_dirs::hex_lower(key.cka_id),
                               kind_text(key), json_quoted(key.label),
                               key.private_key ? " private-key" : " public-key",
                               key.certificate ? " certificate" : "",
                               key.always_authenticate ? " always-authenticate" : "");
        }
        if ((token.flags & CKF_TOKEN_INITIALIZED) == 0) {
            out += "  not initialised: it has no user PIN, sign-cli cannot log in to it\n";
        } else if (entry.keys.empty()) {
            out += entry.logged_in ? "  no keys\n"
                                   : "  no public keys (private keys show with --login)\n";
        }
    }
    return out + empty_slots_text(slots);
}

std::string tokens_json(std::string_view module, std::span<const engine::ListedTokenKeys> listing,
                        std::span<const engine::ListedSlot> slots) {
    using ordered = nlohmann::ordered_json;
    ordered tokens = ordered::array();
    for (const engine::ListedTokenKeys& entry : listing) {
        const engine::ListedToken& token = entry.token;
        ordered flags = ordered::object();
        for (const FlagName& flag : flag_names) {
            flags[flag.name] = (token.flags & flag.bit) != 0;
        }
        ordered keys = ordered::array();
        for (const engine::ListedKey& key : entry.keys) {
            keys.push_back({{"cka_id", app_dirs::hex_lower(key.cka_id)},
                            {"kind", kind_text(key)},
                            {"always_authenticate", key.always_authenticate},
                            {"label", key.label},
                            {"certificate", key.certificate},
                            {"private_key", key.private_key}});
        }
        const engine::ListedSlot* slot = slot_of(slots, token.slot);
        tokens.push_back({{"slot", token.slot},
                          {"label", token.identity.label},
                          {"serial", token.identity.serial},
                          {"expect_token", expect_token_value(token.identity)},
                          {"flags", std::move(flags)},
                          {"reader", slot != nullptr ? slot->description : std::string()},
                          {"removable", removable(slot)},
                          {"keys", std::move(keys)}});
    }
    ordered slot_list = ordered::array();
    for (const engine::ListedSlot& slot : slots) {
        slot_list.push_back(
            {{"slot", slot.slot},
             {"reader", slot.description},
             {"removable", removable(&slot)},
             {"content", content_name(engine::slot_content(slot))},
             {"token_info_rv", slot.token_rv ? ordered(*slot.token_rv) : ordered()}});
    }
    const ordered report = {{"module", std::string(module)},
                            {"tokens", std::move(tokens)},
                            {"slots", std::move(slot_list)}};
    return report.dump(2, ' ', false, ordered::error_handler_t::replace) + "\n";
}

std::vector<std::string> shared_serial_warnings(std::span<const engine::ListedToken> tokens) {
    std::map<std::string, std::vector<const engine::ListedToken*>> by_serial;
    for (const engine::ListedToken& token : tokens) {
        if (!token.identity.serial.empty()) {
            by_serial[token.identity.serial].push_back(&token);
        }
    }
    std::vector<std::string> warnings;
    for (const auto& [serial, sharing] : by_serial) {
        if (sharing.size() < 2) {
            continue;
        }
        std::string slots;
        bool same_label = true;
        for (const engine::ListedToken* token : sharing) {
            slots += fmt::format("{}{}", slots.empty() ? "" : ", ", token->slot);
            same_label = same_label && token->identity.label == sharing.front()->identity.label;
        }
        warnings.push_back(fmt::format(
            "the tokens in slots {} report the same serial number {}: sign-cli tells them apart "
            "by the label in KORVAN_EXPECT_TOKEN{}",
            slots, json_quoted(serial),
            same_label ? ", and their labels are the same too: only the slot id names one" : ""));
    }
    return warnings;
}

} // namespace korvan::setup
