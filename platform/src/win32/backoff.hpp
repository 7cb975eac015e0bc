#pragma once

// The wait between two looks at a pipe that has nothing for us yet: a millisecond at first, never
// more than ten, so that a loop around it neither spins nor lags behind the other end.
#include <algorithm>
#include <chrono>
#include <thread>

namespace korvan::platform::win32 {

class Backoff {
  public:
    void wait() {
        std::this_thread::sleep_for(pause_);
        pause_ = std::min(pause_ * 2, std::chrono::milliseconds(10));
    }

  private:
    std::chrono::milliseconds pause_{1};
};

} // namespace korvan::platform::win32
