#pragma once

#include "korvan/platform/streams.hpp"

namespace korvan::cli {

// Standard error as the process has it at the moment of each write: stream isolation may give it
// a handle of its own, and a sink holding the old one would then write into a closed handle.
class StandardError final : public platform::ByteSink {
  public:
    bool write_all(std::span<const std::uint8_t> bytes) override {
        platform::HandleStream error(platform::standard_error());
        return error.write_all(bytes);
    }
};

} // namespace korvan::cli
