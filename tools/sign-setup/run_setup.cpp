#include "run_setup.hpp"
#include "audit_command.hpp"
#include "setup_arguments.hpp"
#include "setup_messages.hpp"
#include "tokens_command.hpp"

#include "shared/text_sink.hpp"

#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/settings_writer.hpp"
#include "korvan/audit/audit_record.hpp"
#include "korvan/version.hpp"

#include <fmt/format.h>

namespace korvan::setup {
namespace {

int run_pin(const SetupArgs& args, SetupWorld& world) {
    const std::optional<std::string> dir = per_user_dir(world);
    if (!dir) {
        return exit_usage;
    }
    const auto pinned = app_dirs::pin_module(*dir, args.module);
    if (const auto* failure = std::get_if<app_dirs::SettingsFailure>(&pinned)) {
        say(world, fmt::format("not pinned: {}", failure->text));
        return exit_usage;
    }
    const app_dirs::PinnedModule& pin = std::get<app_dirs::PinnedModule>(pinned);
    cli::write_text(world.output, fmt::format("{}\n{}\n", pin.path, pin.sha256));
    say(world, fmt::format("pinned in {}; sign-cli loads it by that path while its SHA-256 stays",
                           app_dirs::config_path(*dir)));
    return exit_ok;
}

int run_approve(const SetupArgs& args, SetupWorld& world) {
    const std::optional<std::string> dir = per_user_dir(world);
    if (!dir) {
        return exit_usage;
    }
    const auto staged =
        app_dirs::stage_pending_module(*dir, args.module, args.seconds, world.clock);
    if (const auto* failure = std::get_if<app_dirs::SettingsFailure>(&staged)) {
        const bool stale_pin = failure->kind == app_dirs::SettingsFailure::Kind::pinned_otherwise;
        say(world, fmt::format("not approved: {}{}", failure->text,
                               stale_pin ? "; `sign-setup pin` replaces the pin" : ""));
        return exit_usage;
    }
    const app_dirs::StagedModule& pending = std::get<app_dirs::StagedModule>(staged);
    // The token goes out from its wiped buffer; no copy of it is made on the way.
    world.output.write_all(pending.token);
    cli::write_text(world.output, "\n");
    say(world, fmt::format("{} approved for a trial until {} ({} s); pass the token on standard "
                           "output as KORVAN_MODULE_TRIAL_TOKEN",
                           pending.path,
                           audit::format_rfc3339({static_cast<std::int64_t>(pending.expires), 0}),
                           args.seconds));
    return exit_ok;
}

int run_clear(SetupWorld& world) {
    const std::optional<std::string> dir = per_user_dir(world);
    if (!dir) {
        return exit_usage;
    }
    if (auto failure = app_dirs::clear_pending_module(*dir)) {
        say(world, fmt::format("not cleared: {}", failure->text));
        return exit_usage;
    }
    say(world, fmt::format("no pending module is left in {}", app_dirs::config_path(*dir)));
    return exit_ok;
}

// What lies behind a pin_mismatch, the way the policy looks at the file: who else could replace
// it, or what its digest is now.
std::string pin_mismatch_cause(const std::string& module) {
    auto opened = platform::ModuleFile::open(module);
    if (auto* error = std::get_if<platform::FileError>(&opened)) {
        return fmt::format("{} cannot be read: {}", module, error->text);
    }
    platform::ModuleFile& file = std::get<platform::ModuleFile>(opened);
    if (auto exposure = app_dirs::module_file_exposure(file)) {
        return fmt::format("{}: another user could replace the module, so no digest counts",
                           *exposure);
    }
    auto digest = app_dirs::file_sha256_hex(file);
    if (auto* error = std::get_if<platform::FileError>(&digest)) {
        return fmt::format("{} cannot be read: {}", module, error->text);
    }
    return fmt::format("the SHA-256 of {} is {}, not the one the settings store", module,
                       std::get<std::string>(digest));
}

int run_check(const SetupArgs& args, SetupWorld& world) {
    const app_dirs::ModuleVerdict verdict =
        app_dirs::evaluate_module_policy(args.module, world.environment, world.clock);
    if (const auto* accepted = std::get_if<app_dirs::ModuleAccepted>(&verdict)) {
        cli::write_text(world.output,
                        fmt::format("accepted: {}\n", app_dirs::via_name(accepted->via)));
        return exit_ok;
    }
    const auto reason = std::get<app_dirs::ModuleRejectReason>(verdict);
    cli::write_text(world.output, fmt::format("rejected: {}\n", app_dirs::reason_name(reason)));
    if (reason == app_dirs::ModuleRejectReason::pin_mismatch) {
        say(world, pin_mismatch_cause(args.module));
    }
    return exit_rejected;
}

} // namespace

int run_setup(const std::vector<std::string>& args, SetupWorld& world) {
    const ParsedSetupArgs parsed = parse_setup_args(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        cli::write_text(world.error, fmt::format("sign-setup: {}\n{}", error->message,
                                                 usage_text(error->command)));
        return exit_usage;
    }
    if (const auto* help = std::get_if<HelpWanted>(&parsed)) {
        cli::write_text(world.output, usage_text(help->command));
        return exit_ok;
    }
    if (std::holds_alternative<VersionWanted>(parsed)) {
        cli::write_text(world.output, fmt::format("sign-setup {}\n", korvan::version));
        return exit_ok;
    }
    const SetupArgs& setup = std::get<SetupArgs>(parsed);
    switch (setup.command) {
    case Command::pin:
        return run_pin(setup, world);
    case Command::approve:
        return run_approve(setup, world);
    case Command::clear:
        return run_clear(world);
    case Command::check:
        return run_check(setup, world);
    case Command::tokens:
        return run_tokens(setup, world);
    case Command::audit:
        return run_audit(setup, world);
    }
    return exit_usage;
}

} // namespace korvan::setup
