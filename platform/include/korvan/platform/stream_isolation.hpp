#pragma once

// Takes the standard streams away from foreign code before a module is loaded: afterwards only
// the two private handles reach the parent's channel, standard input reads the null device and
// standard output writes to standard error.

#include "korvan/platform/streams.hpp"

#include <optional>
#include <string_view>
#include <variant>

namespace korvan::platform {

// Duplicates of the original standard input and output; not inheritable. The caller owns them.
struct IsolatedStreams {
    NativeHandle input;
    NativeHandle output;
};

// `step` names the step that failed ("standard handles", "dup stdin", ...). From the first step
// after both duplicates were made, `output_copy` is one more duplicate of the private output
// (when one could be made), owned by the caller; the private handles themselves are closed.
struct IsolationFailure {
    std::string_view step;
    std::optional<NativeHandle> output_copy;
};

using IsolationResult = std::variant<IsolatedStreams, IsolationFailure>;

// Runs once, on the only thread, before any module is loaded. Standard error keeps working in
// every layout that is accepted, including standard input and standard error being one handle.
IsolationResult isolate_standard_streams();

void close_handle(NativeHandle handle);

} // namespace korvan::platform
