// The floor of a signing session: one login, then only C_SignInit + C_Sign per signature on the
// same key, in this process.
//
// bench-sign-loop [--confirm-token] <module> <slot-id> <cka_id-hex> <count>   (PIN on stdin)
// Prints "ns_per_signature <n>" for the loop alone. --confirm-token adds the C_GetTokenInfo that
// sign-cli makes before every signature to see that the token was not swapped.

#include "floor/direct_token.hpp"
#include "support/inputs.hpp"

#include <array>
#include <chrono>
#include <iostream>

using namespace korvan::bench;

int main(int argc, char** argv) {
    constexpr std::string_view program = "bench-sign-loop";
    const bool confirm_token = argc > 1 && std::string_view(argv[1]) == "--confirm-token";
    if (confirm_token) {
        --argc;
        ++argv;
    }
    if (argc != 5) {
        return fail(program, "usage: bench-sign-loop [--confirm-token] <module> <slot-id> "
                             "<cka_id-hex> <count>");
    }
    const auto slot = parse_count(argv[2]);
    const auto id = parse_hex(argv[3]);
    const auto count = parse_count(argv[4]);
    const auto pin = read_pin_line();
    if (!slot || !id || !count || !pin) {
        return fail(program, "bad slot, CKA_ID, count or PIN");
    }
    auto opened = DirectToken::open(argv[1], *slot, *pin);
    if (auto* failure = std::get_if<DirectFailure>(&opened)) {
        return fail(program, failure->step);
    }
    DirectToken& token = std::get<DirectToken>(opened);
    auto found = token.find_key(*id);
    if (auto* failure = std::get_if<DirectFailure>(&found)) {
        return fail(program, failure->step);
    }
    const DirectKey key = std::get<DirectKey>(found);
    const std::array<std::uint8_t, 32> digest{0x5a, 0x01, 0x02, 0x03};
    const std::vector<std::uint8_t> data = data_for(key.type, digest);
    std::array<std::uint8_t, 1024> signature{};

    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < *count; ++i) {
        if (confirm_token) {
            if (auto failure = token.read_token_info()) {
                return fail(program, failure->step);
            }
        }
        auto signed_ = token.sign(key.handle, mechanism_for(key.type), data, signature);
        if (auto* failure = std::get_if<DirectFailure>(&signed_)) {
            return fail(program, failure->step);
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    std::cout << "ns_per_signature " << ns / static_cast<std::int64_t>(*count) << '\n';
    return 0;
}
