#pragma once

// The parent application's side of the conversation: it writes requests and reads responses,
// with the same checks sign-cli applies, so no caller builds or parses frames by hand.

#include "korvan/platform/streams.hpp"
#include "korvan/sign_proto/frames.hpp"

#include <variant>

namespace korvan::sign_proto {

// Reads the marker line: EndOfInput when the child wrote nothing at all, Malformed when it wrote
// anything other than the marker.
struct Marker {};
std::variant<Marker, ReadFailure> read_marker(platform::ByteSource& in);

// Login, Sign, QueryTokenFlags and Close; a PIN of 0 or more than 255 bytes, a digest of a length
// other than 32, 48 or 64, and Reserved are Malformed.
EncodeOutcome encode_request(const Proto3Request& request);
WriteOutcome write_request(platform::ByteSink& out, const Proto3Request& request);

using ResponseRead = std::variant<Proto3Response, ReadFailure>;

// Reads one response; the frame buffer holds only zeros when this returns.
ResponseRead read_response(platform::ByteSource& in, FrameBuffer frame);

} // namespace korvan::sign_proto
