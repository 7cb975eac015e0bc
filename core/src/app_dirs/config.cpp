#include "korvan/app_dirs/config.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/ownership.hpp"

#include <array>
#include <utility>

namespace korvan::app_dirs {
namespace {

using json = nlohmann::json;

enum class Member : std::uint8_t {
    pkcs11_module_path,
    pkcs11_module_sha256,
    pending_module_path,
    pending_module_sha256,
    pending_module_token_sha256,
    pending_module_expires,
    telemetry_consent,
    telemetry_notice_version,
    verify_online_revocation,
    verify_online_informed,
    verify_online_notice_version,
};
constexpr std::size_t member_count = 11;

enum class Type { text, u64, u32, boolean };

struct MemberRule {
    std::string_view name;
    Type type;
};

constexpr std::array<MemberRule, member_count> members = {{
    {"pkcs11_module_path", Type::text},
    {"pkcs11_module_sha256", Type::text},
    {"pending_module_path", Type::text},
    {"pending_module_sha256", Type::text},
    {"pending_module_token_sha256", Type::text},
    {"pending_module_expires", Type::u64},
    {"telemetry_consent", Type::boolean},
    {"telemetry_notice_version", Type::u32},
    {"verify_online_revocation", Type::boolean},
    {"verify_online_informed", Type::boolean},
    {"verify_online_notice_version", Type::u32},
}};

std::optional<std::size_t> member_index(std::string_view name) {
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].name == name) {
            return i;
        }
    }
    return std::nullopt;
}

// Checks the named members of the top-level object as the parser reports them, before any value
// is built: the DOM would silently keep the last of two duplicates, and would accept 1.0 or 1e9
// where an integer belongs.
class MemberRules final : public nlohmann::json_sax<json> {
  public:
    bool null() override { return value(std::nullopt); }
    bool boolean(bool) override { return value(Type::boolean); }
    bool number_integer(number_integer_t) override {
        // Only numbers written with a minus sign arrive here.
        return value(std::nullopt, true);
    }
    bool number_unsigned(number_unsigned_t v) override {
        return value(v <= 0xFFFFFFFFu ? Type::u32 : Type::u64);
    }
    bool number_float(number_float_t, const string_t&) override {
        return value(std::nullopt, true);
    }
    bool string(string_t&) override { return value(Type::text); }
    bool binary(binary_t&) override { return value(std::nullopt, true); }
    bool start_object(std::size_t) override { return open(); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        if (depth_ != 1) {
            return true;
        }
        current_ = member_index(name);
        if (current_) {
            if (seen_[*current_]) {
                return fail("duplicate member " + name);
            }
            seen_[*current_] = true;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& e) override {
        return fail(e.what());
    }

    const std::string& error() const { return error_; }

  private:
    bool fail(std::string text) {
        if (error_.empty()) {
            error_ = std::move(text);
        }
        return false;
    }

    // A scalar: `type` is what it can stand for (a small unsigned number fits both integer
    // members), none for null; `invalid` for kinds no named member takes.
    bool value(std::optional<Type> type, bool invalid = false) {
        if (depth_ != 1 || !current_) {
            return true;
        }
        const MemberRule& rule = members[*current_];
        current_.reset();
        if (!type && !invalid) {
            return true; // null: unset
        }
        const bool fits =
            type && (*type == rule.type || (*type == Type::u32 && rule.type == Type::u64));
        return fits || fail(std::string("wrong type or range for ") + std::string(rule.name));
    }

    bool open() {
        if (depth_ == 1 && current_) {
            return fail(std::string("wrong type for ") + std::string(members[*current_].name));
        }
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        return true;
    }

    int depth_ = 0;
    std::optional<std::size_t> current_;
    std::array<bool, member_count> seen_{};
    std::string error_;
};

ConfigError parse_error(std::string text) {
    return {ConfigError::Kind::Parse, std::move(text)};
}

template <typename T> void take(const json& object, Member member, std::optional<T>& into) {
    const auto it = object.find(std::string(members[static_cast<std::size_t>(member)].name));
    if (it != object.end() && !it->is_null()) {
        into = it->get<T>();
    }
}

} // namespace

std::variant<Config, ConfigError> parse_config(std::string_view text) {
    std::size_t first = 0;
    while (first < text.size() && (text[first] == ' ' || text[first] == '\t' ||
                                   text[first] == '\n' || text[first] == '\r')) {
        ++first;
    }
    // The parser would skip a byte-order mark on its own; the settings file must not have one.
    if (first == text.size() || text[first] != '{') {
        return parse_error("settings must be one JSON object");
    }
    // JSON has no place for a raw NUL, but the parser takes one as the end of its input and would
    // accept a file that goes on after it (a zero-filled tail, or anything at all).
    if (text.find('\0') != std::string_view::npos) {
        return parse_error("settings hold a NUL byte");
    }

    MemberRules rules;
    const bool accepted = json::sax_parse(text.begin(), text.end(), &rules,
                                          nlohmann::detail::input_format_t::json, true, false);
    if (!accepted) {
        return parse_error(rules.error().empty() ? "malformed settings" : rules.error());
    }
    // The text is known to be a well-formed object now; build it once to read the values.
    json object = json::parse(text.begin(), text.end(), nullptr, false, false);
    if (!object.is_object()) {
        return parse_error("malformed settings");
    }

    Config config;
    take(object, Member::pkcs11_module_path, config.pkcs11_module_path);
    take(object, Member::pkcs11_module_sha256, config.pkcs11_module_sha256);
    take(object, Member::pending_module_path, config.pending_module_path);
    take(object, Member::pending_module_sha256, config.pending_module_sha256);
    take(object, Member::pending_module_token_sha256, config.pending_module_token_sha256);
    take(object, Member::pending_module_expires, config.pending_module_expires);
    take(object, Member::telemetry_consent, config.telemetry_consent);
    take(object, Member::telemetry_notice_version, config.telemetry_notice_version);
    take(object, Member::verify_online_revocation, config.verify_online_revocation);
    take(object, Member::verify_online_informed, config.verify_online_informed);
    take(object, Member::verify_online_notice_version, config.verify_online_notice_version);
    // The object keeps the last value of a repeated name, in byte order of the names. Values are
    // moved, never copied: a copy recurses once per nesting level, and a deeply nested member
    // would overflow the stack.
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!member_index(it.key())) {
            config.extra.emplace(it.key(), std::move(it.value()));
        }
    }
    return config;
}

bool is_named_member(std::string_view name) {
    return member_index(name).has_value();
}

std::string config_path(std::string_view dir) {
    return join_path(dir, "config.json");
}

std::variant<Config, ConfigError> load_config(const std::string& path) {
    // Settings another user could have planted or changed are no settings.
    auto content = platform::read_owned_file(path);
    if (auto* error = std::get_if<platform::FileError>(&content)) {
        return ConfigError{ConfigError::Kind::Read, error->text};
    }
    return parse_config(std::get<std::string>(content));
}

} // namespace korvan::app_dirs
