#include "korvan/platform/sha256.hpp"

namespace korvan::platform {

std::optional<Sha256Digest> sha256(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.finish();
}

std::optional<Sha256Digest> sha256(std::string_view text) {
    return sha256(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size()));
}

} // namespace korvan::platform
