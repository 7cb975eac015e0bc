#pragma once

// In-memory streams, so the codec benchmarks time the codec and not the system.

#include "korvan/platform/streams.hpp"

#include <algorithm>
#include <vector>

namespace korvan::bench {

// Replays the same bytes again and again.
class ReplaySource final : public platform::ByteSource {
  public:
    explicit ReplaySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    void rewind() { at_ = 0; }
    platform::ReadResult read_some(std::span<std::uint8_t> into) override {
        if (at_ == bytes_.size()) {
            return {platform::ReadResult::Status::End, 0};
        }
        const std::size_t n = std::min(into.size(), bytes_.size() - at_);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, into.begin());
        at_ += n;
        return {platform::ReadResult::Status::Data, n};
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// Counts what it is given and keeps none of it.
class CountingSink final : public platform::ByteSink {
  public:
    bool write_all(std::span<const std::uint8_t> bytes) override {
        written_ += bytes.size();
        return true;
    }
    std::size_t written() const { return written_; }

  private:
    std::size_t written_ = 0;
};

// Collects everything, to build input for a ReplaySource.
class CollectingSink final : public platform::ByteSink {
  public:
    bool write_all(std::span<const std::uint8_t> bytes) override {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return true;
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
};

} // namespace korvan::bench
