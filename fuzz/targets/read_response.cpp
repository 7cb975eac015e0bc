// The parent's side: the marker line, then responses until the stream breaks or ends. A response
// it accepts must encode back (with sign-cli's encoder) to the bytes it was read from, and the
// frame buffer must be clean after every read.

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
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    fuzz::InputSource in(stream, 1 + data[0] % 13);

    const auto marker = sign_proto::read_marker(in);
    const auto expected = sign_proto::marker_line();
    const bool starts_with_marker = stream.size() >= expected.size() &&
                                    std::equal(expected.begin(), expected.end(), stream.begin());
    fuzz::check(std::holds_alternative<sign_proto::Marker>(marker) == starts_with_marker,
                "the marker is accepted exactly when the stream starts with it");
    if (!starts_with_marker) {
        fuzz::check(in.consumed() <= expected.size(), "no read past a rejected marker");
        return 0;
    }

    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame;
    for (;;) {
        frame.fill(0xA5);
        const std::size_t start = in.consumed();
        const auto read = sign_proto::read_response(in, frame);
        fuzz::check(std::all_of(frame.begin(), frame.end(), [](std::uint8_t b) { return b == 0; }),
                    "frame buffer wiped after read_response");
        const auto* response = std::get_if<sign_proto::Proto3Response>(&read);
        if (response == nullptr) {
            const auto failure = std::get<sign_proto::ReadFailure>(read);
            fuzz::check(failure != sign_proto::ReadFailure::Io, "no Io from a source that works");
            fuzz::check(failure != sign_proto::ReadFailure::EndOfInput || start == stream.size(),
                        "EndOfInput only before the first byte of a frame");
            return 0;
        }
        const auto consumed = stream.subspan(start, in.consumed() - start);
        const auto encoded = sign_proto::encode_frame(*response);
        const auto* bytes = std::get_if<platform::SecretBytes>(&encoded);
        fuzz::check(bytes != nullptr, "an accepted response can be encoded");
        fuzz::check(std::equal(bytes->begin(), bytes->end(), consumed.begin(), consumed.end()),
                    "an accepted response encodes to the bytes it came from");
    }
}
