#include "proto2/report.hpp"
#include "proto2/base64.hpp"
#include "shared/text_sink.hpp"

#include <fmt/format.h>

namespace korvan::cli {
namespace {

struct Line {
    std::string text;
    int exit_code;
};

Line failure_line(const engine::SignOutcome& outcome) {
    using namespace engine::outcome;
    struct Visitor {
        Line operator()(const Signed&) const { return {"", exit_ok}; }
        Line operator()(const TokenChanged&) const {
            return {"sign-cli: TOKEN_CHANGED (PIN not sent)\n", exit_token_changed};
        }
        Line operator()(const ModuleLoadFailed& f) const {
            return {fmt::format("sign-cli: dlopen failed: {}\n", f.text), exit_module_load};
        }
        Line operator()(const PinIncorrect&) const { return {"sign-cli: PIN_INCORRECT\n", exit_pin}; }
        Line operator()(const PinLocked&) const {
            return {"sign-cli: PIN_LOCKED \u2014 PUK needed to unlock\n", exit_pin};
        }
        Line operator()(const Pkcs11Failed& f) const {
            return {fmt::format("sign-cli: {} rv=0x{:08x}\n", f.label, f.rv), exit_pkcs11};
        }
        Line operator()(const KeyResolutionFailed& f) const {
            return {fmt::format("sign-cli: KEY_RESOLUTION_FAILED \u2014 {}\n", f.text),
                    exit_key_resolution};
        }
        Line operator()(const UnsupportedKeyType& f) const {
            return {fmt::format("sign-cli: UNSUPPORTED_KEY_TYPE: {}\n", f.text), exit_unsupported};
        }
        Line operator()(const DigestKeyMismatch& f) const {
            return {fmt::format("sign-cli: DIGEST_KEY_MISMATCH: {}\n", f.text),
                    exit_digest_mismatch};
        }
    };
    return std::visit(Visitor{}, outcome);
}

} // namespace

void write_marker(platform::ByteSink& out) { write_text(out, "<<KORVAN_SIGN_PROTO_2>>\n"); }

int report_outcome(const engine::SignOutcome& outcome, bool verify_only, platform::ByteSink& out,
                   platform::ByteSink& err) {
    if (const auto* signed_ = std::get_if<engine::outcome::Signed>(&outcome)) {
        if (verify_only) {
            write_text(err, "sign-cli: VERIFY OK\n");
            return exit_ok;
        }
        // One write for the whole line, so the parent never sees half a signature.
        write_text(out, encode_base64(signed_->signature) + "\n");
        write_text(err, fmt::format("sign-cli: OK ({} bytes signature)\n",
                                    signed_->signature.size()));
        return exit_ok;
    }
    const Line line = failure_line(outcome);
    write_text(err, line.text);
    return line.exit_code;
}

} // namespace korvan::cli
