#pragma once
// Steady high-resolution stopwatch (the performance-counter stand-in).
#include <chrono>

namespace platform {

class Stopwatch {
 public:
  using Clock = std::chrono::steady_clock;
  Stopwatch() : start_(Clock::now()), lap_(start_) {}
  void restart() { start_ = lap_ = Clock::now(); }
  // Milliseconds since construction or the last restart.
  double elapsedMs() const { return toMs(Clock::now() - start_); }
  // Milliseconds since the previous lap (or the start); starts the next lap.
  double lapMs() {
    Clock::time_point now = Clock::now();
    double ms = toMs(now - lap_);
    lap_ = now;
    return ms;
  }

 private:
  static double toMs(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
  Clock::time_point start_;
  Clock::time_point lap_;
};

}  // namespace platform
