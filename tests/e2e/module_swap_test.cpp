// A pinned module renamed over after the policy hashed it: whoever can write the module's folder
// must not get code into sign-cli that way. The impostor is tests/fixtures/load-marker, which
// writes a marker file the moment it is loaded; the pinned module is the mock, which signs.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto3_conversation.hpp"
#include "trusted_module.hpp"

#include "korvan/app_dirs/path_rules.hpp"
#include "korvan/platform/child_process.hpp"
#include "korvan/sign_proto/frames.hpp"
#include "korvan/sign_proto/parent.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr bool windows = app_dirs::build_family == app_dirs::PlatformFamily::windows;

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string temp_name(const std::string& stem) {
    static std::mt19937_64 random{std::random_device{}()};
    const fs::path path =
        fs::temp_directory_path() / (stem + std::to_string(random() % 1000000000000ULL));
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string read_all(platform::ByteSource& source) {
    std::string text;
    std::array<std::uint8_t, 4096> chunk{};
    for (;;) {
        const platform::ReadResult r = source.read_some(chunk);
        if (r.status != platform::ReadResult::Status::Data) {
            return text;
        }
        text.append(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(r.count));
    }
}

// The pinned mock, the impostor beside it, and a sign-cli started on them.
class SwapRun {
  public:
    // The module path goes in as the second argument.
    explicit SwapRun(std::vector<std::string> args, const std::string& program = "sign-cli")
        : trusted_(mock_module_path()) {
        if (!trusted_.ok()) {
            ADD_FAILURE() << trusted_.error();
            return;
        }
        impostor_ = trusted_.module_path() + ".new";
        fs::copy_file(native(mock_module_path("load-marker")), native(impostor_));
        ChildRun run;
        trusted_.add_to(run);
        mock_.add_to(run);
        run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
        run.env["KORVAN_LOAD_MARKER"] = marker_;
        platform::EnvironmentChanges changes(run.env.begin(), run.env.end());
        args.insert(args.begin() + 1, trusted_.module_path());
        auto started = platform::ChildProcess::start(program_path(program), args, changes);
        if (auto* failed = std::get_if<platform::ChildStartFailure>(&started)) {
            ADD_FAILURE() << program << " did not start: " << failed->text;
            return;
        }
        child_.emplace(std::move(std::get<platform::ChildProcess>(started)));
    }
    ~SwapRun() {
        std::error_code ignored;
        fs::remove(native(impostor_), ignored);
        fs::remove(native(marker_), ignored);
        if (child_) {
            child_->kill();
            child_->wait();
        }
    }

    bool started() const { return child_.has_value(); }
    platform::ChildProcess& child() { return *child_; }
    const std::string& module_path() const { return trusted_.module_path(); }

    // Renames the impostor over the pinned module; false when the system refused.
    bool swap() {
        std::error_code error;
        fs::rename(native(impostor_), native(trusted_.module_path()), error);
        return !error;
    }
    bool impostor_ran() const { return fs::exists(native(marker_)); }

  private:
    TrustedModule trusted_;
    MockToken mock_;
    std::string impostor_;
    std::string marker_ = temp_name("korvan-swap-marker-");
    std::optional<platform::ChildProcess> child_;
};

int exit_code(const platform::ChildEnd& end) {
    const auto* exited = std::get_if<platform::ChildExited>(&end);
    return exited != nullptr ? exited->code : -1;
}

bool write_text(platform::ChildProcess& child, const std::string& text) {
    return child.input().write_all(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Every response up to the end of the child's output.
std::vector<std::string> remaining_frames(platform::ChildProcess& child) {
    std::vector<sign_proto::Proto3Response> responses;
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame{};
    for (;;) {
        auto read = sign_proto::read_response(child.output(), frame);
        auto* response = std::get_if<sign_proto::Proto3Response>(&read);
        if (response == nullptr) {
            return describe(responses);
        }
        responses.push_back(std::move(*response));
    }
}

// Whether some process holds the file open (Linux: its descriptors under /proc).
bool held_open(const std::string& path) {
    std::error_code error;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        std::error_code ignored;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", ignored)) {
            if (fs::read_symlink(fd.path(), ignored) == native(path)) {
                return true;
            }
        }
    }
    return false;
}

// Protocol 3 hashes at the start and loads at Login: the whole PIN dialog lies in between.
TEST(ModuleSwap, AModuleReplacedBetweenHelloAndLoginNeverRuns) {
    SwapRun run({"--proto=3", "01", "rsa", "0"});
    ASSERT_TRUE(run.started());
    platform::ChildProcess& child = run.child();
    ASSERT_TRUE(
        std::holds_alternative<sign_proto::Marker>(sign_proto::read_marker(child.output())));
    std::array<std::uint8_t, sign_proto::frame_buffer_size> frame{};
    const sign_proto::ResponseRead hello = sign_proto::read_response(child.output(), frame);
    const auto* response = std::get_if<sign_proto::Proto3Response>(&hello);
    ASSERT_TRUE(response != nullptr && std::holds_alternative<sign_proto::Hello>(*response));

    // Where the open file is held without delete sharing the rename itself is refused; elsewhere
    // it succeeds and the held file is loaded all the same.
    EXPECT_EQ(run.swap(), !windows);

    ASSERT_TRUE(write_text(child, conversation_input({login("1234"), sign(1), close_request()})));
    child.close_input();
    const std::vector<std::string> frames = remaining_frames(child);
    const platform::ChildEnd end = child.wait();
    EXPECT_FALSE(run.impostor_ran()) << "the impostor's code ran inside sign-cli";
    EXPECT_EQ(exit_code(end), 0);
    ASSERT_EQ(frames.size(), 3u) << ::testing::PrintToString(frames);
    EXPECT_EQ(frames[0].rfind("SessionReady", 0), 0u) << frames[0];
    EXPECT_EQ(frames[1].rfind("Signature id=1", 0), 0u) << frames[1];
    EXPECT_EQ(frames[2], "Goodbye");
}

// Swaps once the policy holds the file open, then gives the PIN line and reads the output to its
// end. None when the swap could not be made.
std::optional<std::pair<platform::ChildEnd, std::string>> swap_then_give_pin(SwapRun& run) {
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (!held_open(run.module_path()) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(10ms);
    }
    if (!held_open(run.module_path())) {
        ADD_FAILURE() << "the module file was never held open";
        return std::nullopt;
    }
    if (!run.swap()) {
        ADD_FAILURE() << "the rename over the module failed";
        return std::nullopt;
    }
    platform::ChildProcess& child = run.child();
    EXPECT_TRUE(write_text(child, "1234\n"));
    child.close_input();
    std::string out = read_all(child.output());
    return std::pair{child.wait(), std::move(out)};
}

// Protocol 2 hashes before it reads the PIN; the swap waits until the policy holds the file.
TEST(ModuleSwap, AModuleReplacedWhileThePinIsAwaitedNeverRuns) {
    if (windows) {
        GTEST_SKIP() << "no way to see from outside when the policy has opened the file; the "
                        "protocol-3 case shows the rename refused";
    }
    SwapRun run({"--proto=2", std::string(64, 'a'), "01", "rsa", "0"});
    ASSERT_TRUE(run.started());
    const auto swapped = swap_then_give_pin(run);
    ASSERT_TRUE(swapped.has_value());
    const auto& [end, out] = *swapped;
    EXPECT_FALSE(run.impostor_ran()) << "the impostor's code ran inside sign-cli";
    EXPECT_EQ(exit_code(end), 0);
    EXPECT_EQ(out.rfind("<<KORVAN_SIGN_PROTO_2>>\n", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out; // the marker and the signature
}

// sign-setup tokens --login asks the policy, then reads the PIN, then loads the module.
TEST(ModuleSwap, AModuleReplacedWhileSignSetupAwaitsThePinNeverRuns) {
    if (windows) {
        GTEST_SKIP() << "no way to see from outside when the policy has opened the file";
    }
    SwapRun run({"tokens", "--json", "--login"}, "sign-setup");
    ASSERT_TRUE(run.started());
    const auto swapped = swap_then_give_pin(run);
    ASSERT_TRUE(swapped.has_value());
    const auto& [end, out] = *swapped;
    EXPECT_FALSE(run.impostor_ran()) << "the impostor's code ran inside sign-setup";
    EXPECT_EQ(exit_code(end), 0);
    EXPECT_NE(out.find("\"expect_token\""), std::string::npos) << out;
}

// Where /proc/self/fd does not lead to the file, the module is loaded by its path and the loaded
// file is compared with the held one; an unchanged module still signs.
TEST(ModuleSwap, WithoutProcDescriptorsTheLoadedFileIsCheckedAgainstTheHeldOne) {
    const std::string unshare = "/usr/bin/unshare";
    ChildRun probe;
    probe.args = {"--mount", "true"};
    if (windows || !fs::exists(unshare) || run_child(unshare, probe).exit_code != 0) {
        GTEST_SKIP() << "no mount namespace to hide /proc/self/fd in";
    }
    const TrustedModule& trusted = trusted_mock_module();
    MockToken mock;
    ChildRun run;
    run.args = {"--mount", "sh", "-c",
                // An empty folder over the shell's own descriptor folder, which sign-cli keeps
                // (exec leaves the process id); the rest of /proc, where the sanitizers read
                // their options, stays.
                "mount -t tmpfs none /proc/$$/fd && exec \"$0\" \"$@\"", program_path("sign-cli"),
                "--proto=2", trusted.module_path(), std::string(64, 'a'), "01", "rsa", "0"};
    trusted.add_to(run);
    mock.add_to(run);
    run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
    run.input = "1234\n";
    const ChildResult r = run_child(unshare, run);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("sign-cli: OK (256 bytes signature)"), std::string::npos) << r.err;
}

} // namespace
} // namespace korvan::test
