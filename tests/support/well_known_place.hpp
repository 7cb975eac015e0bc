#pragma once

// Files at the fixed places the module trust policy trusts without a pin (C:\Windows\System32 and
// C:\Program Files inside the test's Wine prefix, /opt or /usr/lib on Linux), for tests that need
// a well-known module to exist.
//
//     WellKnownLock lock;                         // one test of this machine at a time
//     PlacedFile module("/opt/akis/libakisp11.so", "module");

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace korvan::test {

namespace well_known_detail {
inline std::filesystem::path native(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
} // namespace well_known_detail

// Well-known locations are fixed paths shared by every build of this tree that runs its tests on
// this machine; one test at a time may own them.
class WellKnownLock {
  public:
    WellKnownLock() : path_(std::filesystem::temp_directory_path() / "korvan-policy.lock") {
        for (int i = 0; i < 600; ++i) {
            std::error_code error;
            if (std::filesystem::create_directory(path_, error)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ~WellKnownLock() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    WellKnownLock(const WellKnownLock&) = delete;
    WellKnownLock& operator=(const WellKnownLock&) = delete;

  private:
    std::filesystem::path path_;
};

// A file at a fixed path, with the folders it needed; all removed again.
class PlacedFile {
  public:
    PlacedFile(const std::string& path, const std::string& content)
        : file_(well_known_detail::native(path)) {
        std::filesystem::path folder = file_.parent_path();
        while (!std::filesystem::exists(folder)) {
            created_.push_back(folder);
            folder = folder.parent_path();
        }
        std::filesystem::create_directories(file_.parent_path());
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << content;
    }
    ~PlacedFile() {
        std::error_code ignored;
        std::filesystem::remove(file_, ignored);
        for (const std::filesystem::path& folder : created_) {
            std::filesystem::remove(folder, ignored);
        }
    }
    PlacedFile(const PlacedFile&) = delete;
    PlacedFile& operator=(const PlacedFile&) = delete;

  private:
    std::filesystem::path file_;
    std::vector<std::filesystem::path> created_;
};

} // namespace korvan::test
