#include "korvan/app_dirs/settings_writer.hpp"
#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/files.hpp"
#include "korvan/platform/random.hpp"
#include "korvan/platform/sha256.hpp"

#include <cmath>
#include <span>
#include <vector>

namespace korvan::app_dirs {
namespace {

using json = nlohmann::json;
using Kind = SettingsFailure::Kind;

constexpr std::size_t max_depth = 512;
constexpr std::size_t token_bytes = 32;

// Walks the value without recursion (it may be nested as deeply as the parser allowed) and names
// what the writer could not give back unchanged.
std::optional<std::string> unwritable(const json& root) {
    struct Item {
        const json* value;
        std::size_t depth;
    };
    std::vector<Item> pending{{&root, 1}};
    while (!pending.empty()) {
        const Item item = pending.back();
        pending.pop_back();
        if (item.depth > max_depth) {
            return "a value nested deeper than 512 levels";
        }
        if (item.value->is_number_float() && !std::isfinite(item.value->get<double>())) {
            return "a number that JSON cannot write (infinite or not a number)";
        }
        if (item.value->is_binary() || item.value->is_discarded()) {
            return "a value that is not JSON";
        }
        if (item.value->is_structured()) {
            for (const json& child : *item.value) {
                pending.push_back({&child, item.depth + 1});
            }
        }
    }
    return std::nullopt;
}

// Compact JSON of a value checked by `unwritable`; none when a text is not UTF-8.
std::optional<std::string> dump(const json& value) {
    try {
        return value.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

class MemberWriter {
  public:
    template <typename T> void put(std::string_view name, const std::optional<T>& value) {
        if (value) {
            put_json(name, json(*value));
        }
    }
    void put_json(std::string_view name, const json& value) {
        if (problem_) {
            return;
        }
        if (auto bad = unwritable(value)) {
            problem_ = std::string(name) + " holds " + *bad;
            return;
        }
        const std::optional<std::string> key = dump(json(std::string(name)));
        const std::optional<std::string> text = dump(value);
        if (!key || !text) {
            problem_ =
                "a text in " + std::string(key ? name : "a member name") + " is not valid UTF-8";
            return;
        }
        out_ += out_.empty() ? "{\n  " : ",\n  ";
        out_ += *key;
        out_ += ": ";
        out_ += *text;
    }

    std::variant<std::string, SettingsFailure> finish() {
        if (problem_) {
            return SettingsFailure{Kind::not_written,
                                   "the settings cannot be written as JSON: " + *problem_};
        }
        return out_.empty() ? std::string("{}\n") : out_ + "\n}\n";
    }

  private:
    std::string out_;
    std::optional<std::string> problem_;
};

// The settings a change starts from: none yet, or what the file holds. A file that exists but is
// no valid settings is the parent's to mend; writing over it would lose what it holds.
std::variant<Config, SettingsFailure> current_settings(const std::string& dir) {
    const std::string path = config_path(dir);
    if (!platform::path_exists(path)) {
        return Config{};
    }
    auto loaded = load_config(path);
    if (auto* error = std::get_if<ConfigError>(&loaded)) {
        return SettingsFailure{Kind::unreadable_settings, "the settings file " + path +
                                                              " cannot be read (" + error->text +
                                                              "); it was left as it is"};
    }
    return std::move(std::get<Config>(loaded));
}

// The module as the policy will see it in the settings: its canonical path, accepted by the same
// location rules the policy applies to a configured path, and the digest of that file.
std::variant<PinnedModule, SettingsFailure> vouch_for(const std::string& module) {
    auto canonical = platform::canonicalize(module);
    if (auto* error = std::get_if<platform::FileError>(&canonical)) {
        return SettingsFailure{Kind::not_canonical, module + " cannot be resolved: " + error->text};
    }
    auto located = check_module_location(std::get<std::string>(canonical));
    if (auto* refused = std::get_if<LocationRefused>(&located)) {
        const Kind kind = refused->problem == LocationRefused::Problem::not_canonical
                              ? Kind::not_canonical
                          : refused->problem == LocationRefused::Problem::below_scratch_folder
                              ? Kind::below_scratch_folder
                              : Kind::outside_system_dirs;
        return SettingsFailure{kind, refusal_text(*refused)};
    }
    std::string& path = std::get<std::string>(located);
    auto opened = platform::ModuleFile::open(path);
    if (auto* error = std::get_if<platform::FileError>(&opened)) {
        return SettingsFailure{Kind::unreadable_module, path + " cannot be read: " + error->text};
    }
    platform::ModuleFile& file = std::get<platform::ModuleFile>(opened);
    // The policy would refuse this file whatever its digest: a pin of it could never pass.
    if (auto exposure = module_file_exposure(file)) {
        return SettingsFailure{Kind::exposed_module,
                               *exposure + ": another user could replace the module"};
    }
    auto digest = file_sha256_hex(file);
    if (auto* error = std::get_if<platform::FileError>(&digest)) {
        return SettingsFailure{Kind::unreadable_module, path + " cannot be read: " + error->text};
    }
    return PinnedModule{std::move(path), std::move(std::get<std::string>(digest))};
}

// The pinned module decides for its own path before any pending module is looked at: over a pin
// the file no longer matches, a trial of that path ends in pin_mismatch whatever it holds.
std::optional<SettingsFailure> overruled_by_pin(const Config& config, const PinnedModule& module) {
    const std::optional<std::string> pinned = trusted_module_location(config.pkcs11_module_path);
    if (!pinned || !config.pkcs11_module_sha256 || !paths_equal(*pinned, module.path) ||
        *config.pkcs11_module_sha256 == module.sha256) {
        return std::nullopt;
    }
    return SettingsFailure{Kind::pinned_otherwise,
                           module.path + " is pinned with another SHA-256 than its file has now: "
                                         "the policy refuses it as pin_mismatch before it looks "
                                         "at a pending module"};
}

// The lock that makes one read-modify-write of the settings whole. It lies in a folder that must
// be this user's alone: a lock file that is a link, a FIFO or another user's is refused.
std::variant<platform::FileLock, SettingsFailure> lock_settings(const std::string& dir) {
    if (auto failed = platform::create_directories(dir)) {
        return SettingsFailure{Kind::not_written, dir + " cannot be created: " + failed->text};
    }
    const std::string path = join_path(dir, "config.lock");
    auto taken = platform::FileLock::acquire(path, settings_lock_wait);
    if (auto* lock = std::get_if<platform::FileLock>(&taken)) {
        return std::move(*lock);
    }
    if (auto* error = std::get_if<platform::FileError>(&taken)) {
        return SettingsFailure{Kind::not_written, "the settings cannot be locked (" + error->text +
                                                      "); nothing was written"};
    }
    return SettingsFailure{Kind::busy, "another program is changing the settings: " + path +
                                           " was not free within " +
                                           std::to_string(settings_lock_wait.count()) +
                                           " seconds; nothing was written"};
}

std::optional<SettingsFailure> write_locked(const std::string& dir, const Config& config) {
    auto text = config_text(config);
    if (auto* failure = std::get_if<SettingsFailure>(&text)) {
        return *failure;
    }
    const std::string path = config_path(dir);
    const std::string& content = std::get<std::string>(text);
    if (auto failed = platform::replace_file(
            path,
            std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()))) {
        return SettingsFailure{Kind::not_written, path + " cannot be written: " + failed->text};
    }
    return std::nullopt;
}

// A fresh trial token as hex text, built in wiped memory only.
std::optional<platform::SecretBytes> fresh_token() {
    platform::SecretArray<token_bytes> random;
    if (!platform::fill_random(random.span())) {
        return std::nullopt;
    }
    static constexpr char digits[] = "0123456789abcdef";
    platform::SecretBytes text;
    text.reserve(token_bytes * 2);
    for (const std::uint8_t b : random.span()) {
        text.push_back(static_cast<std::uint8_t>(digits[b >> 4]));
        text.push_back(static_cast<std::uint8_t>(digits[b & 0x0F]));
    }
    return text;
}

} // namespace

std::variant<std::string, SettingsFailure> config_text(const Config& config) {
    MemberWriter writer;
    writer.put("pkcs11_module_path", config.pkcs11_module_path);
    writer.put("pkcs11_module_sha256", config.pkcs11_module_sha256);
    writer.put("pending_module_path", config.pending_module_path);
    writer.put("pending_module_sha256", config.pending_module_sha256);
    writer.put("pending_module_token_sha256", config.pending_module_token_sha256);
    writer.put("pending_module_expires", config.pending_module_expires);
    writer.put("telemetry_consent", config.telemetry_consent);
    writer.put("telemetry_notice_version", config.telemetry_notice_version);
    writer.put("verify_online_revocation", config.verify_online_revocation);
    writer.put("verify_online_informed", config.verify_online_informed);
    writer.put("verify_online_notice_version", config.verify_online_notice_version);
    for (const auto& [name, value] : config.extra) {
        if (is_named_member(name)) {
            return SettingsFailure{Kind::not_written, "the settings cannot be written as JSON: " +
                                                          name + " is both named and extra"};
        }
        writer.put_json(name, value);
    }
    return writer.finish();
}

std::optional<SettingsFailure> write_config(const std::string& dir, const Config& config) {
    // A record that cannot be written fails before anything is created or locked.
    if (auto text = config_text(config); auto* failure = std::get_if<SettingsFailure>(&text)) {
        return *failure;
    }
    auto lock = lock_settings(dir);
    if (auto* failure = std::get_if<SettingsFailure>(&lock)) {
        return *failure;
    }
    return write_locked(dir, config);
}

std::variant<PinnedModule, SettingsFailure> pin_module(const std::string& dir,
                                                       const std::string& module) {
    auto pinned = vouch_for(module);
    if (std::holds_alternative<SettingsFailure>(pinned)) {
        return pinned;
    }
    auto lock = lock_settings(dir);
    if (auto* failure = std::get_if<SettingsFailure>(&lock)) {
        return *failure;
    }
    auto settings = current_settings(dir);
    if (auto* failure = std::get_if<SettingsFailure>(&settings)) {
        return *failure;
    }
    Config& config = std::get<Config>(settings);
    const PinnedModule& pin = std::get<PinnedModule>(pinned);
    config.pkcs11_module_path = pin.path;
    config.pkcs11_module_sha256 = pin.sha256;
    if (auto failed = write_locked(dir, config)) {
        return *failed;
    }
    return pinned;
}

std::variant<StagedModule, SettingsFailure> stage_pending_module(const std::string& dir,
                                                                 const std::string& module,
                                                                 std::uint64_t lifetime_seconds,
                                                                 const platform::Clock& clock) {
    if (lifetime_seconds < 1 || lifetime_seconds > max_pending_lifetime_seconds) {
        return SettingsFailure{Kind::bad_lifetime,
                               "a pending module's window is 1 to 30 seconds, not " +
                                   std::to_string(lifetime_seconds)};
    }
    auto vouched = vouch_for(module);
    if (auto* failure = std::get_if<SettingsFailure>(&vouched)) {
        return *failure;
    }
    auto lock = lock_settings(dir);
    if (auto* failure = std::get_if<SettingsFailure>(&lock)) {
        return *failure;
    }
    auto settings = current_settings(dir);
    if (auto* failure = std::get_if<SettingsFailure>(&settings)) {
        return *failure;
    }
    if (auto overruled =
            overruled_by_pin(std::get<Config>(settings), std::get<PinnedModule>(vouched))) {
        return *overruled;
    }
    std::optional<platform::SecretBytes> token = fresh_token();
    const std::optional<platform::Sha256Digest> token_digest =
        token ? platform::sha256(std::span<const std::uint8_t>(*token)) : std::nullopt;
    if (!token_digest) {
        return SettingsFailure{Kind::no_random, "no random bytes for the trial token"};
    }
    const platform::UtcTime time = clock.now();
    const std::uint64_t now = time.seconds < 0 ? 0 : static_cast<std::uint64_t>(time.seconds);

    PinnedModule& pending = std::get<PinnedModule>(vouched);
    StagedModule staged{std::move(pending.path), std::move(pending.sha256), now + lifetime_seconds,
                        std::move(*token)};
    Config& config = std::get<Config>(settings);
    config.pending_module_path = staged.path;
    config.pending_module_sha256 = staged.sha256;
    config.pending_module_token_sha256 = hex_lower(*token_digest);
    config.pending_module_expires = staged.expires;
    if (auto failed = write_locked(dir, config)) {
        return *failed; // the token goes, wiped, with `staged`
    }
    return staged;
}

std::optional<SettingsFailure> clear_pending_module(const std::string& dir) {
    if (!platform::path_exists(config_path(dir))) {
        return std::nullopt;
    }
    auto lock = lock_settings(dir);
    if (auto* failure = std::get_if<SettingsFailure>(&lock)) {
        return *failure;
    }
    if (!platform::path_exists(config_path(dir))) {
        return std::nullopt; // removed while this writer waited
    }
    auto settings = current_settings(dir);
    if (auto* failure = std::get_if<SettingsFailure>(&settings)) {
        return *failure;
    }
    Config& config = std::get<Config>(settings);
    config.pending_module_path.reset();
    config.pending_module_sha256.reset();
    config.pending_module_token_sha256.reset();
    config.pending_module_expires.reset();
    return write_locked(dir, config);
}

} // namespace korvan::app_dirs
