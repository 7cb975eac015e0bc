#include "korvan/app_dirs/path_rules.hpp"

#include <gtest/gtest.h>

namespace korvan::app_dirs {
namespace {

constexpr auto win = PlatformFamily::windows;
constexpr auto mac = PlatformFamily::macos;
constexpr auto lin = PlatformFamily::linux;

TEST(PathRules, IsAbsolute) {
    struct Case {
        PlatformFamily family;
        std::string_view path;
        bool absolute;
    };
    const Case cases[] = {
        {win, "C:\\x", true},
        {win, "c:/x", true},
        {win, "C:\\", true},
        {win, "\\\\server\\share\\x", true},
        {win, "\\\\server\\share", true},
        {win, "//server/share/x", true},
        {win, "\\\\?\\C:\\x", true},
        {win, "\\\\?\\UNC\\server\\share\\x", true},
        {win, "\\\\?\\Volume{abc}\\x", true},
        {win, "\\\\.\\COM1", true},
        {win, "x", false},
        {win, "akisp11.dll", false},
        {win, "\\x", false},
        {win, "\\Windows\\System32\\akisp11.dll", false},
        {win, "C:x", false},
        {win, "C:akisp11.dll", false},
        {win, "C:", false},
        {win, "", false},
        {win, "\\\\server", false}, // no share: not a UNC prefix
        {win, "\\\\server\\", false},
        {win, "1:\\x", false},
        {lin, "/usr/lib/x.so", true},
        {lin, "usr/lib/x.so", false},
        {lin, "C:\\x", false},
        {lin, "", false},
        {mac, "/Library/x", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_absolute(c.path, c.family), c.absolute) << c.path;
    }
}

TEST(PathRules, EqualityComparesStructureNotText) {
    struct Case {
        PlatformFamily family;
        std::string_view a;
        std::string_view b;
        bool equal;
    };
    const Case cases[] = {
        {win, "c:/Windows/System32//akisp11.dll", "C:\\Windows\\System32\\akisp11.dll", true},
        {win, "C:\\Windows\\.\\System32\\akisp11.dll\\", "C:\\Windows\\System32\\akisp11.dll",
         true},
        {win, "C:\\WINDOWS\\System32\\akisp11.dll", "C:\\Windows\\System32\\akisp11.dll", false},
        {win, "\\\\?\\C:\\Windows\\System32\\akisp11.dll", "C:\\Windows\\System32\\akisp11.dll",
         false},
        {win, "\\\\?\\c:\\Program Files\\V\\p11.dll", "\\\\?\\C:\\Program Files\\V\\p11.dll", true},
        // After a verbatim prefix only the backslash separates and "." is a name.
        {win, "\\\\?\\C:\\a/b", "\\\\?\\C:\\a\\b", false},
        {win, "\\\\?\\C:\\a\\.\\b", "\\\\?\\C:\\a\\b", false},
        {win, "\\\\?\\C:\\a\\\\b\\", "\\\\?\\C:\\a\\b", true},
        {win, "a\\..\\b", "b", false},
        {win, "C:\\a\\..\\b", "C:\\a\\..\\b", true},
        {win, "C:\\x", "C:x", false},
        {win, "C:\\x", "D:\\x", false},
        {win, "\\x", "x", false},
        {win, "\\\\Server\\Share\\x", "//Server/Share/x", true},
        {win, "\\\\server\\share\\x", "\\\\SERVER\\share\\x", false},
        {win, "\\\\server\\share", "\\\\server\\share\\", true},
        {win, "\\\\?\\UNC\\server\\share\\x", "\\\\server\\share\\x", false},
        {win, "\\\\?\\UNC\\server\\share\\x", "\\\\?\\UNC\\server\\share\\x", true},
        {win, "\\\\.\\COM1", "\\\\.\\com1", false},
        {win, "\\\\?\\Volume{a}\\x", "\\\\?\\Volume{b}\\x", false},
        {win, "", "", true},
        {lin, "/opt//akis/./libakisp11.so", "/opt/akis/libakisp11.so", true},
        {lin, "/opt/AKIS/libakisp11.so", "/opt/akis/libakisp11.so", false},
        {lin, "/opt/x/../akis/libakisp11.so", "/opt/akis/libakisp11.so", false},
        {lin, "opt/akis/libakisp11.so", "/opt/akis/libakisp11.so", false},
        {lin, "/opt/akis/", "/opt/akis", true},
        {lin, "/opt\\akis", "/opt/akis", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(paths_equal(c.a, c.b, c.family), c.equal) << c.a << " vs " << c.b;
        EXPECT_EQ(paths_equal(c.b, c.a, c.family), c.equal) << c.b << " vs " << c.a;
    }
}

TEST(PathRules, InSystemDirPerFamily) {
    struct Case {
        PlatformFamily family;
        std::string_view path;
        bool inside;
    };
    const Case cases[] = {
        {win, "C:\\Program Files\\Vendor\\p11.dll", true},
        {win, "c:/windows/system32/x.dll", true},
        {win, "C:\\Windows\\SysWOW64\\x.dll", true},
        {win, "C:\\Program Files (x86)\\V\\x.dll", true},
        {win, "\\\\?\\C:\\Windows\\System32\\x.dll", true},
        {win, "C:\\Program Files", false},
        {win, "C:\\Program Files\\", true}, // the separator is there; what follows is empty
        {win, "C:\\Program FilesX\\x.dll", false},
        {win, "D:\\Program Files\\x.dll", false},
        {win, "C:\\Users\\u\\Downloads\\x.dll", false},
        {win, "C:\\Program Files\\Temp\\x.dll", false},
        {win, "C:\\Program Files\\V\\TEMP\\x.dll", false},
        {win, "C:\\Program Files\\V\\downloads/x.dll", false},
        {win, "C:\\Program Files\\V\\temporary\\x.dll", true},
        {win, "\\\\server\\share\\x", false},
        {win, "//server/share/x", false},
        {win, "\\\\?\\UNC\\server\\share\\x", false},
        {win, "\\\\?\\C", false},
        {win, "\\\\?\\", false},
        {win, "Program Files\\x.dll", false},
        {win, "C:Program Files\\x.dll", false},
        // An alternate data stream can hold code, whatever folder it hangs on.
        {win, "C:\\Program Files\\Vendor:p11.dll", false},
        {win, "C:\\Windows\\System32\\spool:x.dll", false},
        {win, "c:/program files/v/p11.dll:code", false},
        {win, "C:\\Program Files\\V\\p11.dll::$DATA", false},
        {win, "\\\\?\\C:\\Program Files\\Vendor:p11.dll", false},
        {win, "", false},
        {mac, "/usr/local/lib/x.dylib", true},
        {mac, "/Library/x", true},
        {mac, "/LIBRARY/Frameworks/x", true},
        {mac, "/tmp/x", false},
        {mac, "/usr/lib/tmp/x", false},
        {mac, "/usr/lib/TMP/x", false},
        {mac, "/opt/x", false},
        {mac, "/usr/lib", false},
        {mac, "usr/lib/x", false},
        {mac, "\\\\server\\usr\\lib", false},
        {lin, "/usr/lib/x.so", true},
        {lin, "/usr/local/lib/x.so", true},
        {lin, "/opt/akis/libakisp11.so", true},
        {lin, "/OPT/akis/x.so", true},
        {lin, "/Library/x", false},
        {lin, "/opt/tmp/x.so", false},
        {lin, "/optional/x.so", false},
        {lin, "/opt", false},
        {lin, "/home/u/x.so", false},
        {lin, "C:\\Program Files\\x.dll", false},
        {win, "/usr/lib/x.so", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(in_system_dir(c.path, c.family), c.inside) << c.path;
    }
}

TEST(PathRules, JoinInsertsOneSeparatorWhereNeeded) {
    struct Case {
        PlatformFamily family;
        std::string_view base;
        std::string_view joined;
    };
    const Case cases[] = {
        {win, "C:\\Users\\alice", "C:\\Users\\alice\\.korvan-qes"},
        {win, "D:\\home\\", "D:\\home\\.korvan-qes"},
        {win, "D:/home/", "D:/home/.korvan-qes"},
        {win, "", ".korvan-qes"},
        {win, "C:", "C:.korvan-qes"},
        {win, "C:x", "C:x\\.korvan-qes"},
        {lin, "/root", "/root/.korvan-qes"},
        {lin, "/", "/.korvan-qes"},
        {lin, "", ".korvan-qes"},
        {lin, "C:", "C:/.korvan-qes"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(join_path(c.base, ".korvan-qes", c.family), c.joined) << c.base;
    }
}

TEST(PathRules, DisqualifyingComponentsPerFamily) {
    struct Case {
        PlatformFamily family;
        std::string_view path;
        bool disqualified;
    };
    const Case cases[] = {
        {win, "C:\\Users\\u\\Downloads\\x.dll", true},
        {win, "C:/Program Files/TEMP/x.dll", true},
        {win, "\\\\?\\C:\\temp\\x.dll", true},
        {win, "C:\\Program Files\\Temporary\\x.dll", false},
        {win, "C:\\Program Files\\tmp\\x.dll", false},
        {lin, "/opt/vendor/TMP/x.so", true},
        {lin, "/tmp", true},
        {lin, "/opt/vendor\\tmp\\x.so", false},
        {lin, "/opt/temp/x.so", false},
        {mac, "/Library/tmp/x.dylib", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(has_disqualifying_component(c.path, c.family), c.disqualified) << c.path;
    }
}

} // namespace
} // namespace korvan::app_dirs
