// The one rule for files that decide something: this user's or root's, writable by neither group
// nor others; the text names the file and why.
#include "korvan/platform/ownership.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korvan::platform {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
class Scratch {
  public:
    Scratch()
        : path(fs::temp_directory_path() /
               ("korvan-own-" + std::to_string(std::random_device{}()))) {
        fs::create_directory(path);
        fs::permissions(path, fs::perms::owner_all);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

TEST(Ownership, ByNameAndByHandleTheSameRule) {
    using fs::perms;
    constexpr perms rw = perms::owner_read | perms::owner_write;
    struct Case {
        std::string label;
        std::function<void(const fs::path&)> make;
        std::string by_name;   // the problem's end, by name; empty: passes
        std::string by_handle; // through an open handle of what the name leads to
        bool needs_root;
    };
    const auto file = [](perms mode) {
        return [mode](const fs::path& p) {
            std::ofstream(p) << "x";
            fs::permissions(p, mode);
        };
    };
    const Case cases[] = {
        {"0600 file", file(rw), "", "", false},
        {"0644 file", file(rw | perms::group_read | perms::others_read), "", "", false},
        {"group-writable file", file(rw | perms::group_write), " is writable by group",
         " is writable by group", false},
        {"others-writable file", file(rw | perms::others_write), " is writable by others",
         " is writable by others", false},
        {"sticky 1777 folder",
         [](const fs::path& p) {
             fs::create_directory(p);
             fs::permissions(p, perms::all | perms::sticky_bit);
         },
         " is writable by group", " is writable by group", false},
        // A link's own mode means nothing; what it leads to is judged when it is opened.
        {"link to an others-writable file",
         [](const fs::path& p) {
             std::ofstream(p.string() + ".target") << "x";
             fs::permissions(p.string() + ".target", rw | perms::others_write);
             fs::create_symlink(p.string() + ".target", p);
         },
         "", " is writable by others", false},
        {"another user's file",
         [](const fs::path& p) {
             std::ofstream(p) << "x";
             fs::permissions(p, rw);
             ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
         },
         " is owned by user 65534, not by user 0 or root",
         " is owned by user 65534, not by user 0 or root", true},
        {"another user's link",
         [](const fs::path& p) {
             std::ofstream(p.string() + ".target") << "x";
             fs::create_symlink(p.string() + ".target", p);
             ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0);
         },
         " is owned by user 65534, not by user 0 or root", "", true},
    };
    for (const Case& c : cases) {
        if (c.needs_root && ::geteuid() != 0) {
            continue;
        }
        Scratch scratch;
        const fs::path p = scratch.path / "entry";
        c.make(p);
        const std::string name = p.string();
        const std::optional<std::string> by_name = ownership_problem(name);
        EXPECT_EQ(by_name.value_or(""), c.by_name.empty() ? "" : name + c.by_name) << c.label;
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << c.label;
        const std::optional<std::string> by_handle = ownership_problem(fd, "it");
        ::close(fd);
        EXPECT_EQ(by_handle.value_or(""), c.by_handle.empty() ? "" : "it" + c.by_handle) << c.label;
    }
    EXPECT_NE(ownership_problem("/nonexistent/korvan").value_or("").find("cannot be examined"),
              std::string::npos);
}
#endif

} // namespace
} // namespace korvan::platform
