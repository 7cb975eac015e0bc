#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvan::platform {

struct ReadResult {
    enum class Status { Data, End, Error };
    Status status;
    std::size_t count; // bytes read, for Data
};

// Raw byte streams: no text-mode translation in either direction.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // At least one byte, or End (the writer has gone, the file has ended), or Error. Interrupted
    // reads and a pipe writer's zero-byte writes are waited out inside.
    virtual ReadResult read_some(std::span<std::uint8_t> into) = 0;
};

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Writes every byte (retrying partial writes); false when the stream refused.
    virtual bool write_all(std::span<const std::uint8_t> bytes) = 0;
};

// A handle of the operating system: a HANDLE on Windows, a file descriptor elsewhere.
using NativeHandle = std::intptr_t;

class HandleStream final : public ByteSource, public ByteSink {
  public:
    explicit HandleStream(NativeHandle handle) : handle_(handle) {}
    ReadResult read_some(std::span<std::uint8_t> into) override;
    bool write_all(std::span<const std::uint8_t> bytes) override;
    NativeHandle handle() const { return handle_; }

  private:
    NativeHandle handle_;
};

// The process's current standard handles, looked up at each call.
NativeHandle standard_input();
NativeHandle standard_output();
NativeHandle standard_error();

} // namespace korvan::platform
