// The path rules of every family on two fuzzed paths (split at the first NUL): equality is an
// equivalence the other rules respect, and a path inside a system directory is absolute.

#include "check.hpp"

#include "korvan/app_dirs/path_rules.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace korvan;
using app_dirs::PlatformFamily;

namespace {

void check_family(std::string_view a, std::string_view b, PlatformFamily family) {
    using app_dirs::in_system_dir;
    using app_dirs::is_absolute;
    using app_dirs::paths_equal;

    fuzz::check(paths_equal(a, a, family), "a path equals itself");
    const bool equal = paths_equal(a, b, family);
    fuzz::check(equal == paths_equal(b, a, family), "path equality is symmetric");
    if (equal) {
        fuzz::check(is_absolute(a, family) == is_absolute(b, family),
                    "equal paths are both absolute or both not");
    }
    fuzz::check(!in_system_dir(a, family) || is_absolute(a, family),
                "a path inside a system directory is absolute");

    const std::string joined = app_dirs::join_path(a, b, family);
    fuzz::check(joined.size() >= a.size() + b.size() && joined.compare(0, a.size(), a) == 0,
                "join_path starts with the base");
    fuzz::check(!is_absolute(a, family) || is_absolute(joined, family),
                "joining to an absolute base stays absolute");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string_view a = input.substr(0, split);
    const std::string_view b = split == std::string_view::npos ? a : input.substr(split + 1);
    for (const PlatformFamily family :
         {PlatformFamily::windows, PlatformFamily::macos, PlatformFamily::linux}) {
        check_family(a, b, family);
    }
    return 0;
}
