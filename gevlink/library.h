#pragma once
// Library-wide state of libGevlink: settings, trace, transport, the device
// table of 1024 entries. Made on first use; tests replace the transport.
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gevlink/node_map.h"
#include "gevlink/settings.h"
#include "gevlink/trace.h"
#include "gevlink/transport.h"

namespace gevlink {

inline constexpr std::size_t kDeviceTableSize = 1024;
inline constexpr uint32_t kMaxWaitStreams = 32;
inline constexpr std::size_t kMaxStreamChannels = 512;
// Completions held per stream before the oldest is dropped: the semaphore's
// maximum count.
inline constexpr std::size_t kMaxQueuedCompletions = 65536;

struct StreamRecord {
  uint32_t key = 0;
  uint32_t channel = 0;
  std::deque<Completion> queue;      // oldest first; guarded by DeviceObject::queueMutex
  bool cancel = false;               // auto-reset cancel event
  std::atomic<bool> waiting{false};  // the wait mutex, taken without waiting
};

struct DeviceObject {
  uint64_t id = 0;
  std::unique_ptr<NodeMap> nodeMap;
  std::vector<std::unique_ptr<StreamRecord>> streams;
  std::mutex queueMutex;
  std::condition_variable queueChanged;
  std::atomic<bool> stop{false};
  std::atomic<bool> eventWaiting{false};  // the device mutex: one event waiter
  std::thread receiver;

  StreamRecord* stream(uint32_t key) {
    for (auto& s : streams)
      if (s->key == key) return s.get();
    return nullptr;
  }
};

class Library {
 public:
  static Library& instance();
  // Tests: a fresh library over the given transport and settings.
  static void resetForTesting(std::unique_ptr<Transport> transport, const Settings& settings);

  Library(std::unique_ptr<Transport> transport, const Settings& settings);
  ~Library();

  Settings settings;
  std::unique_ptr<Trace> trace;
  std::unique_ptr<Transport> transport;
  std::timed_mutex tableMutex;
  std::array<std::shared_ptr<DeviceObject>, kDeviceTableSize> table;
  std::atomic<uint32_t> pendingStreamError{0};

  std::shared_ptr<DeviceObject> find(uint64_t handle);
};

// Our own transport, made by the library when no test supplied one.
std::unique_ptr<Transport> makeGevTransport();

}  // namespace gevlink
