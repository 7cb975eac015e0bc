#pragma once

// sign-cli --proto=3 as a child, spoken to through the parent's side of the frame codec.

#include "korvan/platform/child_process.hpp"
#include "korvan/sign_proto/parent.hpp"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace korvan::bench {

class Proto3Child {
  public:
    // Starts `sign_cli --proto=3 args...`; the failure's words when it cannot.
    static std::variant<Proto3Child, std::string> start(const std::string& sign_cli,
                                                        const std::vector<std::string>& args);

    // The marker line, then the Hello frame.
    std::optional<std::string> await_hello();
    // Login, answered by SessionReady.
    std::optional<std::string> log_in(std::span<const std::uint8_t> pin);
    // Sign, answered by the Signature of the same request id.
    std::optional<std::string> sign(std::uint32_t request_id, std::span<const std::uint8_t> digest);
    // Close (or the end of input when `by_end_of_input`), Goodbye, and exit code 0.
    std::optional<std::string> close(bool by_end_of_input);

  private:
    explicit Proto3Child(platform::ChildProcess child) : child_(std::move(child)) {}
    std::variant<sign_proto::Proto3Response, std::string> next(std::string_view awaited);

    platform::ChildProcess child_;
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame_{};
};

} // namespace korvan::bench
