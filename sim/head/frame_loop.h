#pragma once
// The acquisition worker of one virtual GigE device: frames are made and
// sent on this thread, never on the GVCP thread (a frame of 1280 x 1024 at
// line rate takes about 10 ms to send; an acknowledge must not wait for it).
// Triggers queue one frame each (bounded: a trigger that finds the queue full
// is dropped and counted, as a camera busy with a frame misses a pulse);
// free-running sends frames back to back, or at a set rate.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim::head {

// Takes one Mono8 frame (width * height bytes, rows packed) to the network.
using FrameSink = std::function<void(const uint8_t* image, uint32_t width, uint32_t height)>;

class FrameLoop {
 public:
  static constexpr int kPatternNow = -2;  // the send callback reads the pattern shown at send time
  // send(pattern) makes and sends one frame; pattern as queued by trigger()
  // or kPatternNow when free-running.
  using Send = std::function<void(int pattern)>;

  explicit FrameLoop(Send send);
  ~FrameLoop();
  FrameLoop(const FrameLoop&) = delete;
  FrameLoop& operator=(const FrameLoop&) = delete;

  void start();
  void stop();  // waits for a frame in progress

  // Frames flow only while acquiring; stopping acquisition drops queued triggers.
  void setAcquiring(bool on);
  bool acquiring() const;
  // fps <= 0: as fast as the link takes them.
  void setFreeRun(bool on, double fps);
  // Queues one frame of the given pattern; false when not acquiring or the
  // queue is full.
  bool trigger(int pattern);
  uint64_t triggersDropped() const;
  // CPU time this thread spent making and sending frames, and their count.
  uint64_t cpuNs() const { return cpuNs_.load(); }
  uint64_t framesSent() const { return sent_.load(); }

 private:
  void sendTimed(int pattern);
  void run();

  Send send_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<int> queue_;
  bool stop_ = false, acquiring_ = false, freeRun_ = false;
  double fps_ = 0;
  uint64_t dropped_ = 0;
  std::atomic<uint64_t> cpuNs_{0}, sent_{0};
  std::thread thread_;
};

}  // namespace sim::head
