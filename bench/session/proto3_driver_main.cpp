// Drives sign-cli --proto=3 the way the parent does and times it.
//
// bench-proto3 session <sign-cli> <module> <cka_id-hex> <key-kind> <slot-id> <count>
//   one login, then <count> Sign requests in sequence; prints "ns_per_signature <n>" for the
//   requests alone (PIN on standard input)
// bench-proto3 hello <sign-cli> <module> <cka_id-hex> <key-kind> <slot-id>
//   prints "ns_to_hello <n>": from just before the child is started to its Hello frame; then
//   ends the input and expects Goodbye
// KORVAN_EXPECT_TOKEN and HOME pass through to sign-cli.

#include "session/proto3_child.hpp"
#include "support/inputs.hpp"

#include <array>
#include <chrono>
#include <iostream>

using namespace korvan::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view program = "bench-proto3";

std::int64_t ns_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

int session(Proto3Child& child, std::uint64_t count) {
    const auto pin = read_pin_line();
    if (!pin) {
        return fail(program, "no PIN on standard input");
    }
    if (auto problem = child.await_hello()) {
        return fail(program, *problem);
    }
    if (auto problem = child.log_in(*pin)) {
        return fail(program, *problem);
    }
    const std::array<std::uint8_t, 32> digest{0x5a, 0x01, 0x02, 0x03};
    const auto start = Clock::now();
    for (std::uint64_t i = 1; i <= count; ++i) {
        if (auto problem = child.sign(static_cast<std::uint32_t>(i), digest)) {
            return fail(program, *problem);
        }
    }
    const std::int64_t ns = ns_since(start);
    if (auto problem = child.close(false)) {
        return fail(program, *problem);
    }
    std::cout << "ns_per_signature " << ns / static_cast<std::int64_t>(count) << '\n';
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    const bool is_session = mode == "session" && argc == 8;
    if (!is_session && !(mode == "hello" && argc == 7)) {
        return fail(program, "usage: bench-proto3 session|hello <sign-cli> <module> <cka_id-hex> "
                             "<key-kind> <slot-id> [<count>]");
    }
    std::optional<std::uint64_t> count;
    if (is_session && !(count = parse_count(argv[7]))) {
        return fail(program, "bad count");
    }
    const auto start = Clock::now();
    auto started = Proto3Child::start(argv[2], {argv[3], argv[4], argv[5], argv[6]});
    if (auto* problem = std::get_if<std::string>(&started)) {
        return fail(program, *problem);
    }
    Proto3Child& child = std::get<Proto3Child>(started);
    if (is_session) {
        return session(child, *count);
    }
    if (auto problem = child.await_hello()) {
        return fail(program, *problem);
    }
    const std::int64_t ns = ns_since(start);
    if (auto problem = child.close(true)) {
        return fail(program, *problem);
    }
    std::cout << "ns_to_hello " << ns << '\n';
    return 0;
}
