#include "proto2/pin_input.hpp"

#include "korvan/platform/unicode.hpp"

namespace korvan::cli {

std::optional<std::size_t> read_pin(platform::ByteSource& input, PinBuffer& buffer) {
    using Status = platform::ReadResult::Status;
    const auto bytes = buffer.span();
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const platform::ReadResult r = input.read_some(bytes.subspan(filled));
        if (r.status == Status::End) {
            break;
        }
        if (r.status == Status::Error) {
            return std::nullopt;
        }
        filled += r.count;
    }
    if (filled == bytes.size()) {
        // A full buffer is a PIN only if the input ends right there.
        platform::SecretArray<1> probe;
        if (input.read_some(probe.span()).status != Status::End) {
            return std::nullopt;
        }
    }
    if (!platform::is_valid_utf8(bytes.first(filled))) {
        return std::nullopt;
    }
    return filled;
}

} // namespace korvan::cli
