#include "korvan/platform/clock.hpp"

#include <windows.h>

namespace korvan::platform {

UtcTime SystemClock::now() const {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    // 100 ns units since 1601-01-01.
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime) -
        116444736000000000LL;
    std::int64_t seconds = ticks / 10000000;
    std::int64_t rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return {seconds, static_cast<std::uint32_t>(rest * 100)};
}

} // namespace korvan::platform
