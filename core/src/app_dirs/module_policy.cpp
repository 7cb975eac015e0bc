#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/app_dirs/config.hpp"
#include "korvan/app_dirs/known_modules.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/audit/rejection_report.hpp"
#include "korvan/platform/ownership.hpp"
#include "korvan/platform/secure_zero.hpp"
#include "korvan/platform/sha256.hpp"

#include <limits>

namespace korvan::app_dirs {
namespace {

// The trial token lives only as long as the evaluation and is wiped on every path.
class WipeOnExit {
  public:
    explicit WipeOnExit(std::string& text) : text_(text) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { platform::secure_zero(text_.data(), text_.size()); }

  private:
    std::string& text_;
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

bool is(const ModuleVerdict& verdict, ModuleRejectReason reason) {
    const auto* r = std::get_if<ModuleRejectReason>(&verdict);
    return r != nullptr && *r == reason;
}

} // namespace

std::string_view reason_name(ModuleRejectReason reason) {
    switch (reason) {
    case ModuleRejectReason::not_absolute:
        return "not_absolute";
    case ModuleRejectReason::not_known:
        return "not_known";
    case ModuleRejectReason::pin_mismatch:
        return "pin_mismatch";
    case ModuleRejectReason::target_outside_system_dir:
        return "target_outside_system_dir";
    }
    return "not_known";
}

std::string hex_lower(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

std::variant<std::string, platform::FileError> file_sha256_hex(platform::ModuleFile& file) {
    if (!file.rewind()) {
        return file.last_error();
    }
    platform::Sha256 hash;
    std::uint8_t chunk[8192];
    for (;;) {
        const platform::ReadResult r = file.read_some(chunk);
        if (r.status == platform::ReadResult::Status::End) {
            break;
        }
        if (r.status == platform::ReadResult::Status::Error) {
            return file.last_error();
        }
        if (!hash.update(std::span<const std::uint8_t>(chunk, r.count))) {
            return platform::FileError{"SHA-256 failed"};
        }
    }
    const std::optional<platform::Sha256Digest> digest = hash.finish();
    if (!digest) {
        return platform::FileError{"SHA-256 failed"};
    }
    return hex_lower(*digest);
}

std::optional<std::string> module_file_exposure(const platform::ModuleFile& file) {
    return platform::ownership_problem_along(file.native_handle(), file.path());
}

std::variant<std::string, platform::FileError> file_sha256_hex(const std::string& path) {
    auto opened = platform::ModuleFile::open(path);
    if (auto* error = std::get_if<platform::FileError>(&opened)) {
        return *error;
    }
    return file_sha256_hex(std::get<platform::ModuleFile>(opened));
}

std::string_view via_name(ModuleAccepted::Via via) {
    switch (via) {
    case ModuleAccepted::Via::well_known:
        return "well-known";
    case ModuleAccepted::Via::pinned:
        return "pinned";
    case ModuleAccepted::Via::pending:
        return "pending";
    }
    return "well-known";
}

std::string refusal_text(const LocationRefused& refused) {
    switch (refused.problem) {
    case LocationRefused::Problem::outside_system_dirs:
        return refused.path + " is not inside a system folder";
    case LocationRefused::Problem::below_scratch_folder:
        return refused.path + " lies below a Temp, Downloads or tmp folder";
    case LocationRefused::Problem::not_canonical:
        return refused.path + " cannot be resolved: " + refused.detail;
    }
    return refused.path;
}

std::variant<std::string, LocationRefused> check_module_location(const std::string& configured) {
    auto outside = [](const std::string& path) {
        return LocationRefused{has_disqualifying_component(path, build_family)
                                   ? LocationRefused::Problem::below_scratch_folder
                                   : LocationRefused::Problem::outside_system_dirs,
                               path, ""};
    };
    if (!in_system_dir(configured, build_family)) {
        return outside(configured);
    }
    auto canonical = platform::canonicalize(configured);
    if (auto* error = std::get_if<platform::FileError>(&canonical)) {
        return LocationRefused{LocationRefused::Problem::not_canonical, configured, error->text};
    }
    std::string& path = std::get<std::string>(canonical);
    if (!in_system_dir(path, build_family)) {
        return outside(path);
    }
    return std::move(path);
}

std::optional<std::string> trusted_module_location(const std::optional<std::string>& configured) {
    if (!configured) {
        return std::nullopt;
    }
    auto checked = check_module_location(*configured);
    if (auto* path = std::get_if<std::string>(&checked)) {
        return std::move(*path);
    }
    return std::nullopt;
}

ModuleVerdict check_module_path(std::string_view candidate, const std::vector<std::string>& known,
                                const std::optional<ModulePin>& pin) {
    if (!is_absolute(candidate)) {
        return ModuleRejectReason::not_absolute;
    }
    for (const std::string& entry : known) {
        if (!paths_equal(entry, candidate)) {
            continue;
        }
        const auto canonical = platform::canonicalize(std::string(candidate));
        const auto* target = std::get_if<std::string>(&canonical);
        if (target == nullptr) {
            return ModuleRejectReason::not_known;
        }
        if (in_system_dir(*target, build_family)) {
            return ModuleAccepted{ModuleAccepted::Via::well_known, std::nullopt};
        }
        for (const std::string& other : known) {
            if (paths_equal(*target, other)) {
                return ModuleAccepted{ModuleAccepted::Via::well_known, std::nullopt};
            }
        }
        return ModuleRejectReason::target_outside_system_dir;
    }
    if (!pin || !paths_equal(pin->path, candidate)) {
        return ModuleRejectReason::not_known;
    }
    // The file named by the candidate itself is hashed, and that open file is what gets loaded.
    auto opened = platform::ModuleFile::open(std::string(candidate));
    auto* file = std::get_if<platform::ModuleFile>(&opened);
    if (file == nullptr) {
        return ModuleRejectReason::pin_mismatch;
    }
    if (module_file_exposure(*file)) {
        return ModuleRejectReason::pin_mismatch; // who else could have put it there decides first
    }
    const auto digest = file_sha256_hex(*file);
    const auto* text = std::get_if<std::string>(&digest);
    if (text == nullptr || *text != pin->expected) {
        return ModuleRejectReason::pin_mismatch;
    }
    return ModuleAccepted{ModuleAccepted::Via::pinned, std::move(*file)};
}

ModuleVerdict evaluate_module_policy(std::string_view candidate,
                                     const platform::Environment& environment,
                                     const platform::Clock& clock) {
    platform::EnvValue token = environment.get("KORVAN_MODULE_TRIAL_TOKEN");
    const WipeOnExit wipe_token(token.value);
    const bool has_token = token.is_set(); // a value that is not Unicode is no token

    const std::optional<std::string> dir = app_dir(environment);
    const std::vector<std::string> known = known_modules(build_family);
    const platform::UtcTime time = clock.now();
    const std::uint64_t now = time.seconds < 0 ? 0 : static_cast<std::uint64_t>(time.seconds);

    Config config;
    if (dir) {
        auto loaded = load_config(config_path(*dir));
        if (auto* read = std::get_if<Config>(&loaded)) {
            config = std::move(*read);
        }
    }

    std::optional<ModulePin> pin;
    if (auto location = trusted_module_location(config.pkcs11_module_path);
        location && config.pkcs11_module_sha256) {
        pin = ModulePin{std::move(*location), *config.pkcs11_module_sha256};
    }
    ModuleVerdict first = check_module_path(candidate, known, pin);
    if (!is(first, ModuleRejectReason::not_known) || !config.pending_module_token_sha256 ||
        !has_token) {
        return first;
    }

    const std::optional<platform::Sha256Digest> token_digest = platform::sha256(token.value);
    if (!token_digest || hex_lower(*token_digest) != *config.pending_module_token_sha256 ||
        !config.pending_module_expires) {
        return first;
    }
    const std::uint64_t expires = *config.pending_module_expires;
    if (now > expires || expires > saturating_add(now, pending_window_seconds)) {
        return first;
    }
    std::optional<std::string> location = trusted_module_location(config.pending_module_path);
    if (!location || !config.pending_module_sha256) {
        return ModuleRejectReason::not_known;
    }
    ModuleVerdict pending = check_module_path(
        candidate, known, ModulePin{std::move(*location), *config.pending_module_sha256});
    if (auto* accepted = std::get_if<ModuleAccepted>(&pending)) {
        accepted->via = ModuleAccepted::Via::pending;
    }
    return pending;
}

std::optional<ModuleAccepted> enforce_module_policy(std::string_view candidate,
                                                    const platform::Environment& environment,
                                                    const platform::Clock& clock,
                                                    platform::ByteSink& error_stream) {
    ModuleVerdict verdict = evaluate_module_policy(candidate, environment, clock);
    if (auto* accepted = std::get_if<ModuleAccepted>(&verdict)) {
        return std::move(*accepted);
    }
    audit::report_module_rejection(std::get<ModuleRejectReason>(verdict), environment, clock,
                                   error_stream);
    return std::nullopt;
}

} // namespace korvan::app_dirs
