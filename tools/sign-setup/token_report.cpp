#include "token_report.hpp"

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
    {CKF_LOGIN_REQUIRED, "login_required"},         {CKF_USER_PIN_COUNT_LOW, "pin_count_low"},
    {CKF_USER_PIN_FINAL_TRY, "pin_final_try"},      {CKF_USER_PIN_LOCKED, "pin_locked"},
    {CKF_TOKEN_INITIALIZED, "initialized"},
};

std::string_view kind_text(const engine::ListedKey& key) {
    return key.kind ? engine::to_text(*key.kind) : std::string_view("unsupported");
}

// Text in quotes as JSON writes it, so that quotes, control characters and blanks stay visible.
std::string json_quoted(std::string_view text) {
    return nlohmann::json(std::string(text)).dump(-1, ' ', false,
                                                  nlohmann::json::error_handler_t::replace);
}

} // namespace

std::string expect_token_value(const engine::TokenIdentity& identity) {
    return hex_of(identity.serial) + ":" + hex_of(identity.label);
}

std::string tokens_text(std::string_view module, std::span<const engine::ListedTokenKeys> listing) {
    std::string out = fmt::format("module {}\n", module);
    if (listing.empty()) {
        out += "no slot holds a token\n";
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
    return out;
}

std::string tokens_json(std::string_view module, std::span<const engine::ListedTokenKeys> listing) {
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
        tokens.push_back({{"slot", token.slot},
                          {"label", token.identity.label},
                          {"serial", token.identity.serial},
                          {"expect_token", expect_token_value(token.identity)},
                          {"flags", std::move(flags)},
                          {"keys", std::move(keys)}});
    }
    const ordered report = {{"module", std::string(module)}, {"tokens", std::move(tokens)}};
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
