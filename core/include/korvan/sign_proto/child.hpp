#pragma once

// sign-cli's side of the conversation: it reads requests and writes responses.

#include "korvan/platform/streams.hpp"
#include "korvan/sign_proto/frames.hpp"

#include <variant>

namespace korvan::sign_proto {

using RequestRead = std::variant<Proto3Request, ReadFailure>;

// Reads one request. Lengths are checked before anything after them is read; the frame buffer
// holds only zeros when this returns, whatever the outcome.
RequestRead read_frame(platform::ByteSource& in, FrameBuffer frame, bool accept_reserved);

// The complete frame, in a buffer wiped when it is released.
EncodeOutcome encode_frame(const Proto3Response& response);
WriteOutcome write_frame(platform::ByteSink& out, const Proto3Response& response);

} // namespace korvan::sign_proto
