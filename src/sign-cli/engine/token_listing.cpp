#include "engine/token_listing.hpp"
#include "engine/key_resolution.hpp"
#include "engine/rv_name.hpp"
#include "engine/session_guard.hpp"

#include "korvan/platform/unicode.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <set>

namespace korvan::engine {
namespace {

std::string failed(std::string_view call, CK_RV rv) {
    return fmt::format("{} failed: {}", call, rv_text(rv));
}

struct Found {
    std::vector<CK_OBJECT_HANDLE> handles;
    std::optional<ListingProblem> problem;
};

// Every object of the class the session can see, at most max_listed_objects; the search is
// finished on every way out.
Found find_all(Module& module, CK_SESSION_HANDLE session, CK_OBJECT_CLASS object_class) {
    if (!module.has_object_search()) {
        return {{}, ListingProblem{"the module has no object search (C_FindObjects is null)"}};
    }
    CK_ATTRIBUTE search{CKA_CLASS, &object_class, sizeof object_class};
    if (const Call rv = module.find_objects_init(session, std::span(&search, 1)); *rv != CKR_OK) {
        return {{}, ListingProblem{failed("C_FindObjectsInit", *rv)}};
    }
    Found found;
    std::array<CK_OBJECT_HANDLE, 64> batch{};
    while (found.handles.size() < max_listed_objects) {
        CK_ULONG count = 0;
        const Call rv = module.find_objects(session, batch, &count);
        if (*rv != CKR_OK) {
            found.problem = ListingProblem{failed("C_FindObjects", *rv)};
            break;
        }
        if (count == 0) {
            break;
        }
        // A module claiming more than it was given room for still filled only the batch.
        const std::size_t filled = std::min<std::size_t>(count, batch.size());
        found.handles.insert(found.handles.end(), batch.begin(),
                             batch.begin() + static_cast<std::ptrdiff_t>(filled));
    }
    module.find_objects_final(session);
    return found;
}

// The key's attributes read the way key resolution reads them.
ListedKey read_key(Module& module, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                   bool private_key) {
    const auto read = [&](CK_ATTRIBUTE_TYPE type) {
        return read_attribute(module, session, object, type);
    };
    ListedKey key;
    key.cka_id = read(CKA_ID).value_or(std::vector<std::uint8_t>{});
    const std::optional<CK_KEY_TYPE> key_type = key_type_from(read(CKA_KEY_TYPE));
    std::optional<std::vector<std::uint8_t>> ec_params;
    if (key_type == CKK_EC) {
        ec_params = read(CKA_EC_PARAMS);
    }
    const KeyKindResolution resolution = resolve_key_kind(std::nullopt, key_type, ec_params);
    if (const auto* kind = std::get_if<KeyKind>(&resolution)) {
        key.kind = *kind;
    }
    if (private_key) {
        const auto always = read(CKA_ALWAYS_AUTHENTICATE);
        key.always_authenticate = always && always->size() == 1 && (*always)[0] != 0;
    }
    if (const auto label = read(CKA_LABEL)) {
        key.label = platform::utf8_lossy(*label);
    }
    key.private_key = private_key;
    return key;
}

// Logs in on the session when the token's PIN state allows a try; why not, otherwise.
std::optional<ListingProblem> log_in(Module& module, SessionGuard& session, CK_FLAGS flags,
                                     const ListingRequest& request) {
    if ((flags & CKF_USER_PIN_LOCKED) != 0) {
        return ListingProblem{"not logged in: the token says its PIN is locked"};
    }
    if ((flags & CKF_USER_PIN_FINAL_TRY) != 0 && !request.allow_final_try) {
        return ListingProblem{"not logged in: one more wrong PIN locks the token"};
    }
    const Call rv = module.login(session.handle(), CKU_USER, request.pin);
    if (!rv) {
        return ListingProblem{"not logged in: the module has no C_Login"};
    }
    // Logged in already: the login state belongs to the application, and it is one.
    if (*rv != CKR_OK && *rv != CKR_USER_ALREADY_LOGGED_IN) {
        return ListingProblem{failed("C_Login", *rv)};
    }
    session.logged_in();
    return std::nullopt;
}

void list_keys(Module& module, CK_SESSION_HANDLE session, ListedTokenKeys& entry) {
    std::vector<ListedKey>& keys = entry.keys;
    auto note = [&entry](const std::optional<ListingProblem>& problem) {
        if (problem && !entry.problem) {
            entry.problem = problem;
        }
    };
    if (entry.logged_in) {
        const Found found = find_all(module, session, CKO_PRIVATE_KEY);
        note(found.problem);
        for (const CK_OBJECT_HANDLE object : found.handles) {
            keys.push_back(read_key(module, session, object, true));
        }
    }
    const Found public_keys = find_all(module, session, CKO_PUBLIC_KEY);
    note(public_keys.problem);
    for (const CK_OBJECT_HANDLE object : public_keys.handles) {
        ListedKey key = read_key(module, session, object, false);
        const bool paired = std::any_of(keys.begin(), keys.end(), [&key](const ListedKey& other) {
            return other.private_key && other.cka_id == key.cka_id;
        });
        if (!paired) {
            keys.push_back(std::move(key));
        }
    }
    const Found certificates = find_all(module, session, CKO_CERTIFICATE);
    note(certificates.problem);
    std::set<std::vector<std::uint8_t>> certified;
    for (const CK_OBJECT_HANDLE object : certificates.handles) {
        certified.insert(
            read_attribute(module, session, object, CKA_ID).value_or(std::vector<std::uint8_t>{}));
    }
    for (ListedKey& key : keys) {
        key.certificate = certified.count(key.cka_id) != 0;
    }
}

} // namespace

std::vector<ListedTokenKeys> list_token_keys(Module& module, std::span<const ListedToken> tokens,
                                             const ListingRequest& request) {
    std::vector<ListedTokenKeys> listing;
    for (const ListedToken& token : tokens) {
        ListedTokenKeys& entry = listing.emplace_back(ListedTokenKeys{token, false, {}, {}});
        // An uninitialised token has no objects, and some modules refuse it a session.
        if ((token.flags & CKF_TOKEN_INITIALIZED) == 0) {
            continue;
        }
        CK_SESSION_HANDLE handle = 0;
        const Call opened = module.open_session(token.slot, &handle);
        if (!opened || *opened != CKR_OK) {
            entry.problem = ListingProblem{opened ? failed("C_OpenSession", *opened)
                                                  : "the module has no C_OpenSession"};
            continue;
        }
        SessionGuard session(module, handle);
        if (request.login_slot == token.slot) {
            entry.problem = log_in(module, session, token.flags, request);
            entry.logged_in = !entry.problem;
        }
        list_keys(module, handle, entry);
    }
    return listing;
}

} // namespace korvan::engine
