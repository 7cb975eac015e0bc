#include "korvan/platform/clock.hpp"

#include <ctime>

namespace korvan::platform {

UtcTime SystemClock::now() const {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

} // namespace korvan::platform
