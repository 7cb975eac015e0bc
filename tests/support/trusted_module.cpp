#include "trusted_module.hpp"
#include "mock_module.hpp"

#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/app_dirs/settings_writer.hpp"

#include <filesystem>
#include <fstream>
#include <random>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;
using app_dirs::build_family;
using app_dirs::PlatformFamily;

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}
std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string random_name(const std::string& stem) {
    static std::mt19937_64 random{std::random_device{}()};
    return stem + std::to_string(random() % 1000000000000ULL);
}

std::string trusted_parent() {
    return build_family == PlatformFamily::windows ? "C:\\Program Files\\KorvanTest" : "/opt";
}

} // namespace

TrustedModule::TrustedModule(const std::string& source_module) {
    std::error_code error;
    const std::string stem = build_family == PlatformFamily::windows ? "" : "korvan-test-";
    dir_ = utf8(native(trusted_parent()) / random_name(stem));
    home_ = utf8(fs::temp_directory_path() / random_name("korvan-home-"));
    const fs::path copy = native(dir_) / native(source_module).filename();
    if (!fs::create_directories(native(dir_), error) ||
        !fs::create_directories(native(home_), error) ||
        !fs::copy_file(native(source_module), copy, error)) {
        error_ = "cannot set up " + utf8(copy) + ": " + error.message();
        return;
    }
    // Pinned as the parent pins a module, through the core library's settings writer.
    auto pinned = app_dirs::pin_module(app_dir(), utf8(copy));
    if (auto* failure = std::get_if<app_dirs::SettingsFailure>(&pinned)) {
        error_ = "cannot pin " + utf8(copy) + ": " + failure->text;
        return;
    }
    module_path_ = std::get<app_dirs::PinnedModule>(pinned).path;
    sha256_ = std::get<app_dirs::PinnedModule>(pinned).sha256;
}

TrustedModule::~TrustedModule() {
    std::error_code ignored;
    fs::remove_all(native(dir_), ignored);
    fs::remove_all(native(home_), ignored);
    if (build_family == PlatformFamily::windows) {
        fs::remove(native(trusted_parent()), ignored); // only when no other copy is left
    }
}

std::string TrustedModule::app_dir() const {
    return app_dirs::join_path(home_, ".korvan-qes");
}
std::string TrustedModule::config_path() const {
    return app_dirs::join_path(app_dir(), "config.json");
}
std::string TrustedModule::audit_log_path() const {
    return app_dirs::join_path(app_dir(), "audit.log");
}

nlohmann::json TrustedModule::pin_config() const {
    return {{"pkcs11_module_path", module_path_}, {"pkcs11_module_sha256", sha256_}};
}

void TrustedModule::write_config(const nlohmann::json& config) const {
    // Settings a parent could write go through the parent's settings writer; only those that no
    // parent would write (for the tests of their refusal) are written as they are.
    const auto parsed = app_dirs::parse_config(config.dump());
    if (const auto* settings = std::get_if<app_dirs::Config>(&parsed);
        settings != nullptr && !app_dirs::write_config(app_dir(), *settings)) {
        return;
    }
    std::error_code ignored;
    fs::create_directories(native(app_dir()), ignored);
    std::ofstream out(native(config_path()), std::ios::binary | std::ios::trunc);
    out << config.dump();
}

void TrustedModule::add_to(ChildRun& run) const {
    run.env["HOME"] = home_;
    run.env["KORVAN_MODULE_TRIAL_TOKEN"] = std::nullopt;
}

const TrustedModule& trusted_mock_module() {
    static const TrustedModule trusted(mock_module_path());
    return trusted;
}

} // namespace korvan::test
