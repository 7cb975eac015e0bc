#include "korvan/app_dirs/app_dir.hpp"
#include "korvan/app_dirs/path_rules.hpp"
#include "world_doubles.hpp"

#include <gtest/gtest.h>

namespace korvan::app_dirs {
namespace {

using test::FakeEnvironment;
using Status = platform::EnvValue::Status;

std::optional<std::string> profile_bob() {
    return build_family == PlatformFamily::windows ? "C:\\Users\\bob" : "/home/bob";
}
std::optional<std::string> no_profile() {
    return std::nullopt;
}

std::string sep() {
    return build_family == PlatformFamily::windows ? "\\" : "/";
}

TEST(AppDir, AnAbsoluteHomeIsTakenExactly) {
    struct Case {
        platform::EnvValue home;
        std::string dir;
    };
    const std::string home =
        build_family == PlatformFamily::windows ? "C:\\Users\\alice" : "/home/alice";
    const Case cases[] = {
        {{Status::Set, home}, home + sep() + ".korvan-qes"},
        {{Status::Set, home + sep()}, home + sep() + ".korvan-qes"},
        {{Status::NotUnicode, home + "\xFF"}, home + "\xFF" + sep() + ".korvan-qes"},
    };
    for (const Case& c : cases) {
        FakeEnvironment env;
        env.values["HOME"] = c.home;
        // The profile never matters once HOME is set, even when there is none.
        EXPECT_EQ(app_dir(env, profile_bob), c.dir) << c.home.value;
        EXPECT_EQ(app_dir(env, no_profile), c.dir) << c.home.value;
    }
}

// Otherwise the current folder, which whoever started the program chose and anybody may have
// planted, would decide what is trusted.
TEST(AppDir, AnEmptyOrRelativeHomeCountsAsUnset) {
    const std::vector<std::string> relative =
        build_family == PlatformFamily::windows
            ? std::vector<std::string>{"", "home", ".", "C:", "C:home", "\\home", "..\\home"}
            : std::vector<std::string>{"", "home", ".", "./home", "~", "../home", " /home"};
    for (const std::string& home : relative) {
        FakeEnvironment env;
        env.values["HOME"] = {Status::Set, home};
        EXPECT_EQ(app_dir(env, profile_bob), *profile_bob() + sep() + ".korvan-qes") << home;
        EXPECT_EQ(app_dir(env, no_profile), std::nullopt) << home;
    }
}

TEST(AppDir, UnsetHomeFallsBackToTheProfileOrNothing) {
    FakeEnvironment env;
    EXPECT_EQ(app_dir(env, profile_bob), *profile_bob() + sep() + ".korvan-qes");
    EXPECT_EQ(app_dir(env, no_profile), std::nullopt);
}

TEST(AppDir, TheRealProfileFolderIsFound) {
    // Wine passes no HOME to Windows programs, but every prefix has a profile folder; so does
    // every Linux account the tests run as.
    FakeEnvironment env;
    const std::optional<std::string> dir = app_dir(env);
    ASSERT_TRUE(dir.has_value());
    EXPECT_TRUE(is_absolute(*dir)) << *dir;
}

} // namespace
} // namespace korvan::app_dirs
