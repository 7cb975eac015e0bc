#include "tokens_command.hpp"
#include "setup_messages.hpp"
#include "token_report.hpp"

#include "pin_line.hpp"

#include "engine/module.hpp"
#include "engine/rv_name.hpp"
#include "engine/slot_listing.hpp"
#include "engine/token_listing.hpp"
#include "shared/text_sink.hpp"

#include "korvan/app_dirs/module_policy.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace korvan::setup {
namespace {

using engine::rv_text;

std::optional<std::string> open_failure_text(const engine::Module::OpenFailure& failure) {
    switch (failure.stage) {
    case engine::Module::OpenFailure::Stage::Library:
        return fmt::format("the module could not be loaded: {}", failure.text);
    case engine::Module::OpenFailure::Stage::EntryPoint:
        return fmt::format("the module has no C_GetFunctionList: {}", failure.text);
    case engine::Module::OpenFailure::Stage::FunctionList:
        return fmt::format("C_GetFunctionList failed: {}", rv_text(failure.rv));
    }
    return std::nullopt;
}

// The slot to log in on: the one named, or the only initialised token's; none after a message.
std::optional<CK_SLOT_ID>
login_slot(const SetupArgs& args, std::span<const engine::ListedToken> tokens, SetupWorld& world) {
    if (args.slot) {
        return static_cast<CK_SLOT_ID>(*args.slot);
    }
    std::vector<CK_SLOT_ID> initialised;
    for (const engine::ListedToken& token : tokens) {
        if ((token.flags & CKF_TOKEN_INITIALIZED) != 0) {
            initialised.push_back(token.slot);
        }
    }
    if (initialised.size() == 1) {
        return initialised.front();
    }
    say(world, initialised.empty()
                   ? std::string("--login: the module has no initialised token")
                   : fmt::format("--login tries the PIN on one token only: name it with --slot "
                                 "(initialised tokens in slots {})",
                                 fmt::join(initialised, ", ")));
    return std::nullopt;
}

// From an initialised module to the printed listing; the exit code.
int list_initialised(engine::Module& module, const SetupArgs& args,
                     std::span<const std::uint8_t> pin, platform::ByteSink& output,
                     SetupWorld& world) {
    std::vector<engine::ListedToken> tokens = engine::list_token_identities(module);
    std::vector<engine::ListedSlot> slots = engine::list_slots(module);
    if (args.slot) {
        const auto slot = static_cast<CK_SLOT_ID>(*args.slot);
        std::erase_if(tokens,
                      [slot](const engine::ListedToken& token) { return token.slot != slot; });
        if (tokens.empty()) {
            say(world, fmt::format("slot {} holds no token the module could describe: {}",
                                   *args.slot, slot_problem_text(slots, slot)));
            return exit_failed;
        }
        std::erase_if(slots,
                      [slot](const engine::ListedSlot& listed) { return listed.slot != slot; });
    }
    engine::ListingRequest request;
    request.pin = pin;
    request.allow_final_try = args.allow_final_try;
    if (args.login) {
        request.login_slot = login_slot(args, tokens, world);
        if (!request.login_slot) {
            return exit_usage;
        }
    }
    const std::vector<engine::ListedTokenKeys> listing =
        engine::list_token_keys(module, tokens, request);
    for (const std::string& warning : shared_serial_warnings(tokens)) {
        say(world, fmt::format("warning: {}", warning));
    }
    cli::write_text(output, args.json ? tokens_json(args.module, listing, slots)
                                      : tokens_text(args.module, listing, slots));
    int code = exit_ok;
    for (const engine::ListedTokenKeys& entry : listing) {
        if (entry.problem) {
            say(world, fmt::format("slot {}: {}", entry.token.slot, entry.problem->text));
            code = exit_failed;
        }
    }
    return code;
}

int list(engine::Module& module, const SetupArgs& args, std::span<const std::uint8_t> pin,
         platform::ByteSink& output, SetupWorld& world) {
    const engine::Call initialized = module.initialize();
    if (!initialized) {
        say(world, "the module has no C_Initialize");
        return exit_failed;
    }
    if (*initialized != CKR_OK && *initialized != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        say(world, fmt::format("C_Initialize failed: {}", rv_text(*initialized)));
        return exit_failed;
    }
    // From here on the module's threads may run its code: it stays loaded until the exit.
    module.keep_loaded();
    const int code = list_initialised(module, args, pin, output, world);
    module.finalize();
    return code;
}

} // namespace

int run_tokens(const SetupArgs& args, SetupWorld& world) {
    // The same policy sign-cli applies, before anything of the module is touched.
    app_dirs::ModuleVerdict verdict =
        app_dirs::evaluate_module_policy(args.module, world.environment, world.clock);
    if (const auto* reason = std::get_if<app_dirs::ModuleRejectReason>(&verdict)) {
        say(world, fmt::format("module path rejected: {} (see sign-setup check)",
                               app_dirs::reason_name(*reason)));
        return exit_rejected;
    }
    // The PIN is read before the streams are set aside; it lives in wiped memory until the exit.
    platform::SecretBytes pin;
    if (args.login) {
        auto line = client::read_pin_line(world.input);
        if (const auto* problem = std::get_if<std::string_view>(&line)) {
            say(world, *problem);
            return exit_usage;
        }
        pin = std::move(std::get<platform::SecretBytes>(line));
    }
    platform::ByteSink& output = world.set_streams_aside ? world.set_streams_aside() : world.output;
    // The file the policy hashed, held open through the PIN prompt, is the one loaded.
    const auto& held = std::get<app_dirs::ModuleAccepted>(verdict).held;
    auto opened = engine::Module::open(args.module, held ? &*held : nullptr);
    if (const auto* failure = std::get_if<engine::Module::OpenFailure>(&opened)) {
        say(world, open_failure_text(*failure).value_or("the module could not be opened"));
        return exit_failed;
    }
    return list(std::get<engine::Module>(opened), args, pin, output, world);
}

} // namespace korvan::setup
