// Drives sign-cli --proto=3 the way the parent does and times it.
//
// bench-proto3 session <sign-cli> <module> <cka_id-hex> <key-kind> <slot-id> <count> <block>
//   one sign-cli session (one login, then <count> Sign requests in sequence) and, in this
//   process, the floor on the same key: a session of its own doing only C_SignInit + C_Sign, and
//   the same with the C_GetTokenInfo sign-cli makes before every signature. The three take turns
//   in blocks of <block> signatures, the order turned round every block, so a slow spell of the
//   machine falls on all three alike. Prints per block "block <sign-cli> <floor> <floor+check>",
//   nanoseconds per signature. PIN on standard input.
// bench-proto3 hello <sign-cli> <module> <cka_id-hex> <key-kind> <slot-id>
//   prints "ns_to_hello <n>": from just before the child is started to its Hello frame; then
//   ends the input and expects Goodbye
// KORVAN_EXPECT_TOKEN and HOME pass through to sign-cli.

#include "floor/direct_token.hpp"
#include "session/proto3_child.hpp"
#include "support/inputs.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <iostream>

using namespace korvan::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view program = "bench-proto3";
constexpr std::array<std::uint8_t, 32> digest{0x5a, 0x01, 0x02, 0x03};

std::int64_t ns_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// One signature; the problem when it failed.
using SignOnce = std::function<std::optional<std::string>()>;

// Nanoseconds per signature over `count` signatures, or none after a failure (printed).
std::optional<std::int64_t> time_block(const SignOnce& sign, std::uint64_t count) {
    const auto start = Clock::now();
    for (std::uint64_t i = 0; i < count; ++i) {
        if (auto problem = sign()) {
            fail(program, *problem);
            return std::nullopt;
        }
    }
    return ns_since(start) / static_cast<std::int64_t>(count);
}

struct SessionArgs {
    std::string module;
    std::vector<std::uint8_t> cka_id;
    std::uint64_t slot = 0;
    std::uint64_t count = 0;
    std::uint64_t block = 0;
};

int session(Proto3Child& child, const SessionArgs& args) {
    const auto pin = read_pin_line();
    if (!pin) {
        return fail(program, "no PIN on standard input");
    }
    auto opened = DirectToken::open(args.module, args.slot, *pin);
    if (auto* failure = std::get_if<DirectFailure>(&opened)) {
        return fail(program, failure->step);
    }
    DirectToken& token = std::get<DirectToken>(opened);
    auto found = token.find_key(args.cka_id);
    if (auto* failure = std::get_if<DirectFailure>(&found)) {
        return fail(program, failure->step);
    }
    const DirectKey key = std::get<DirectKey>(found);
    const std::vector<std::uint8_t> data = data_for(key.type, digest);
    std::array<std::uint8_t, 1024> signature{};
    const auto floor_once = [&]() -> std::optional<std::string> {
        auto signed_ = token.sign(key.handle, mechanism_for(key.type), data, signature);
        if (auto* failure = std::get_if<DirectFailure>(&signed_)) {
            return failure->step;
        }
        return std::nullopt;
    };
    const auto checked_once = [&]() -> std::optional<std::string> {
        if (auto failure = token.read_token_info()) {
            return failure->step;
        }
        return floor_once();
    };

    if (auto problem = child.await_hello()) {
        return fail(program, *problem);
    }
    if (auto problem = child.log_in(*pin)) {
        return fail(program, *problem);
    }
    std::uint32_t request_id = 0;
    const auto sign_cli_once = [&]() { return child.sign(++request_id, digest); };

    const std::array<SignOnce, 3> kinds{sign_cli_once, floor_once, checked_once};
    for (std::uint64_t done = 0, turn = 0; done < args.count; done += args.block, ++turn) {
        const std::uint64_t n = std::min(args.block, args.count - done);
        std::array<std::int64_t, 3> ns{};
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const std::size_t which = turn % 2 == 0 ? k : kinds.size() - 1 - k;
            const auto timed = time_block(kinds[which], n);
            if (!timed) {
                return 1;
            }
            ns[which] = *timed;
        }
        std::cout << "block " << ns[0] << ' ' << ns[1] << ' ' << ns[2] << '\n';
    }
    if (auto problem = child.close(false)) {
        return fail(program, *problem);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    const bool is_session = mode == "session" && argc == 9;
    if (!is_session && !(mode == "hello" && argc == 7)) {
        return fail(program, "usage: bench-proto3 session|hello <sign-cli> <module> <cka_id-hex> "
                             "<key-kind> <slot-id> [<count> <block>]");
    }
    SessionArgs args;
    if (is_session) {
        const auto id = parse_hex(argv[4]);
        const auto slot = parse_number(argv[6]);
        const auto count = parse_count(argv[7]);
        const auto block = parse_count(argv[8]);
        if (!id || !slot || !count || !block) {
            return fail(program, "bad CKA_ID, slot, count or block");
        }
        args = {argv[3], *id, *slot, *count, *block};
    }
    const auto start = Clock::now();
    auto started = Proto3Child::start(argv[2], {argv[3], argv[4], argv[5], argv[6]});
    if (auto* problem = std::get_if<std::string>(&started)) {
        return fail(program, *problem);
    }
    Proto3Child& child = std::get<Proto3Child>(started);
    if (is_session) {
        return session(child, args);
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
