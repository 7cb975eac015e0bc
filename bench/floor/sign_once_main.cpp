// The floor of one protocol-2 run: a program making the same PKCS#11 calls as sign-cli for one
// signature, from load to unload, and printing it.
//
// bench-sign-once <module> <digest-hex> <cka_id-hex> <slot-id>   (PIN on standard input)

#include "floor/direct_token.hpp"
#include "support/inputs.hpp"

#include <array>
#include <cstdio>

using namespace korvan::bench;

int main(int argc, char** argv) {
    constexpr std::string_view program = "bench-sign-once";
    if (argc != 5) {
        return fail(program, "usage: bench-sign-once <module> <digest-hex> <cka_id-hex> <slot-id>");
    }
    const auto digest = parse_hex(argv[2]);
    const auto id = parse_hex(argv[3]);
    const auto slot = parse_number(argv[4]);
    const auto pin = read_pin_line();
    if (!digest || !id || !slot || !pin) {
        return fail(program, "bad digest, CKA_ID, slot or PIN");
    }
    std::array<std::uint8_t, 1024> signature{};
    std::size_t length = 0;
    {
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
        auto signed_ =
            token.sign(key.handle, mechanism_for(key.type), data_for(key.type, *digest), signature);
        if (auto* failure = std::get_if<DirectFailure>(&signed_)) {
            return fail(program, failure->step);
        }
        length = std::get<std::size_t>(signed_);
    }
    for (std::size_t i = 0; i < length; ++i) {
        std::printf("%02x", signature[i]);
    }
    std::printf("\n");
    return 0;
}
