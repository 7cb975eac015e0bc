// Where Windows looks for the DLLs a vendor module imports: beside the module first, then the
// system folders, never the current folder, which is the parent's and may hold a planted copy.
// sibling-pkcs11.dll imports korvan-sibling.dll; the planted copy of that name would serve the
// import as well and leaves a marker file the moment it is attached.
#include "child_process.hpp"
#include "mock_module.hpp"
#include "proto2/base64.hpp"
#include "trusted_module.hpp"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <random>

namespace korvan::test {
namespace {

namespace fs = std::filesystem;

fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}
std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path fresh_folder(const std::string& stem) {
    static std::mt19937_64 random{std::random_device{}()};
    const fs::path dir =
        fs::temp_directory_path() / (stem + std::to_string(random() % 1000000000000ULL));
    fs::create_directories(dir);
    return dir;
}

// The test's current folder, which the child inherits, for the duration of one run.
class CurrentFolder {
  public:
    explicit CurrentFolder(const fs::path& dir) : previous_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~CurrentFolder() { fs::current_path(previous_); }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

  private:
    fs::path previous_;
};

const fs::path sibling_name = "korvan-sibling.dll";

bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(ModuleSearch, TheModulesOwnFolderIsSearchedAndTheCurrentFolderNever) {
    struct Case {
        const char* label;
        bool beside_module;
        bool planted;
        int exit_code;
    };
    const Case cases[] = {
        {"sibling beside the module", true, false, 0},
        {"sibling beside the module, a copy planted in the current folder", true, true, 0},
        {"only a copy planted in the current folder", false, true, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.beside_module && under_wine()) {
            // Wine takes an empty DLL directory for none and keeps searching the current folder.
            std::printf("[  SKIPPED ] %s: Wine ignores SetDllDirectoryW(L\"\")\n", c.label);
            continue;
        }
        const TrustedModule trusted(mock_module_path("sibling-pkcs11"));
        ASSERT_TRUE(trusted.ok()) << trusted.error();
        const fs::path module_folder = native(trusted.module_path()).parent_path();
        if (c.beside_module) {
            fs::copy_file(native(executable_dir()) / "sibling" / sibling_name,
                          module_folder / sibling_name);
        }
        const fs::path planted_folder = fresh_folder("korvan-cwd-");
        if (c.planted) {
            fs::copy_file(native(executable_dir()) / "planted" / sibling_name,
                          planted_folder / sibling_name);
        }
        const fs::path marker = planted_folder / "planted-dll-ran";

        MockToken mock;
        ChildRun run;
        run.args = {"--proto=2", trusted.module_path(), std::string(64, 'a'), "01", "rsa", "0"};
        trusted.add_to(run);
        mock.add_to(run);
        run.env["KORVAN_EXPECT_TOKEN"] = "53313233:4b617274";
        run.env["KORVAN_LOAD_MARKER"] = utf8(marker);
        run.input = "1234\n";
        ChildResult r;
        {
            const CurrentFolder current(planted_folder);
            r = run_child(program_path("sign-cli"), run);
        }
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        if (c.exit_code == 0) {
            EXPECT_EQ(r.out,
                      "<<KORVAN_SIGN_PROTO_2>>\n" + cli::encode_base64(mock_signature(256)) + "\n");
        } else {
            EXPECT_NE(r.err.find("sign-cli: dlopen failed: LoadLibraryExW failed\n"),
                      std::string::npos)
                << r.err;
        }
        EXPECT_FALSE(fs::exists(marker)) << "the planted DLL ran";
        std::error_code ignored;
        fs::remove_all(planted_folder, ignored);
    }
}

} // namespace
} // namespace korvan::test
