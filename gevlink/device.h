#pragma once
// One open device as the transport keeps it: its control channel, its
// stream channels, the completions and events waiting for the caller, and
// the flags its threads share (stop, lost, ended, controlling).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "gevlink/gev_transport.h"
#include "gevlink/gvcp_channel.h"
#include "gevlink/stream_channel.h"
#include "gevlink/udp_socket.h"

namespace gevlink {

struct Device {
  uint64_t id = 0;
  uint32_t interfaceAddress = 0, address = 0;
  std::unique_ptr<GvcpChannel> control;
  const GevTransportOptions* options = nullptr;
  std::vector<std::unique_ptr<StreamChannel>> channels;
  std::atomic<bool> stop{false}, lost{false}, ended{false}, controlling{false};
  // Completions for the receive thread of the device table.
  std::mutex completionMutex;
  std::condition_variable completionReady;
  std::deque<std::pair<TransportResult, Completion>> completions;
  // Events.
  std::mutex eventMutex;
  std::condition_variable eventReady;
  std::deque<EventRecord> events;
  bool eventCancel = false;
  Fd messageFd;
  std::thread heartbeat, messages;

  void complete(const TransportResult& r, const Completion& c) {
    std::lock_guard<std::mutex> lock(completionMutex);
    completions.emplace_back(r, c);
    completionReady.notify_all();
  }
};

}  // namespace gevlink
