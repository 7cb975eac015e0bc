#pragma once

// A name for a file that is about to replace another: beside it, so that the final rename stays
// within one folder and one volume, and unique, so that writers at once never share it.

#include "korvan/platform/random.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace korvan::platform::detail {

inline std::optional<std::string> replacement_name(const std::string& path) {
    std::array<std::uint8_t, 8> random{};
    if (!fill_random(random)) {
        return std::nullopt;
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string name = path + ".new-";
    for (const std::uint8_t b : random) {
        name.push_back(digits[b >> 4]);
        name.push_back(digits[b & 0x0F]);
    }
    return name;
}

} // namespace korvan::platform::detail
