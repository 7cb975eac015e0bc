#include "korvan/platform/streams.hpp"

#include <cerrno>
#include <unistd.h>

namespace korvan::platform {

ReadResult HandleStream::read_some(std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(handle_), into.data(), into.size());
        if (n > 0) {
            return {ReadResult::Status::Data, static_cast<std::size_t>(n)};
        }
        if (n == 0 || errno == EPIPE) {
            return {ReadResult::Status::End, 0};
        }
        if (errno != EINTR) {
            return {ReadResult::Status::Error, 0};
        }
    }
}

bool HandleStream::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(static_cast<int>(handle_), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

NativeHandle standard_input() { return STDIN_FILENO; }
NativeHandle standard_output() { return STDOUT_FILENO; }
NativeHandle standard_error() { return STDERR_FILENO; }

} // namespace korvan::platform
