#pragma once

// What happens between starting a child and waiting for it, the same on every system: input in,
// both outputs collected at once so neither pipe fills and stalls the child. `Pipes` says how its
// system reads, writes and closes one end (End, none, read_all, write_input, close).

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvan::test {

// The child's three standard ends and the parent's: `to_child` writes standard input, `from_out`
// and `from_err` read (`none` where a layout has no such end; `from_err` is `to_child` itself when
// standard input and standard error are one duplex channel).
template <class Pipes> struct ChildChannels {
    using End = typename Pipes::End;
    End child[3] = {Pipes::none, Pipes::none, Pipes::none};
    End to_child = Pipes::none;
    End from_out = Pipes::none;
    End from_err = Pipes::none;
    std::vector<End> child_only; // closed in the parent once the child has its copies
};

template <class Pipes> void close_child_ends(const ChildChannels<Pipes>& c) {
    for (const auto end : c.child_only) {
        Pipes::close(end);
    }
}

// The parent's ends of a child that did not start.
template <class Pipes> void close_parent_ends(const ChildChannels<Pipes>& c) {
    for (const auto end : {c.to_child, c.from_out}) {
        if (end != Pipes::none) {
            Pipes::close(end);
        }
    }
    if (c.from_err != Pipes::none && c.from_err != c.to_child) {
        Pipes::close(c.from_err);
    }
}

// Why the run asks for standard handles no child can have, if it does.
inline std::optional<std::string> layout_problem(const ChildRun& run) {
    if (run.stdin_is_stderr && run.stderr_is_stdout) {
        return "stdin_is_stderr and stderr_is_stdout cannot be combined";
    }
    return std::nullopt;
}

// The result of a child that never ran; it fails the calling test with the reason.
inline ChildResult not_started(std::string failure) {
    ADD_FAILURE() << "the child did not start: " << failure;
    ChildResult result;
    result.start_failure = std::move(failure);
    return result;
}

// Writes the input and reads both outputs to their ends; every parent end is closed afterwards.
template <class Pipes>
void exchange(const ChildChannels<Pipes>& c, const ChildRun& run, ChildResult& result) {
    std::thread out_reader(Pipes::read_all, c.from_out, std::ref(result.out));
    if (run.stdin_is_stderr) {
        // One synchronous handle serves one call at a time: write first, then read.
        Pipes::write_input(c.to_child, run.input);
        Pipes::read_all(c.from_err, result.err); // closes the one duplex end
    } else {
        std::thread err_reader;
        if (c.from_err != Pipes::none) {
            err_reader = std::thread(Pipes::read_all, c.from_err, std::ref(result.err));
        }
        Pipes::write_input(c.to_child, run.input);
        Pipes::close(c.to_child);
        if (err_reader.joinable()) {
            err_reader.join();
        }
    }
    out_reader.join();
}

} // namespace korvan::test
