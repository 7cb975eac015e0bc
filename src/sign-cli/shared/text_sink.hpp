#pragma once

#include "korvan/platform/streams.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace korvan::cli {

// Writes text as its bytes; the result is dropped where a failed diagnostic changes nothing.
inline bool write_text(platform::ByteSink& sink, std::string_view text) {
    return sink.write_all(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                      text.size()));
}

} // namespace korvan::cli
