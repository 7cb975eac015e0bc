#include "proto2/run_protocol2.hpp"
#include "proto2/pin_input.hpp"
#include "proto2/report.hpp"
#include "shared/arguments.hpp"
#include "shared/hex.hpp"
#include "shared/text_sink.hpp"

#include <fmt/format.h>

#include <optional>

namespace korvan::cli {
namespace {

constexpr std::string_view verify_only_word = "VERIFY_ONLY";

struct Digest {
    std::vector<std::uint8_t> bytes;
    bool verify_only;
};

int fail(Proto2World& world, std::string_view message) {
    write_text(world.error, message);
    return exit_invocation;
}

const std::string* argument(const std::vector<std::string>& args, std::size_t position) {
    return position < args.size() ? &args[position] : nullptr;
}

} // namespace

int run_protocol2(const std::vector<std::string>& args, Proto2World& world) {
    write_marker(world.output);

    if (args.size() < 3) {
        const std::string program = args.empty() ? std::string() : args[0];
        return fail(world, fmt::format("Usage: {} --proto=2 <module-path> "
                                       "<digest-hex|VERIFY_ONLY> <cka_id-hex> <key-kind> "
                                       "<slot-id>\n  stdin: PIN bytes\n",
                                       program));
    }
    const std::string& module_path = args[1];
    const std::optional<AdmittedModule> admitted = world.module_gate.admit(module_path);
    if (!admitted) {
        return exit_module_rejected;
    }

    Digest digest{{}, false};
    const std::string& digest_text = args[2];
    if (digest_text == verify_only_word) {
        digest.verify_only = true;
    } else if (digest_text.size() == 64 || digest_text.size() == 96 || digest_text.size() == 128) {
        auto bytes = decode_hex(digest_text);
        if (!bytes) {
            return fail(world, "invalid hash hex\n");
        }
        digest.bytes = std::move(*bytes);
    } else {
        return fail(world, fmt::format("hash must be 64, 96 or 128 hex chars, got {}\n",
                                       digest_text.size()));
    }

    constexpr std::string_view missing_slot = "missing or invalid slot id\n";
    const std::string* cka_id_text = argument(args, 3);
    if (cka_id_text == nullptr) {
        return fail(world, missing_slot);
    }
    auto cka_id = decode_hex(*cka_id_text);
    if (!cka_id) {
        return fail(world, "invalid CKA_ID hex\n");
    }

    const std::string* kind_text = argument(args, 4);
    if (kind_text == nullptr) {
        return fail(world, missing_slot);
    }
    std::optional<engine::KeyKind> requested_kind;
    if (!kind_text->empty()) {
        requested_kind = engine::parse_key_kind(*kind_text);
        if (!requested_kind) {
            return fail(world, "invalid key kind (rsa | ec-p256 | ec-p384 | ec-p521)\n");
        }
    }

    const std::string* slot_text = argument(args, 5);
    const std::optional<std::uint32_t> slot_id =
        slot_text ? parse_slot_id(*slot_text) : std::nullopt;
    if (!slot_id) {
        return fail(world, missing_slot);
    }

    const platform::EnvValue expect = world.environment.get("KORVAN_EXPECT_TOKEN");
    const std::optional<engine::ExpectedToken> expected_token =
        expect.is_set() ? parse_expected_token(expect.value) : std::nullopt;
    if (!expected_token) {
        return fail(world, "missing or invalid expected token\n");
    }

    engine::SignOutcome outcome;
    {
        PinBuffer pin_buffer;
        const std::optional<std::size_t> pin_read = read_pin(world.input, pin_buffer);
        if (!pin_read) {
            return fail(world, "failed to read PIN from stdin\n");
        }
        const auto pin = trim_line_ends(pin_buffer.span().first(*pin_read));
        if (pin.empty()) {
            return fail(world, "empty PIN\n");
        }

        write_text(world.error,
                   fmt::format("sign-cli: module={} pin_len={} hash={} ckaid_len={} mode={}\n",
                               module_path, pin.size(),
                               digest.verify_only ? std::string_view("<VERIFY_ONLY>")
                                                  : std::string_view(digest_text),
                               cka_id->size(), digest.verify_only ? "verify" : "sign"));

        engine::SignRequest request{module_path,
                                    admitted->held ? &*admitted->held : nullptr,
                                    pin,
                                    std::move(digest.bytes),
                                    std::move(*cka_id),
                                    requested_kind,
                                    digest.verify_only,
                                    *slot_id,
                                    *expected_token};
        outcome = world.engine.run_sign_session(request);
        // The buffer's destructor wipes the PIN here, before the outcome is looked at.
    }
    return report_outcome(outcome, digest.verify_only, world.output, world.error);
}

} // namespace korvan::cli
