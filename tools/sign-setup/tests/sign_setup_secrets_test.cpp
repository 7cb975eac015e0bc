// The trial token of `approve` is on sign-setup's standard output and nowhere else: not on its
// standard error, not in any file of the per-user folder, not in what sign-cli prints when it
// uses the token. The PIN of `tokens --login` shows nowhere at all. Searched in every disguise
// of the project's secret search (raw, hex, base64).
#include "child_process.hpp"
#include "mock_module.hpp"
#include "secret_search.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

// What the per-user folder holds after the runs, by file name.
std::map<std::string, std::string> app_dir_files(const TrustedModule& trusted) {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(native(trusted.app_dir()), error)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] =
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return files;
}

void expect_absent(const std::string& secret, const std::map<std::string, std::string>& places) {
    for (const auto& [place, text] : places) {
        const std::optional<std::string> found = disguise_in(text, secret);
        EXPECT_FALSE(found.has_value()) << place << " holds " << *found << "\n" << text;
    }
}

TEST(SignSetupSecrets, TheTrialTokenLeavesOnlyThroughStandardOutput) {
    TrustedModule trusted(mock_module_path());
    ASSERT_TRUE(trusted.ok()) << trusted.error();
    trusted.write_config(nlohmann::json::object()); // nothing pinned: only the approval lets the module in
    MockToken mock;

    ChildRun approve;
    approve.args = {"approve", trusted.module_path()};
    trusted.add_to(approve);
    const ChildResult approved = run_child(program_path("sign-setup"), approve);
    ASSERT_EQ(approved.exit_code, 0) << approved.err;
    ASSERT_EQ(approved.out.size(), 65u) << approved.out;
    const std::string token = approved.out.substr(0, 64);

    std::map<std::string, std::string> places = {{"sign-setup stderr", approved.err}};
    for (const auto& [label, trial_token] :
         {std::pair<std::string, std::string>{"accepted", token}, {"refused", "another token"}}) {
        ChildRun sign;
        sign.args = {"--proto=2", trusted.module_path(), "VERIFY_ONLY", "", "", "0"};
        sign.input = "1234\n";
        trusted.add_to(sign);
        mock.add_to(sign);
        sign.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
        sign.env["KORVAN_MODULE_TRIAL_TOKEN"] = trial_token;
        const ChildResult r = run_child(program_path("sign-cli"), sign);
        EXPECT_EQ(r.exit_code, label == "accepted" ? 0 : 9) << label << "\n" << r.err;
        places["sign-cli stdout, " + label] = r.out;
        places["sign-cli stderr, " + label] = r.err;
    }
    const auto files = app_dir_files(trusted);
    EXPECT_EQ(files.count("config.json"), 1u);
    EXPECT_EQ(files.count("audit.log"), 1u) << "the refused run left its record";
    places.insert(files.begin(), files.end());
    expect_absent(token, places);
}

TEST(SignSetupSecrets, ThePinOfALoginShowsNowhere) {
    const std::string pin = "Q7#pinZ-91x";
    const TrustedModule& trusted = trusted_mock_module();
    for (const std::string& given : {pin, std::string("Q7#pinZ-91y")}) {
        MockToken mock({{"pin", pin}});
        ChildRun run;
        run.args = {"tokens", "--login", "--json", trusted.module_path()};
        run.input = given + "\n";
        trusted.add_to(run);
        mock.add_to(run);
        const ChildResult r = run_child(program_path("sign-setup"), run);
        EXPECT_EQ(r.exit_code, given == pin ? 0 : 1) << r.err;
        std::map<std::string, std::string> places = {{"stdout", r.out}, {"stderr", r.err}};
        const auto files = app_dir_files(trusted);
        places.insert(files.begin(), files.end());
        for (const std::string& trace : mock.trace_lines()) {
            places["mock trace"] += trace + "\n";
        }
        expect_absent(given, places);
    }
}

} // namespace
} // namespace korvan::test
