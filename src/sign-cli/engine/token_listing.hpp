#pragma once

// What a module's tokens hold, as sign-cli would see it: each token's identity and flags, and its
// keys by CKA_ID with the kind key resolution would give them. For the parent's developers and for
// administrators (sign-setup tokens); sign-cli itself never lists.

#include "engine/key_kind.hpp"
#include "engine/module.hpp"
#include "engine/token_identity.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvan::engine {

struct ListedKey {
    std::vector<std::uint8_t> cka_id;
    std::optional<KeyKind> kind; // what resolve_key_kind gives without a requested kind; none:
                                 // a key sign-cli cannot sign with
    bool always_authenticate = false;
    std::string label;        // CKA_LABEL, invalid UTF-8 replaced
    bool certificate = false; // a certificate with the same CKA_ID is on the token
    bool private_key = false; // seen as a private key (needs a login), else a public key only
};

// Why a token's listing is incomplete ("C_Login failed: rv=0xa0 CKR_PIN_INCORRECT"); the
// listing goes on with the other tokens.
struct ListingProblem {
    std::string text;
};

struct ListedTokenKeys {
    ListedToken token;
    bool logged_in = false;
    std::vector<ListedKey> keys; // in the order the module found them
    std::optional<ListingProblem> problem;
};

struct ListingRequest {
    // Log in on the token of this slot (and no other) with the PIN, to see its private keys.
    std::optional<CK_SLOT_ID> login_slot;
    std::span<const std::uint8_t> pin;
    // Log in even when the token says one more wrong PIN locks it.
    bool allow_final_try = false;
};

inline constexpr std::size_t max_listed_objects = 4096;

// The keys of each listed token (from list_token_identities) of an initialised module: for an
// initialised token one session, its public keys and certificates, and after a login (only on
// the request's slot) its private keys too. Keys of one CKA_ID are one entry (a private key and
// its public key). A locked PIN is never tried, nor a final try unless the request allows it.
std::vector<ListedTokenKeys> list_token_keys(Module& module, std::span<const ListedToken> tokens,
                                             const ListingRequest& request);

} // namespace korvan::engine
