#pragma once
// Shared pieces of the projector tests: a virtual projector on loopback and
// a watchdog that closes a link which would otherwise wait for ever.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "camera/common/izpj.h"
#include "sim/projector/virtual_projector.h"

namespace camera::testing {

inline unsigned ipv4(unsigned a, unsigned b, unsigned c, unsigned d) { return a | (b << 8) | (c << 16) | (d << 24); }

// Calls link.close() from its own thread when not disarmed within limit.
class Watchdog {
 public:
  Watchdog(IZpj& link, std::chrono::milliseconds limit) {
    thread_ = std::thread([this, &link, limit] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!cv_.wait_for(lock, limit, [this] { return disarmed_; })) {
        fired_ = true;
        lock.unlock();
        link.close();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disarmed_ = true;
    }
    cv_.notify_all();
    thread_.join();
    EXPECT_FALSE(fired_) << "a projector command had to be aborted";
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool disarmed_ = false;
  bool fired_ = false;
  std::thread thread_;
};

// A link that is not open refuses every operation: false, diag() -1.
inline void expectEveryCommandRefused(IZpj& link) {
  EXPECT_FALSE(link.commandP(1));
  EXPECT_FALSE(link.commandR());
  EXPECT_EQ(link.diag(), -1);
  EXPECT_FALSE(link.setLight(1));
  EXPECT_FALSE(link.commandZ(1));
  EXPECT_FALSE(link.commandX(1));
}

inline double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace camera::testing
