#pragma once

#include <cstdint>

namespace korvan::platform {

// An instant of UTC: whole seconds since 1970-01-01T00:00:00Z (negative before it) and the
// nanoseconds past that second, 0 to 999999999.
struct UtcTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual UtcTime now() const = 0;
};

// The system clock at its full resolution (100 ns units on Windows).
class SystemClock final : public Clock {
  public:
    UtcTime now() const override;
};

} // namespace korvan::platform
