// The module trust policy through the built program: a rejected path ends the run with exit code 9
// before any other argument is looked at, prints one line, records one audit record, and the
// module is never loaded. The module used is tests/fixtures/load-marker, which writes a marker
// file the moment it is loaded.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "trusted_module.hpp"

#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/sha256.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;
constexpr bool windows = app_dirs::build_family == app_dirs::PlatformFamily::windows;
const std::string marker_line = "<<KORVAN_SIGN_PROTO_2>>\n";
const std::string digest(64, 'a');

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}
std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string read_text(const std::string& path) {
    std::ifstream in(native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string load_marker_module() {
    return mock_module_path("load-marker");
}

// A fresh marker file name for one run, and the check that nothing wrote it.
class Marker {
  public:
    Marker() {
        static std::mt19937_64 random{std::random_device{}()};
        path_ = utf8(fs::temp_directory_path() /
                     ("korvan-marker-" + std::to_string(random() % 1000000000000ULL)));
    }
    ~Marker() {
        std::error_code ignored;
        fs::remove(native(path_), ignored);
    }
    const std::string& path() const { return path_; }
    bool written() const { return fs::exists(native(path_)); }

  private:
    std::string path_;
};

ChildResult run_sign_cli(const std::string& module, const TrustedModule& home, const Marker& marker,
                         std::vector<std::string> rest = {digest, "01", "rsa", "0"},
                         std::optional<std::string> token = std::nullopt) {
    ChildRun run;
    run.args = {"--proto=2", module};
    run.args.insert(run.args.end(), rest.begin(), rest.end());
    home.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    run.env["KORVAN_LOAD_MARKER"] = marker.path();
    run.env["KORVAN_MODULE_TRIAL_TOKEN"] = std::move(token);
    run.input = "1234\n";
    return run_child(program_path("sign-cli"), run);
}

void expect_rejected(const ChildResult& r, const TrustedModule& home, const Marker& marker,
                     const std::string& reason, const std::string& label) {
    EXPECT_EQ(r.exit_code, 9) << label << "\n" << r.err;
    EXPECT_EQ(r.out, marker_line) << label;
    EXPECT_EQ(r.err, "child module path rejected: " + reason + "\n") << label;
    const std::vector<std::string> lines = lines_of(read_text(home.audit_log_path()));
    ASSERT_EQ(lines.size(), 1u) << label;
    const nlohmann::json record = nlohmann::json::parse(lines[0], nullptr, false);
    ASSERT_TRUE(record.is_object()) << lines[0];
    EXPECT_EQ(record["action"], "child_module_rejected") << label;
    EXPECT_EQ(record["success"], false) << label;
    EXPECT_EQ(record["error"], "child_module_rejected:" + reason) << label;
    EXPECT_EQ(record.size(), 4u) << lines[0];
    EXPECT_FALSE(marker.written()) << label << ": the module was loaded";
}

// The fixture does what the other tests rely on: a module the policy accepts is loaded, and the
// marker appears.
TEST(ModulePolicyCli, AnAcceptedModuleIsLoadedAndLeavesItsMarker) {
    TrustedModule trusted(load_marker_module());
    ASSERT_TRUE(trusted.ok()) << trusted.error();
    Marker marker;
    const ChildResult r = run_sign_cli(trusted.module_path(), trusted, marker);
    EXPECT_NE(r.exit_code, 9) << r.err;
    EXPECT_EQ(r.err.find("rejected"), std::string::npos) << r.err;
    EXPECT_TRUE(marker.written()) << r.err;
    EXPECT_FALSE(fs::exists(native(trusted.audit_log_path())));
}

TEST(ModulePolicyCli, EveryRejectionExitsNinePrintsOneLineRecordsOneRecordAndLoadsNothing) {
    TrustedModule trusted(load_marker_module());
    ASSERT_TRUE(trusted.ok()) << trusted.error();
    struct Case {
        std::string label;
        std::string candidate;
        nlohmann::json config;
        std::string reason;
        std::optional<std::string> token;
    };
    const std::string relative = windows ? "load-marker.dll" : "load-marker.so";
    nlohmann::json wrong_pin = trusted.pin_config();
    wrong_pin["pkcs11_module_sha256"] = std::string(64, '0');
    nlohmann::json upper_pin = trusted.pin_config();
    std::string upper = trusted.sha256();
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    upper_pin["pkcs11_module_sha256"] = upper;
    nlohmann::json expired = {{"pending_module_path", trusted.module_path()},
                              {"pending_module_sha256", trusted.sha256()},
                              {"pending_module_token_sha256",
                               app_dirs::hex_lower(*platform::sha256(std::string_view("token")))},
                              {"pending_module_expires", 1}};
    const std::vector<Case> cases = {
        {"relative", relative, trusted.pin_config(), "not_absolute", std::nullopt},
        {"empty", "", trusted.pin_config(), "not_absolute", std::nullopt},
        {"built, not trusted", load_marker_module(), trusted.pin_config(), "not_known",
         std::nullopt},
        {"no settings", trusted.module_path(), nlohmann::json::array(), "not_known", std::nullopt},
        {"wrong digest", trusted.module_path(), wrong_pin, "pin_mismatch", std::nullopt},
        {"upper-case digest", trusted.module_path(), upper_pin, "pin_mismatch", std::nullopt},
        {"expired pending module", trusted.module_path(), expired, "not_known", "token"},
    };
    for (const Case& c : cases) {
        trusted.write_config(c.config);
        std::error_code ignored;
        fs::remove(native(trusted.audit_log_path()), ignored);
        Marker marker;
        const ChildResult r =
            run_sign_cli(c.candidate, trusted, marker, {digest, "01", "rsa", "0"}, c.token);
        expect_rejected(r, trusted, marker, c.reason, c.label);
    }
}

TEST(ModulePolicyCli, APendingModuleWithinItsWindowIsLoaded) {
    TrustedModule trusted(load_marker_module());
    ASSERT_TRUE(trusted.ok()) << trusted.error();
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    trusted.write_config({{"pending_module_path", trusted.module_path()},
                          {"pending_module_sha256", trusted.sha256()},
                          {"pending_module_token_sha256",
                           app_dirs::hex_lower(*platform::sha256(std::string_view("trial")))},
                          {"pending_module_expires", now + 20}});
    Marker marker;
    const ChildResult r =
        run_sign_cli(trusted.module_path(), trusted, marker, {digest, "01", "rsa", "0"}, "trial");
    EXPECT_NE(r.exit_code, 9) << r.err;
    EXPECT_TRUE(marker.written()) << r.err;
}

TEST(ModulePolicyCli, ALinkLeavingTheSystemFoldersIsRejected) {
    if constexpr (windows) {
        GTEST_SKIP() << "Windows code cannot make links under Wine; the core tests cover this";
    } else {
        const std::string entry = "/opt/etugra/eimzap11.so";
        if (fs::exists(fs::symlink_status(entry)) || fs::exists("/opt/etugra")) {
            GTEST_SKIP() << "a real vendor module is installed here";
        }
        TrustedModule home(load_marker_module());
        fs::create_directories("/opt/etugra");
        fs::create_symlink(load_marker_module(), entry);
        Marker marker;
        const ChildResult r = run_sign_cli(entry, home, marker);
        std::error_code ignored;
        fs::remove_all("/opt/etugra", ignored);
        expect_rejected(r, home, marker, "target_outside_system_dir", entry);
    }
}

TEST(ModulePolicyCli, TheRejectionComesBeforeEveryOtherArgumentCheck) {
    TrustedModule home(load_marker_module());
    Marker marker;
    const ChildResult r = run_sign_cli(load_marker_module(), home, marker, {"zz"});
    expect_rejected(r, home, marker, "not_known", "bad digest after a rejected module");
}

TEST(ModulePolicyCli, WithoutAUsableHomeOnlyTheLineIsPrinted) {
    // HOME names a file, so no per-user folder can exist below it.
    TrustedModule trusted(load_marker_module());
    const std::string file_home = utf8(native(trusted.home()) / "not-a-folder");
    std::ofstream(native(file_home)) << "x";
    Marker marker;
    ChildRun run;
    run.args = {"--proto=2", load_marker_module(), digest, "01", "rsa", "0"};
    run.env["HOME"] = file_home;
    run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    run.env["KORVAN_LOAD_MARKER"] = marker.path();
    run.input = "1234\n";
    const ChildResult r = run_child(program_path("sign-cli"), run);
    EXPECT_EQ(r.exit_code, 9);
    EXPECT_EQ(r.out, marker_line);
    EXPECT_EQ(r.err, "child module path rejected: not_known\n");
    EXPECT_EQ(read_text(file_home), "x");
    EXPECT_FALSE(marker.written());
}

} // namespace
} // namespace korvan::test
