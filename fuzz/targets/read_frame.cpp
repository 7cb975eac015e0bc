// sign-cli's request decoder over a stream of frames. Every request it accepts must encode back
// to exactly the bytes it was read from (the parent's encoder being the other half of the wire),
// and the frame buffer must be clean after every read, whatever the outcome.

#include "byte_streams.hpp"
#include "check.hpp"

#include "korvan/sign_proto/child.hpp"
#include "korvan/sign_proto/parent.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

using namespace korvan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool accept_reserved = (data[0] & 1) != 0;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    fuzz::InputSource in(stream, 1 + data[0] % 13);

    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame;
    for (;;) {
        frame.fill(0xA5);
        const std::size_t start = in.consumed();
        const auto read = sign_proto::read_frame(in, frame, accept_reserved);
        fuzz::check(std::all_of(frame.begin(), frame.end(), [](std::uint8_t b) { return b == 0; }),
                    "frame buffer wiped after read_frame");
        const auto* request = std::get_if<sign_proto::Proto3Request>(&read);
        if (request == nullptr) {
            const auto failure = std::get<sign_proto::ReadFailure>(read);
            fuzz::check(failure != sign_proto::ReadFailure::Io, "no Io from a source that works");
            fuzz::check(failure != sign_proto::ReadFailure::EndOfInput || start == stream.size(),
                        "EndOfInput only before the first byte of a frame");
            return 0;
        }
        const auto consumed = stream.subspan(start, in.consumed() - start);
        if (std::holds_alternative<sign_proto::Reserved>(*request)) {
            fuzz::check(accept_reserved, "Reserved only when asked for");
            const std::array<std::uint8_t, 5> reserved{0, 0, 0, 1, 0x7F};
            fuzz::check(
                std::equal(consumed.begin(), consumed.end(), reserved.begin(), reserved.end()),
                "Reserved is its one five-byte frame");
            continue;
        }
        const auto encoded = sign_proto::encode_request(*request);
        const auto* bytes = std::get_if<platform::SecretBytes>(&encoded);
        fuzz::check(bytes != nullptr, "an accepted request can be encoded");
        fuzz::check(std::equal(bytes->begin(), bytes->end(), consumed.begin(), consumed.end()),
                    "an accepted request encodes to the bytes it came from");
    }
}
