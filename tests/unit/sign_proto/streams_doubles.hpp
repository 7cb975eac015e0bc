#pragma once

// In-memory streams for the codec tests.

#include "korvan/platform/streams.hpp"
#include "korvan/sign_proto/frames.hpp"

#include <algorithm>
#include <array>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace korvan::sign_proto::testing {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::initializer_list<unsigned> values);
Bytes operator+(Bytes a, const Bytes& b);
Bytes repeated(std::uint8_t value, std::size_t count);

// Hands out its bytes at most `chunk` at a time, then ends (or fails, with fail_at_end).
class ScriptedSource final : public platform::ByteSource {
  public:
    explicit ScriptedSource(Bytes data, std::size_t chunk = 4096, bool fail_at_end = false)
        : data_(std::move(data)), chunk_(chunk), fail_at_end_(fail_at_end) {}
    platform::ReadResult read_some(std::span<std::uint8_t> into) override;
    std::size_t consumed() const { return next_; }

  private:
    Bytes data_;
    std::size_t chunk_;
    bool fail_at_end_;
    std::size_t next_ = 0;
};

// A frame buffer that starts dirty, so a missed wipe shows.
struct DirtyFrame {
    std::array<std::uint8_t, frame_buffer_size> storage;
    DirtyFrame() { storage.fill(0xA5); }
    FrameBuffer span() { return storage; }
    bool all_zero() const {
        return std::all_of(storage.begin(), storage.end(), [](std::uint8_t b) { return b == 0; });
    }
};

class RecordingSink final : public platform::ByteSink {
  public:
    explicit RecordingSink(bool refuse = false) : refuse_(refuse) {}
    bool write_all(std::span<const std::uint8_t> bytes) override;
    Bytes written;
    std::size_t calls = 0;

  private:
    bool refuse_;
};

} // namespace korvan::sign_proto::testing
