// The PIN and the trial token never leave the process: after any run of the built program, of
// either protocol, neither appears as raw bytes, hex or base64 on standard output, standard error
// or in any file of the per-user folder (settings, audit log); and module code runs in a process
// that a crash cannot turn into a core file.

#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto3_conversation.hpp"
#include "secret_search.hpp"
#include "trusted_module.hpp"

#include "korvan/app_dirs/module_policy.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/sha256.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;

const std::string pin = "Q7#pinZ-91x";
const std::string trial_token = "trial-Vx93#tok";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

// Every place a run leaves text behind, by name.
std::map<std::string, std::string> traces_of(const ChildResult& r, const TrustedModule& trusted) {
    std::map<std::string, std::string> places = {{"stdout", r.out}, {"stderr", r.err}};
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(native(trusted.app_dir()), error)) {
        places[entry.path().filename().string()] = read_file(entry.path());
    }
    return places;
}

long long now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Case {
    std::string label;
    nlohmann::json scenario;
    std::string expect_token = "53313233:4b617274";
    std::string approved_token = trial_token; // the one config.json holds the digest of
    int proto2_exit;
    int proto3_exit;
};

const std::vector<Case> cases = {
    {"signed", {{"pin", pin}}, "53313233:4b617274", trial_token, 0, 0},
    {"wrong PIN", {{"pin", "1234"}}, "53313233:4b617274", trial_token, 3, 1},
    {"locked", {{"pin", pin}, {"pin_tries_left", 0}}, "53313233:4b617274", trial_token, 3, 1},
    {"another token", {{"pin", pin}}, "53313234:4b617274", trial_token, 10, 1},
    {"module rejected", {{"pin", pin}}, "53313233:4b617274", "another trial token", 9, 1},
    {"crash in C_Sign",
     {{"pin", pin}, {"fail", {{{"fn", "C_Sign"}, {"crash", "abort"}}}}},
     "53313233:4b617274",
     trial_token,
     -2,
     -2}, // any failure
};

ChildResult run(const Case& c, const TrustedModule& trusted, const MockToken& mock, int proto) {
    trusted.write_config({{"pending_module_path", trusted.module_path()},
                          {"pending_module_sha256", trusted.sha256()},
                          {"pending_module_token_sha256", app_dirs::hex_lower(*platform::sha256(
                                                              std::string_view(c.approved_token)))},
                          {"pending_module_expires", now_seconds() + 20}});
    ChildRun child;
    if (proto == 2) {
        child.args = {"--proto=2", trusted.module_path(), std::string(64, 'a'), "01", "rsa", "0"};
        child.input = pin + "\n";
    } else {
        child.args = {"--proto=3", trusted.module_path(), "01", "rsa", "0"};
        child.input = conversation_input({login(pin), sign(1), close_request()});
    }
    trusted.add_to(child);
    mock.add_to(child);
    child.env["KORVAN_EXPECT_TOKEN"] = c.expect_token;
    child.env["KORVAN_MODULE_TRIAL_TOKEN"] = trial_token;
    return run_child(program_path("sign-cli"), child);
}

TEST(SecretHygiene, NeitherThePinNorTheTrialTokenIsWrittenAnywhere) {
    for (int proto : {2, 3}) {
        for (const Case& c : cases) {
            const std::string label = "proto " + std::to_string(proto) + ", " + c.label;
            TrustedModule trusted(mock_module_path());
            ASSERT_TRUE(trusted.ok()) << trusted.error();
            MockToken mock(c.scenario);
            const ChildResult r = run(c, trusted, mock, proto);
            const int expected = proto == 2 ? c.proto2_exit : c.proto3_exit;
            if (expected >= 0) {
                EXPECT_EQ(r.exit_code, expected) << label << "\n" << r.err;
            } else {
                EXPECT_NE(r.exit_code, 0) << label << "\n" << r.err;
            }
            const auto places = traces_of(r, trusted);
            // The run got as far as the case says: the audit record of a rejection is there.
            EXPECT_EQ(places.count("audit.log"), c.label == "module rejected" ? 1u : 0u) << label;
            for (const auto& [place, text] : places) {
                for (const std::string& secret : {pin, trial_token}) {
                    for (const std::string& form : disguises(secret)) {
                        EXPECT_EQ(text.find(form), std::string::npos)
                            << label << ": " << place << " holds " << form << "\n"
                            << text;
                    }
                }
            }
        }
    }
}

// The search itself finds each disguise where it is hidden, so a clean result means something.
TEST(SecretHygiene, EveryDisguiseIsFoundInsideALongerText) {
    for (std::size_t offset = 0; offset < 3; ++offset) {
        const std::string around = std::string(offset, 'p') + pin + "tail";
        const std::vector<std::string> hidden = {around, hex(around, "0123456789abcdef"),
                                                 hex(around, "0123456789ABCDEF"),
                                                 base64(around + "xx")};
        for (const std::string& text : hidden) {
            bool found = false;
            for (const std::string& form : disguises(pin)) {
                found = found || text.find(form) != std::string::npos;
            }
            EXPECT_TRUE(found) << offset << ": " << text;
        }
    }
}

// Module code runs in a process that cannot leave a core file: what the probe module sees from
// inside (a default process is dumpable, and its hard core limit is rarely 0).
TEST(ProcessHardening, ModuleCodeRunsWhereACrashWritesNoCoreFile) {
    if constexpr (app_dirs::build_family == app_dirs::PlatformFamily::windows) {
        GTEST_SKIP() << "Windows writes no core files";
    } else {
        TrustedModule trusted(mock_module_path("hardening-probe"));
        ASSERT_TRUE(trusted.ok()) << trusted.error();
        for (int proto : {2, 3}) {
            ChildRun child;
            if (proto == 2) {
                child.args = {"--proto=2", trusted.module_path(), "VERIFY_ONLY", "01", "rsa", "0"};
                child.input = pin + "\n";
            } else {
                child.args = {"--proto=3", trusted.module_path(), "01", "rsa", "0"};
                child.input = conversation_input({login(pin)});
            }
            trusted.add_to(child);
            child.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
            const ChildResult r = run_child(program_path("sign-cli"), child);
            EXPECT_NE(r.err.find("hardening-probe: dumpable=0 core=0/0\n"), std::string::npos)
                << proto << ": " << r.err;
        }
    }
}

} // namespace
} // namespace korvan::test
