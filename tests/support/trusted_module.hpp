#pragma once

// Makes a module built by the tests pass sign-cli's module trust policy, the way the parent
// application trusts a module: a copy at a trusted location, pinned (app_dirs::pin_module) with
// its canonical path and SHA-256 in config.json below a throw-away home folder.
//
//     TrustedModule trusted(mock_module_path());
//     ASSERT_TRUE(trusted.ok()) << trusted.error();
//     ChildRun run;
//     run.args = {"--proto=2", trusted.module_path(), ...};
//     trusted.add_to(run); // HOME for the child; no trial token
//
// The copy lives in /opt/korvan-test-<random>/ on Linux and in
// C:\Program Files\KorvanTest\<random>\ under Wine; the home folder in the temporary folder.
// Both are removed again when the object dies. Pass module_path() unchanged: the policy compares
// the candidate with the canonical form (under Wine it begins with \\?\).

#include "child_process.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace korvan::test {

class TrustedModule {
  public:
    explicit TrustedModule(const std::string& source_module);
    ~TrustedModule();
    TrustedModule(const TrustedModule&) = delete;
    TrustedModule& operator=(const TrustedModule&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // The canonical path of the copy: the command line's module path.
    const std::string& module_path() const { return module_path_; }
    const std::string& sha256() const { return sha256_; }
    // HOME for the child; its per-user folder, settings file and audit log.
    const std::string& home() const { return home_; }
    std::string app_dir() const;
    std::string config_path() const;
    std::string audit_log_path() const;

    // Replaces the settings, for tests of other pins or of a pending module: through the
    // parent's settings writer, or as they are when they are no valid settings.
    void write_config(const nlohmann::json& config) const;
    // The settings that pin the copy.
    nlohmann::json pin_config() const;

    // Sets HOME and removes KORVAN_MODULE_TRIAL_TOKEN.
    void add_to(ChildRun& run) const;

  private:
    std::string dir_;
    std::string home_;
    std::string module_path_;
    std::string sha256_;
    std::string error_;
};

// The mock PKCS#11 module, trusted once for the whole test executable (removed at exit).
const TrustedModule& trusted_mock_module();

} // namespace korvan::test
