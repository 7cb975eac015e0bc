#pragma once

// In-memory streams over the fuzz input, handing bytes out in small pieces so that every reader
// meets short reads.

#include "korvan/platform/streams.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvan::fuzz {

class InputSource final : public platform::ByteSource {
  public:
    explicit InputSource(std::span<const std::uint8_t> data, std::size_t chunk = 7)
        : data_(data), chunk_(chunk) {}
    platform::ReadResult read_some(std::span<std::uint8_t> into) override;
    std::size_t consumed() const { return next_; }
    std::span<const std::uint8_t> rest() const { return data_.subspan(next_); }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t chunk_;
    std::size_t next_ = 0;
};

class CollectingSink final : public platform::ByteSink {
  public:
    bool write_all(std::span<const std::uint8_t> bytes) override;
    std::vector<std::uint8_t> bytes;
};

} // namespace korvan::fuzz
