#pragma once

// Real files for the core tests: unique folders that remove themselves, and a settable clock.

#include "korvan/platform/clock.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace korvan::test {

namespace fs = std::filesystem;

// Paths are UTF-8 text in our code; std::filesystem would read a narrow string in the ANSI code
// page on Windows.
inline fs::path native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::string unique_name(const std::string& stem) {
    static std::mt19937_64 random{std::random_device{}()};
    return stem + "-" + std::to_string(random() % 1000000000000ULL);
}

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(native(path), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file_text(const std::string& path) {
    std::ifstream in(native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A new folder below `parent` (the temporary folder by default), removed with its contents.
class TempDir {
  public:
    explicit TempDir(const std::string& parent = utf8(fs::temp_directory_path()),
                     const std::string& stem = "korvan-core")
        : path_(utf8(native(parent) / native(unique_name(stem)))) {
        fs::create_directories(native(path_));
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(native(path_), ignored);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return utf8(native(path_) / native(name)); }

  private:
    std::string path_;
};

// Wine's ntdll exports its version; Windows' does not.
inline bool running_under_wine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

class FixedClock final : public platform::Clock {
  public:
    explicit FixedClock(std::int64_t seconds = 1740820502, std::uint32_t nanoseconds = 0)
        : time{seconds, nanoseconds} {}
    platform::UtcTime now() const override { return time; }
    platform::UtcTime time;
};

} // namespace korvan::test
