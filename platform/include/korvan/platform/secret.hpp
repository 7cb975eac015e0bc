#pragma once

#include "korvan/platform/secure_zero.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvan::platform {

// A fixed buffer for a secret: wiped over its whole size when it dies, and on demand.
template <std::size_t N> class SecretArray {
  public:
    SecretArray() = default;
    SecretArray(const SecretArray&) = delete;
    SecretArray& operator=(const SecretArray&) = delete;
    ~SecretArray() { wipe(); }

    void wipe() { secure_zero(bytes_.data(), bytes_.size()); }
    std::span<std::uint8_t, N> span() { return bytes_; }
    std::span<const std::uint8_t, N> span() const { return bytes_; }
    static constexpr std::size_t size() { return N; }

  private:
    std::array<std::uint8_t, N> bytes_{};
};

} // namespace korvan::platform
