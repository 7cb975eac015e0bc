#pragma once

// SHA-256 (FIPS 180-4) from the system's cryptographic library.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace korvan::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False once the library has failed; the digest is then never produced.
    bool update(std::span<const std::uint8_t> bytes);
    // Once only; none when the library failed at any step.
    std::optional<Sha256Digest> finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

std::optional<Sha256Digest> sha256(std::span<const std::uint8_t> bytes);
std::optional<Sha256Digest> sha256(std::string_view text);

} // namespace korvan::platform
