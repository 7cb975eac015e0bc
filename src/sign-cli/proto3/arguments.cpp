#include "proto3/arguments.hpp"
#include "shared/arguments.hpp"
#include "shared/hex.hpp"

#include <limits>

namespace korvan::cli {

std::variant<Proto3Args, std::string_view>
parse_proto3_args(const std::vector<std::string>& args, const platform::EnvValue& expect_token) {
    if (args.size() != 6) {
        return std::string_view("usage: --proto=3 <module-path> <cka_id-hex> <key-kind> <slot-id>");
    }
    Proto3Args parsed;
    parsed.module_path = args[2];
    if (parsed.module_path.empty()) {
        return std::string_view("missing module path");
    }
    auto cka_id = decode_hex(args[3]);
    if (!cka_id) {
        return std::string_view("invalid CKA_ID hex");
    }
    parsed.cka_id = std::move(*cka_id);
    if (!args[4].empty()) {
        parsed.requested_kind = engine::parse_key_kind(args[4]);
        if (!parsed.requested_kind) {
            return std::string_view("invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)");
        }
    }
    const auto slot_id = parse_unsigned_decimal(args[5], std::numeric_limits<std::uint64_t>::max());
    if (!slot_id) {
        return std::string_view("missing or invalid slot id");
    }
    parsed.slot_id = *slot_id;
    const auto expected =
        expect_token.is_set() ? parse_expected_token(expect_token.value) : std::nullopt;
    if (!expected) {
        return std::string_view("missing or invalid expected token");
    }
    parsed.expected_token = *expected;
    return parsed;
}

} // namespace korvan::cli
