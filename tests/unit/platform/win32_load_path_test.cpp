// How a module path is written for the loader. Wine accepts forward slashes where Windows does
// not look beside the module for its DLLs.
#include "load_path.hpp"

#include <gtest/gtest.h>

namespace korvan::platform::win32 {
namespace {

TEST(Win32LoadPath, BackslashesOnlyAndNoRepeatedSeparatorsVerbatimPathsAsGiven) {
    struct Case {
        std::string_view given;
        std::string_view loaded;
    };
    const Case cases[] = {
        {"C:\\Program Files\\V\\p11.dll", "C:\\Program Files\\V\\p11.dll"},
        {"c:/windows/system32/x.dll", "c:\\windows\\system32\\x.dll"},
        {"C:\\\\Program Files//V\\/p11.dll", "C:\\Program Files\\V\\p11.dll"},
        {"\\\\server\\share\\\\p11.dll", "\\\\server\\share\\p11.dll"},
        {"//server/share/p11.dll", "\\\\server\\share\\p11.dll"},
        {"\\\\\\server\\share\\p11.dll", "\\\\server\\share\\p11.dll"},
        {"\\\\.\\C:\\x\\p11.dll", "\\\\.\\C:\\x\\p11.dll"},
        {"\\\\?\\C:\\Program Files\\V\\p11.dll", "\\\\?\\C:\\Program Files\\V\\p11.dll"},
        {"\\\\?\\C:\\odd\\\\but/kept.dll", "\\\\?\\C:\\odd\\\\but/kept.dll"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(load_path(c.given), c.loaded) << c.given;
    }
}

} // namespace
} // namespace korvan::platform::win32
