#pragma once

#include "engine/key_kind.hpp"

#include "korvan/platform/library.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvan::engine {

// The token the parent expects; compared as sent, without normalisation.
struct ExpectedToken {
    std::string serial;
    std::string label;
};

struct SignRequest {
    std::string module_path;
    const platform::ModuleFile* held_module = nullptr; // the file the policy hashed, if it did
    std::span<const std::uint8_t> pin;                 // a view into the front end's wiped buffer
    std::vector<std::uint8_t> digest;                  // empty in verify mode
    std::vector<std::uint8_t> cka_id;                  // empty: no CKA_ID filter
    std::optional<KeyKind> requested_kind;
    bool verify_only = false;
    std::uint32_t slot_id = 0;
    ExpectedToken expected_token;
};

} // namespace korvan::engine
