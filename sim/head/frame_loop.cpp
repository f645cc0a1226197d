#include "sim/head/frame_loop.h"

#include <time.h>

#include <chrono>

namespace sim::head {
namespace {
constexpr size_t kMaxQueued = 16;
}

FrameLoop::FrameLoop(Send send) : send_(std::move(send)) {}

FrameLoop::~FrameLoop() { stop(); }

void FrameLoop::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { run(); });
}

void FrameLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FrameLoop::setAcquiring(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    acquiring_ = on;
    if (!on) queue_.clear();
  }
  wake_.notify_all();
}

bool FrameLoop::acquiring() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return acquiring_;
}

void FrameLoop::setFreeRun(bool on, double fps) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    freeRun_ = on;
    fps_ = fps;
  }
  wake_.notify_all();
}

bool FrameLoop::trigger(int pattern) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!acquiring_) return false;
    if (queue_.size() >= kMaxQueued) {
      ++dropped_;
      return false;
    }
    queue_.push_back(pattern);
  }
  wake_.notify_all();
  return true;
}

uint64_t FrameLoop::triggersDropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void FrameLoop::sendTimed(int pattern) {
  timespec a{}, b{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
  send_(pattern);
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
  cpuNs_ += static_cast<uint64_t>((b.tv_sec - a.tv_sec) * 1000000000LL + (b.tv_nsec - a.tv_nsec));
  ++sent_;
}

void FrameLoop::run() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextFree = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (acquiring_ && !queue_.empty()) {
      int pattern = queue_.front();
      queue_.pop_front();
      lock.unlock();
      sendTimed(pattern);
      lock.lock();
      continue;
    }
    if (acquiring_ && freeRun_) {
      if (fps_ > 0) {
        Clock::time_point now = Clock::now();
        if (now < nextFree) {
          wake_.wait_until(lock, nextFree);
          continue;
        }
        auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps_));
        // A late frame does not make the next ones come faster.
        nextFree = (now - nextFree > period) ? now + period : nextFree + period;
      }
      lock.unlock();
      sendTimed(kPatternNow);
      lock.lock();
      continue;
    }
    nextFree = Clock::now();
    wake_.wait(lock);
  }
}

}  // namespace sim::head
