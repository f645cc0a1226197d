#include "gevlink/gev_transport.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "gevlink.h"
#include "gevlink/device_discovery.h"
#include "gevlink/gvcp_channel.h"
#include "gevlink/packet_ring.h"
#include "gevlink/transport_status.h"
#include "gevlink/udp_socket.h"
#include "gevlink/wire/bootstrap.h"
#include "gevlink/wire/gvcp.h"
#include "gevlink/wire/gvsp.h"

namespace gevlink {
namespace {

using namespace wire;

constexpr uint32_t kTransportMinor = 1, kTransportBuild = 1;
constexpr uint32_t kMaxChannels = 512;
constexpr std::size_t kPacketSlot = 9216;  // largest jumbo packet we accept
constexpr int kBatch = 64;                 // datagrams per recvmmsg
constexpr int kInFlight = 4;               // frames assembled at once per channel
constexpr uint32_t kDefaultPacketSize = 1500;
constexpr uint32_t kRingChannels = 4;       // channels of a device that may receive through a packet ring
constexpr uint32_t kStreamKeyBase = 0x100;  // key = base + channel: never 0, never a channel number
// ---- stream channels ----------------------------------------------------

enum class BufferState { Queued, Filling, Delivered };

struct Assembly {
  bool active = false;
  uint64_t blockId = 0;
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  GDevFrameInfo info{};
  bool leader = false, trailer = false, overrun = false;
  uint32_t dataPackets = 0;  // from the trailer, else estimated from the leader
  uint32_t highest = 0;      // highest payload packet id seen
  uint32_t received = 0;
  uint32_t requestedUpTo = 0;  // resend asked for ids up to this one
  uint32_t resendRounds = 0;
  uint32_t payloadBytes = 0;
  std::vector<uint8_t> got;  // per packet id; grows, never shrinks
  Clock::time_point started, lastPacket;
};

struct Device;

struct Channel {
  uint32_t index = 0;
  Fd fd;
  uint16_t port = 0;
  std::mutex mutex;  // buffers and assemblies
  // The receive thread hands the kernel pointers into the buffers of active
  // assemblies (payloads land in place). While such a call is out (inReceive)
  // those buffers must not go back to the caller: whoever withdraws them
  // first makes them unaimable, then waits on `settled` for the call to end
  // (receiveCalls advances, or the thread is between calls).
  bool inReceive = false;
  uint64_t receiveCalls = 0;
  std::condition_variable settled;
  // GVSP header size of the stream (8, or 20 for extended ids): the size of
  // the header slot in front of each aimed payload.
  uint32_t headerSlot = kGvspHeaderSize;
  // When set, datagrams come from this ring and the UDP socket (which keeps
  // the port) drops its copies.
  std::unique_ptr<PacketRing> ring;
  std::deque<std::pair<uint8_t*, uint32_t>> queued;
  std::unordered_map<void*, std::pair<BufferState, uint32_t>> known;  // state, size
  std::array<Assembly, kInFlight> assemblies;
  std::atomic<bool> running{false};
  bool notifyTop = false;
  uint32_t stride = payloadBytesPerPacket(kDefaultPacketSize);
  uint64_t lastDroppedBlock = 0;
  // Blocks already handed out: a resent packet arriving late must not start
  // a frame again (and take a buffer for it).
  std::array<uint64_t, 32> finished{};
  std::size_t finishedNext = 0;
  uint64_t lastStarted = 0;
  std::thread thread;
};

struct Device {
  uint64_t id = 0;
  uint32_t interfaceAddress = 0, address = 0;
  std::unique_ptr<GvcpChannel> control;
  const GevTransportOptions* options = nullptr;
  std::vector<std::unique_ptr<Channel>> channels;
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

uint32_t bytesPerPixel(uint32_t pixelFormat) {
  uint32_t bits = (pixelFormat >> 16) & 0xFF;
  return bits ? (bits + 7) / 8 : 1;
}

// Hands the assembled (or abandoned) frame to the device's completions.
void finish(Device& dev, Channel& ch, Assembly& a, uint32_t kind) {
  GDevFrameInfo& info = a.info;
  info.magic = GDEV_FRAME_INFO_MAGIC;
  info.kind = kind;
  info.channel = ch.index;
  info.blockId = uint32_t(a.blockId);
  info.payloadSize = a.payloadBytes;
  info.packetsExpected = a.dataPackets;
  info.packetsMissing = a.dataPackets > a.received ? a.dataPackets - a.received : 0;
  info.dataOffset = GDEV_FRAME_DATA_OFFSET;
  std::memcpy(a.buffer, &info, sizeof info);
  Completion c;
  c.kind = kind;
  c.channel = ch.index;
  c.buffer = a.buffer;
  c.size = a.size;
  if (kind == GDEV_FRAME_INCOMPLETE || kind == GDEV_FRAME_OVERRUN) {
    c.code = kind;
    c.info = info.packetsMissing;
  }
  ch.known[a.buffer] = {BufferState::Delivered, a.size};
  ch.finished[ch.finishedNext++ % ch.finished.size()] = a.blockId;
  a.active = false;
  dev.complete({}, c);
}

void requestResend(Device& dev, Channel& ch, Assembly& a, uint32_t first, uint32_t last) {
  if (first > last || first == 0) return;
  PacketResend resend;
  resend.channel = uint16_t(ch.index);
  resend.blockId = a.blockId;
  resend.firstPacket = first;
  resend.lastPacket = last;
  dev.control->sendUnacknowledged(encodePacketResendCmd(dev.control->nextUnacknowledgedId(), resend));
}

// Asks again for every packet still missing up to `upTo`.
void requestMissing(Device& dev, Channel& ch, Assembly& a, uint32_t upTo) {
  uint32_t first = 0;
  for (uint32_t id = 1; id <= upTo; ++id) {
    bool missing = id >= a.got.size() || !a.got[id];
    if (missing && !first) first = id;
    if (!missing && first) {
      requestResend(dev, ch, a, first, id - 1);
      first = 0;
    }
  }
  if (first) requestResend(dev, ch, a, first, upTo);
}

bool frameDone(const Assembly& a) { return a.trailer && a.received >= a.dataPackets; }

// A block newer than the last one started (16-bit ids wrap).
bool newerBlock(uint64_t id, uint64_t last, bool extended) {
  if (last == 0) return true;
  return extended ? id > last : int16_t(uint16_t(id) - uint16_t(last)) > 0;
}

Assembly* assemblyFor(Device& dev, Channel& ch, const GvspHeader& h) {
  uint64_t blockId = h.blockId;
  for (Assembly& a : ch.assemblies)
    if (a.active && a.blockId == blockId) return &a;
  if (blockId == ch.lastDroppedBlock) return nullptr;
  for (uint64_t done : ch.finished)
    if (done == blockId) return nullptr;
  // Only a leader or a newer block begins a frame: an old block's stray
  // packet does not (a device that restarts its ids sends a leader first).
  if (h.format != kFormatLeader && !newerBlock(blockId, ch.lastStarted, h.extendedId)) return nullptr;
  if (ch.queued.empty()) {
    ch.lastDroppedBlock = blockId;  // no buffer: the frame is lost to us
    return nullptr;
  }
  Assembly* slot = nullptr;
  for (Assembly& a : ch.assemblies)
    if (!a.active) slot = &a;
  if (!slot) {
    slot = &ch.assemblies[0];
    for (Assembly& a : ch.assemblies)
      if (a.started < slot->started) slot = &a;
    finish(dev, ch, *slot, GDEV_FRAME_INCOMPLETE);
  }
  auto [buffer, size] = ch.queued.front();
  ch.queued.pop_front();
  ch.known[buffer] = {BufferState::Filling, size};
  Assembly& a = *slot;
  ch.lastStarted = blockId;
  a.active = true;
  a.blockId = blockId;
  a.buffer = buffer;
  a.size = size;
  a.info = {};
  a.leader = a.trailer = a.overrun = false;
  a.dataPackets = a.highest = a.received = a.requestedUpTo = a.resendRounds = a.payloadBytes = 0;
  std::fill(a.got.begin(), a.got.end(), 0);
  a.started = a.lastPacket = Clock::now();
  return &a;
}

// One received GVSP packet. The payload lies either in the batch's scratch
// or already at its place in the frame buffer, where the receive aimed it:
// then nothing is copied. `truncated`: the datagram was longer than the room
// given to it, so its payload is larger than a packet of this stream may be.
void handlePacket(Device& dev, Channel& ch, const GvspHeader& h, std::span<const uint8_t> payload, bool truncated,
                  Clock::time_point now) {
  if (h.blockId == 0) return;
  if (h.status != GEV_STATUS_SUCCESS && h.status != GEV_STATUS_PACKET_RESEND) return;
  Assembly* a = assemblyFor(dev, ch, h);
  if (!a) return;
  a->lastPacket = now;
  uint32_t capacity = a->size > GDEV_FRAME_DATA_OFFSET ? a->size - GDEV_FRAME_DATA_OFFSET : 0;
  if (h.format == kFormatLeader) {
    ImageLeader leader;
    if (a->leader || !parseImageLeader(payload, leader)) return;
    a->leader = true;
    a->info.timestamp = leader.timestamp;
    a->info.pixelFormat = leader.pixelFormat;
    a->info.width = leader.width;
    a->info.height = leader.height;
    a->info.offsetX = leader.offsetX;
    a->info.offsetY = leader.offsetY;
    a->info.paddingX = leader.paddingX;
    a->info.paddingY = leader.paddingY;
    uint64_t expected = uint64_t(leader.width) * leader.height * bytesPerPixel(leader.pixelFormat);
    if (!a->trailer && ch.stride)
      a->dataPackets = uint32_t(std::min<uint64_t>((expected + ch.stride - 1) / ch.stride, 1u << 24));
    if (expected > capacity) a->overrun = true;
    if (ch.notifyTop) {
      Completion top;
      top.channel = ch.index;
      top.info = uint32_t(h.blockId);
      dev.complete({}, top);
    }
  } else if (h.format == kFormatPayload) {
    uint32_t id = h.packetId;
    if (id == 0 || !ch.stride) return;
    uint64_t offset = uint64_t(id - 1) * ch.stride;
    if (truncated || payload.size() > ch.stride || offset + payload.size() > capacity) {
      a->overrun = true;
      return;
    }
    if (id >= a->got.size()) a->got.resize(std::max<std::size_t>(id + 1, a->got.size() * 2), 0);
    if (a->got[id]) return;
    a->got[id] = 1;
    uint8_t* place = a->buffer + GDEV_FRAME_DATA_OFFSET + offset;
    if (payload.data() != place) std::memcpy(place, payload.data(), payload.size());
    ++a->received;
    a->payloadBytes += uint32_t(payload.size());
    // A packet that fills a hole (below the highest id seen) came back by resend.
    if (h.status == GEV_STATUS_PACKET_RESEND || id < a->highest) ++a->info.packetsResent;
    // A gap: ask for the packets skipped, once as they are noticed.
    if (id > a->highest + 1 && id - 1 > a->requestedUpTo) {
      requestResend(dev, ch, *a, std::max(a->highest, a->requestedUpTo) + 1, id - 1);
      a->requestedUpTo = id - 1;
    }
    a->highest = std::max(a->highest, id);
  } else if (h.format == kFormatTrailer) {
    if (a->trailer || h.packetId == 0) return;
    a->trailer = true;
    a->dataPackets = h.packetId - 1;
    if (a->received < a->dataPackets && a->requestedUpTo < a->dataPackets) {
      requestMissing(dev, ch, *a, a->dataPackets);
      a->requestedUpTo = a->dataPackets;
    }
  } else {
    return;
  }
  if (a->overrun) {
    finish(dev, ch, *a, GDEV_FRAME_OVERRUN);
    return;
  }
  if (frameDone(*a)) finish(dev, ch, *a, a->info.packetsResent ? GDEV_FRAME_RESENT : GDEV_FRAME_COMPLETE);
}

// Frames that went quiet: ask again for what is missing, then give up.
void checkTimeouts(Device& dev, Channel& ch, const GevTransportOptions& o, Clock::time_point now) {
  for (Assembly& a : ch.assemblies) {
    if (!a.active) continue;
    auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(now - a.lastPacket).count();
    if (a.leader && a.received >= a.dataPackets && a.dataPackets > 0 && quiet > int64_t(o.frameTimeoutMs / 3)) {
      finish(dev, ch, a, a.info.packetsResent ? GDEV_FRAME_RESENT : GDEV_FRAME_COMPLETE);  // trailer lost
      continue;
    }
    if (quiet > int64_t(o.frameTimeoutMs)) {
      finish(dev, ch, a, GDEV_FRAME_INCOMPLETE);
      continue;
    }
    if (quiet > int64_t(o.frameTimeoutMs / (o.resendRounds + 1)) * (a.resendRounds + 1) &&
        a.resendRounds < o.resendRounds && a.dataPackets) {
      ++a.resendRounds;
      requestMissing(dev, ch, a, a.dataPackets);
    }
  }
}

// The receive buffers of one channel: up to kBatch datagrams per recvmmsg.
// A message aimed at a frame gets its GVSP header in a small slot of its own
// and its payload straight at the place of the packet id expected then
// (packets come in order nearly always), so the kernel's copy is the only
// one. Any other message goes whole into its scratch slot.
struct ReceiveBatch {
  struct Aim {
    uint8_t* at = nullptr;  // null: the whole datagram goes to scratch
    uint32_t length = 0;    // room at `at` (the packet's share of the buffer)
    uint32_t headerSize = 0;
    uint64_t blockId = 0;
    uint32_t packetId = 0;
  };
  std::vector<uint8_t> scratch = std::vector<uint8_t>(std::size_t(kBatch) * kPacketSlot);
  std::array<std::array<uint8_t, kGvspExtendedHeaderSize>, kBatch> headers{};
  std::array<std::array<iovec, 3>, kBatch> iov{};
  std::array<mmsghdr, kBatch> msgs{};
  std::array<Aim, kBatch> aims{};
  // What each received message turned out to be.
  std::array<GvspHeader, kBatch> parsed{};
  std::array<std::span<const uint8_t>, kBatch> payloads{};
  std::array<bool, kBatch> valid{}, truncated{};

  uint8_t* slot(int k) { return scratch.data() + std::size_t(k) * kPacketSlot; }
  void toScratch(int k) {
    aims[k] = {};
    iov[k][0] = {slot(k), kPacketSlot};
    msgs[k].msg_hdr.msg_iov = iov[k].data();
    msgs[k].msg_hdr.msg_iovlen = 1;
  }
  // Header slot, then the payload's place; a datagram longer than the place
  // runs on into the scratch slot behind, so nothing of it is cut off: a
  // short last packet's place may receive another, longer packet. Behind a
  // whole stride only a packet too large for the stream fits (an overrun
  // whatever else it carries), so that tail is left off: MSG_TRUNC tells.
  void toFrame(int k, const Assembly& a, uint32_t packetId, uint8_t* at, uint32_t length, uint32_t headerSize,
               bool wholeStride) {
    aims[k] = {at, length, headerSize, a.blockId, packetId};
    iov[k][0] = {headers[k].data(), headerSize};
    iov[k][1] = {at, length};
    iov[k][2] = {slot(k) + headerSize + length, kPacketSlot - headerSize - length};
    msgs[k].msg_hdr.msg_iov = iov[k].data();
    msgs[k].msg_hdr.msg_iovlen = wholeStride ? 2 : 3;
  }
};

// Aims the next receive: the payloads of the newest frame's next packet ids
// into its buffer; after its last data packet, its trailer and the next
// frame's leader into scratch, where the batch then ends so that the next
// one aims into the new frame. Returns the number of messages to receive.
int aimBatch(Device& dev, Channel& ch, ReceiveBatch& b) {
  Assembly* a = nullptr;
  bool newestDone = false;
  if (ch.running.load() && !dev.lost.load() && ch.stride && ch.lastStarted) {
    for (Assembly& x : ch.assemblies)
      if (x.active && x.blockId == ch.lastStarted) a = &x;
    if (!a)
      for (uint64_t done : ch.finished) newestDone = newestDone || done == ch.lastStarted;
  }
  if (!a) {
    // Between frames the next datagram is most likely a leader: take it
    // alone, so that the packets behind it land in its frame.
    int count = newestDone && !ch.queued.empty() ? 1 : kBatch;
    for (int k = 0; k < count; ++k) b.toScratch(k);
    return count;
  }
  const uint32_t capacity = a->size - GDEV_FRAME_DATA_OFFSET;
  const uint32_t last = a->dataPackets ? a->dataPackets : UINT32_MAX;
  const uint32_t headerSize = ch.headerSlot;
  int k = 0;
  for (uint32_t id = a->highest + 1; k < kBatch && id <= last; ++id, ++k) {
    uint64_t offset = uint64_t(id - 1) * ch.stride;
    if (offset >= capacity) break;
    uint32_t room = uint32_t(std::min<uint64_t>(ch.stride, capacity - offset));
    b.toFrame(k, *a, id, a->buffer + GDEV_FRAME_DATA_OFFSET + offset, room, headerSize, room == ch.stride);
  }
  if (k == kBatch) return k;
  for (int end = std::min(kBatch, k + 2); k < end; ++k) b.toScratch(k);
  return k;
}

// Sorts out what message k brought before any payload moves: a packet that
// came where it was aimed stays there; any other is gathered whole into its
// scratch slot (its bytes may lie in a place another packet of this batch
// will be written to).
void settleMessage(Channel& ch, ReceiveBatch& b, int k) {
  b.valid[k] = false;
  const ReceiveBatch::Aim& aim = b.aims[k];
  const uint32_t length = b.msgs[k].msg_len;
  b.truncated[k] = (b.msgs[k].msg_hdr.msg_flags & MSG_TRUNC) != 0;
  uint8_t* slot = b.slot(k);
  if (aim.at) {
    const uint32_t headerSize = aim.headerSize;
    const uint8_t* header = b.headers[k].data();
    GvspHeader h;
    std::span<const uint8_t> rest;
    if (length >= headerSize && length - headerSize <= aim.length && parseGvspHeader({header, headerSize}, h, rest) &&
        rest.empty() && h.format == kFormatPayload && h.blockId == aim.blockId && h.packetId == aim.packetId) {
      b.parsed[k] = h;
      b.payloads[k] = {aim.at, length - headerSize};
      b.valid[k] = true;
      return;
    }
    // Not the packet expected: make it whole in scratch (its tail beyond the
    // aimed place is there already).
    std::memcpy(slot, header, std::min(length, headerSize));
    if (length > headerSize) std::memcpy(slot + headerSize, aim.at, std::min(length - headerSize, aim.length));
  }
  std::span<const uint8_t> payload;
  if (!parseGvspHeader({slot, std::min<std::size_t>(length, kPacketSlot)}, b.parsed[k], payload)) return;
  b.payloads[k] = payload;
  b.valid[k] = true;
  // The stream's header size, for the slots of later receives.
  ch.headerSlot = uint32_t(b.parsed[k].extendedId ? kGvspExtendedHeaderSize : kGvspHeaderSize);
}

// Waits until no receive call of the channel holds pointers into buffers
// that the caller just made unaimable (lock held on entry and on return).
void waitReceiveSettled(Channel& ch, std::unique_lock<std::mutex>& lock) {
  const uint64_t calls = ch.receiveCalls;
  ch.settled.wait(lock, [&] { return !ch.inReceive || ch.receiveCalls != calls; });
}

// Receives from the channel's packet ring: the kernel has copied each
// datagram there already, so a payload is copied once, ring to frame, and
// the thread makes a system call only when no block is ready.
void ringLoop(Device* dev, Channel* ch) {
  const GevTransportOptions& o = *dev->options;
  PacketRing& ring = *ch->ring;
  std::unique_lock<std::mutex> lock(ch->mutex);
  while (!dev->stop.load()) {
    lock.unlock();
    bool ready = ring.waitBlock(10);  // ms: quiet frames time out and stop is seen
    Clock::time_point now = Clock::now();
    lock.lock();
    const bool running = ch->running.load();
    for (; ready; ready = ring.waitBlock(0)) {
      std::span<const uint8_t> datagram, payload;
      bool truncated = false;
      GvspHeader h;
      while (ring.next(datagram, truncated))
        if (running && parseGvspHeader(datagram, h, payload)) handlePacket(*dev, *ch, h, payload, truncated, now);
    }
    checkTimeouts(*dev, *ch, o, now);
  }
}

void receiveLoop(Device* dev, Channel* ch) {
  pthread_setname_np(pthread_self(), "gevlink-gvsp");
  if (ch->ring) {
    ringLoop(dev, ch);
    return;
  }
  auto batch = std::make_unique<ReceiveBatch>();
  ReceiveBatch& b = *batch;
  const GevTransportOptions& o = *dev->options;
  // One call per wake-up: block for the first datagram (at most 10 ms, so
  // that quiet frames time out and stop is seen), then take what is queued.
  timeval wake{0, 10000};
  setsockopt(ch->fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  std::unique_lock<std::mutex> lock(ch->mutex);
  while (!dev->stop.load()) {
    int count = aimBatch(*dev, *ch, b);
    ch->inReceive = true;
    lock.unlock();
    int n = recvmmsg(ch->fd.get(), b.msgs.data(), unsigned(count), MSG_WAITFORONE, nullptr);
    if (n < 0) n = 0;
    Clock::time_point now = Clock::now();
    lock.lock();
    ch->inReceive = false;
    ++ch->receiveCalls;
    ch->settled.notify_all();
    if (ch->running.load()) {
      for (int k = 0; k < n; ++k) settleMessage(*ch, b, k);
      for (int k = 0; k < n; ++k)
        if (b.valid[k]) handlePacket(*dev, *ch, b.parsed[k], b.payloads[k], b.truncated[k], now);
    }
    checkTimeouts(*dev, *ch, o, now);
    // A short batch means we are ahead of the stream: let ~20 packets of a
    // 1 Gbit/s stream gather (250 us) instead of waking once per packet.
    // The socket buffer holds several MiB, so nothing is lost meanwhile.
    if (n > 0 && n < count / 4) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::microseconds(250));
      lock.lock();
    }
  }
  ch->inReceive = false;
  ch->settled.notify_all();
}

// ---- heartbeat and messages --------------------------------------------

// Keeps control: a read of the CCP register each period. A device that stops
// answering is lost: every stream and event waiter gets an error.
void heartbeatLoop(Device* dev) {
  pthread_setname_np(pthread_self(), "gevlink-beat");
  while (!dev->stop.load()) {
    for (uint32_t waited = 0; waited < dev->options->heartbeatPeriodMs && !dev->stop.load(); waited += 20)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (dev->stop.load()) break;
    if (!dev->lost.load() && dev->controlling.load() && !dev->control->heartbeat()) dev->lost = true;
    if (dev->lost.load()) {
      for (auto& ch : dev->channels) {
        // `lost` keeps new receives from aiming at these frames; the one out
        // may still write into them until it returns.
        std::unique_lock<std::mutex> lock(ch->mutex);
        waitReceiveSettled(*ch, lock);
        for (Assembly& a : ch->assemblies)
          if (a.active) finish(*dev, *ch, a, GDEV_FRAME_INCOMPLETE);
      }
      {
        std::lock_guard<std::mutex> lock(dev->completionMutex);
        bool idle = dev->completions.empty();
        if (idle)
          for (auto& ch : dev->channels) {
            Completion c;
            c.channel = ch->index;
            dev->completions.emplace_back(timedOut(ntohl(dev->address)), c);
          }
        dev->completionReady.notify_all();
      }
      std::lock_guard<std::mutex> lock(dev->eventMutex);
      dev->eventReady.notify_all();
    }
  }
}

void messageLoop(Device* dev) {
  uint8_t datagram[1500];
  while (!dev->stop.load()) {
    pollfd p{dev->messageFd.get(), POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n =
        recvfrom(dev->messageFd.get(), datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0) continue;
    CommandHeader h;
    std::span<const uint8_t> payload;
    if (!parseCommand({datagram, std::size_t(n)}, h, payload)) continue;
    if (h.command != kEventCmd && h.command != kEventDataCmd) continue;
    if (h.flags & kFlagAckRequired) {
      Bytes ack = encodeAck(GEV_STATUS_SUCCESS, h.command == kEventCmd ? kEventAck : kEventDataAck, h.reqId);
      sendto(dev->messageFd.get(), ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
    EventRecord e;
    e.data.assign(payload.begin(), payload.end());
    if (e.data.size() > GDEV_EVENT_BUFFER_SIZE) e.data.resize(GDEV_EVENT_BUFFER_SIZE);
    std::lock_guard<std::mutex> lock(dev->eventMutex);
    if (dev->events.size() < 1024) dev->events.push_back(std::move(e));
    dev->eventReady.notify_all();
  }
}

// ---- the transport -------------------------------------------------------

class GevTransport final : public Transport {
 public:
  explicit GevTransport(const GevTransportOptions& o) : options_(o) {}
  ~GevTransport() override {
    std::vector<uint64_t> ids;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [id, d] : devices_) ids.push_back(id);
    }
    for (uint64_t id : ids) close(id);
  }

  TransportResult enumerate(uint32_t iface, std::vector<DiscoveryAnswer>& answers) override {
    return enumerateDevices(iface, options_.discoveryTimeoutMs, answers);
  }

  TransportResult forceIp(uint32_t iface, const uint8_t mac[6], uint32_t ip, uint32_t mask, uint32_t gateway) override {
    return forceDeviceIp(iface, mac, ip, mask, gateway, options_.commandRetries, options_.commandTimeoutMs);
  }

  TransportResult open(uint32_t iface, uint32_t address, uint64_t& deviceId) override {
    int err = 0;
    Fd fd = udpSocket(iface, err);
    if (fd.get() < 0) return systemError(err);
    auto dev = std::make_shared<Device>();
    dev->interfaceAddress = iface;
    dev->address = address;
    dev->options = &options_;
    dev->control = std::make_unique<GvcpChannel>(std::move(fd), address, options_);
    uint32_t count = 0;
    TransportResult r = readRegister(*dev, kRegNumberOfStreamChannels, count);
    if (!r.ok()) return r;
    count = std::min(count, kMaxChannels);
    for (uint32_t i = 0; i < count; ++i) {
      auto ch = std::make_unique<Channel>();
      ch->index = i;
      ch->fd = udpSocket(iface, err);
      if (ch->fd.get() < 0) {
        stopThreads(*dev);
        return systemError(err);
      }
      int size = options_.socketBufferBytes;
      // FORCE passes the system's limit when we may; else the plain request.
      if (setsockopt(ch->fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(ch->fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      ch->port = localPort(ch->fd.get());
      // A ring takes its memory up front (socketBufferBytes, locked where
      // allowed): only the first channels get one.
      if (options_.packetRing && i < kRingChannels) {
        ch->ring = PacketRing::open(iface, ch->port, std::size_t(options_.socketBufferBytes), nullptr);
        sock_filter dropAll = BPF_STMT(BPF_RET | BPF_K, 0);
        sock_fprog program{1, &dropAll};
        if (ch->ring && setsockopt(ch->fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
          ch->ring.reset();
      }
      dev->channels.push_back(std::move(ch));
    }
    for (auto& ch : dev->channels) ch->thread = std::thread(receiveLoop, dev.get(), ch.get());
    dev->heartbeat = std::thread(heartbeatLoop, dev.get());
    std::lock_guard<std::mutex> lock(mutex_);
    dev->id = nextId_++;
    deviceId = dev->id;
    devices_[dev->id] = dev;
    return {};
  }

  TransportResult close(uint64_t id) override {
    std::shared_ptr<Device> dev;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = devices_.find(id);
      if (it == devices_.end()) return {GDEV_STATUS_INVALID_HANDLE, 0, 0};
      dev = it->second;
      devices_.erase(it);
    }
    for (auto& ch : dev->channels) stopChannel(*dev, *ch);
    stopThreads(*dev);
    return {};
  }

  TransportResult takeControl(uint64_t id, uint32_t privilege) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    TransportResult r = writeRegister(*dev, kRegCcp, privilege);
    if (!r.ok()) return r;
    dev->controlling = true;
    // Event messages come to a socket of ours when the device has a message channel.
    uint32_t messageChannels = 0;
    if (readRegister(*dev, kRegNumberOfMessageChannels, messageChannels).ok() && messageChannels > 0 &&
        dev->messageFd.get() < 0) {
      int err = 0;
      Fd fd = udpSocket(dev->interfaceAddress, err);
      if (fd.get() >= 0 && writeRegister(*dev, kRegMcda, ntohl(dev->interfaceAddress)).ok() &&
          writeRegister(*dev, kRegMcp, localPort(fd.get())).ok()) {
        dev->messageFd = std::move(fd);
        dev->messages = std::thread(messageLoop, dev.get());
      }
    }
    return {};
  }

  TransportResult releaseControl(uint64_t id) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    dev->controlling = false;
    if (dev->lost.load()) return {};
    return writeRegister(*dev, kRegCcp, 0);
  }

  TransportResult readMemory(uint64_t id, uint32_t address, void* out, uint32_t length) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->readMemory(address, out, length);
  }

  TransportResult writeMemory(uint64_t id, uint32_t address, const void* data, uint32_t length,
                              uint32_t& written) override {
    written = 0;
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->writeMemory(address, data, length, written);
  }

  TransportResult readRegisters(uint64_t id, const uint32_t* addresses, uint32_t* values, uint32_t count) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->readRegisters(addresses, values, count);
  }

  TransportResult writeRegisters(uint64_t id, const uint32_t* pairs, uint32_t count, uint32_t& written) override {
    written = 0;
    auto dev = find(id);
    if (!dev) return badHandle();
    return dev->control->writeRegisters(pairs, count, written);
  }

  TransportResult listStreams(uint64_t id, std::vector<std::pair<uint32_t, uint32_t>>& streams) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    for (auto& ch : dev->channels) streams.emplace_back(kStreamKeyBase + ch->index, ch->index);
    return {};
  }

  TransportResult queueBuffer(uint64_t id, uint32_t channel, void* buffer, uint32_t size) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    if (size <= GDEV_FRAME_DATA_OFFSET) return badArgument(size);
    std::lock_guard<std::mutex> lock(ch->mutex);
    auto it = ch->known.find(buffer);
    if (it != ch->known.end() && it->second.first != BufferState::Delivered) return {};  // already ours
    ch->known[buffer] = {BufferState::Queued, size};
    ch->queued.emplace_back(static_cast<uint8_t*>(buffer), size);
    return {};
  }

  TransportResult flushBuffers(uint64_t id, uint32_t channel) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    std::unique_lock<std::mutex> lock(ch->mutex);
    ch->queued.clear();
    for (Assembly& a : ch->assemblies) a.active = false;
    ch->known.clear();
    // The buffers are the caller's once this returns: a receive aimed at
    // them before must have ended.
    waitReceiveSettled(*ch, lock);
    return {};
  }

  TransportResult startStream(uint64_t id, uint32_t channel, uint32_t /*parameter*/) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    uint32_t base = channel * kStreamChannelStride;
    uint32_t scps = 0;
    TransportResult r = readRegister(*dev, kRegScps0 + base, scps);
    if (!r.ok()) return r;
    uint32_t packetSize = scps & kScpsPacketSizeMask;
    if (packetSize < 576 || packetSize > kPacketSlot) packetSize = kDefaultPacketSize;
    r = writeRegister(*dev, kRegScps0 + base, packetSize);
    if (!r.ok()) return r;
    r = writeRegister(*dev, kRegScda0 + base, ntohl(dev->interfaceAddress));
    if (!r.ok()) return r;
    {
      std::lock_guard<std::mutex> lock(ch->mutex);
      ch->stride = payloadBytesPerPacket(packetSize);
      ch->lastDroppedBlock = 0;
      ch->lastStarted = 0;
      ch->finished.fill(0);
      ch->running = true;
    }
    r = writeRegister(*dev, kRegScp0 + base, ch->port);
    if (!r.ok()) ch->running = false;
    return r;
  }

  TransportResult stopStream(uint64_t id, uint32_t channel) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    return stopChannel(*dev, *ch);
  }

  TransportResult setFrameTopNotify(uint64_t id, uint32_t channel, uint32_t setting) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    std::lock_guard<std::mutex> lock(ch->mutex);
    ch->notifyTop = setting != 0;
    return {};
  }

  TransportResult waitCompletion(uint64_t id, uint32_t timeoutMs, Completion& c) override {
    auto dev = find(id);
    if (!dev) return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
    std::unique_lock<std::mutex> lock(dev->completionMutex);
    dev->completionReady.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return dev->ended.load() || !dev->completions.empty(); });
    if (dev->ended.load()) return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
    if (dev->completions.empty()) return {GDEV_STATUS_EXTENDED_ERROR, 0, 0};
    auto [r, completion] = dev->completions.front();
    dev->completions.pop_front();
    c = completion;
    return r;
  }

  TransportResult endStreaming(uint64_t id) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    for (auto& ch : dev->channels) stopChannel(*dev, *ch);
    std::lock_guard<std::mutex> lock(dev->completionMutex);
    dev->ended = true;
    dev->completionReady.notify_all();
    return {};
  }

  TransportResult waitEvent(uint64_t id, uint32_t timeoutMs, EventRecord& event) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    std::unique_lock<std::mutex> lock(dev->eventMutex);
    auto ready = [&] { return dev->eventCancel || !dev->events.empty() || dev->lost.load() || dev->stop.load(); };
    if (timeoutMs == 0)
      dev->eventReady.wait(lock, ready);
    else if (!dev->eventReady.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
      return timedOut();
    if (dev->eventCancel || dev->stop.load()) {
      dev->eventCancel = false;
      return {GDEV_STATUS_OPERATION_ABORTED, 0, 0};
    }
    if (!dev->events.empty()) {
      event = std::move(dev->events.front());
      dev->events.pop_front();
      return {};
    }
    event.status = GDEV_STATUS_TIMEOUT;  // the device was lost
    event.info = ntohl(dev->address);
    return {};
  }

  TransportResult cancelEvent(uint64_t id) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    std::lock_guard<std::mutex> lock(dev->eventMutex);
    dev->eventCancel = true;
    dev->eventReady.notify_all();
    return {};
  }

  // A delivered buffer is the caller's until it is queued or unlocked: locking
  // it is a no-op, locking a queued one takes it out of the queue.
  TransportResult lockBuffer(uint64_t id, uint32_t channel, void* buffer) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    std::lock_guard<std::mutex> lock(ch->mutex);
    auto it = ch->known.find(buffer);
    if (it == ch->known.end()) return badArgument();
    if (it->second.first == BufferState::Queued) {
      for (auto q = ch->queued.begin(); q != ch->queued.end(); ++q)
        if (q->first == buffer) {
          ch->queued.erase(q);
          break;
        }
      it->second.first = BufferState::Delivered;
    }
    return {};
  }

  // Gives a delivered buffer back: it is queued again for the next frame.
  TransportResult unlockBuffer(uint64_t id, uint32_t channel, void* buffer) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    std::lock_guard<std::mutex> lock(ch->mutex);
    auto it = ch->known.find(buffer);
    if (it == ch->known.end()) return badArgument();
    if (it->second.first == BufferState::Delivered) {
      it->second.first = BufferState::Queued;
      ch->queued.emplace_back(static_cast<uint8_t*>(buffer), it->second.second);
    }
    return {};
  }

  TransportResult reAcquisition(uint64_t id, uint32_t channel, uint32_t, uint32_t) override {
    Channel* ch = nullptr;
    auto dev = findChannel(id, channel, ch);
    if (!dev) return badHandle();
    return startStream(id, channel, 0);
  }

  // The device's heartbeat time-out in ms.
  TransportResult getParam(uint64_t id, uint32_t& value) override {
    auto dev = find(id);
    if (!dev) return badHandle();
    return readRegister(*dev, kRegHeartbeatTimeout, value);
  }

  void version(uint32_t& minor, uint32_t& build) override {
    minor = kTransportMinor;
    build = kTransportBuild;
  }

 private:
  static TransportResult badHandle() { return {GDEV_STATUS_INVALID_HANDLE, 0, 0}; }

  std::shared_ptr<Device> find(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Device> findChannel(uint64_t id, uint32_t channel, Channel*& ch) {
    auto dev = find(id);
    if (!dev || channel >= dev->channels.size()) return nullptr;
    ch = dev->channels[channel].get();
    return dev;
  }

  TransportResult readRegister(Device& dev, uint32_t address, uint32_t& value) {
    return dev.control->readRegister(address, value);
  }
  TransportResult writeRegister(Device& dev, uint32_t address, uint32_t value) {
    return dev.control->writeRegister(address, value);
  }

  TransportResult stopChannel(Device& dev, Channel& ch) {
    if (!ch.running.exchange(false)) return {};
    if (dev.lost.load()) return {};
    // Port 0 ends the device's streaming on this channel.
    return writeRegister(dev, kRegScp0 + ch.index * kStreamChannelStride, 0);
  }

  void stopThreads(Device& dev) {
    dev.stop = true;
    {
      std::lock_guard<std::mutex> lock(dev.eventMutex);
      dev.eventReady.notify_all();
    }
    {
      std::lock_guard<std::mutex> lock(dev.completionMutex);
      dev.ended = true;
      dev.completionReady.notify_all();
    }
    for (auto& ch : dev.channels)
      if (ch->thread.joinable()) ch->thread.join();
    if (dev.heartbeat.joinable()) dev.heartbeat.join();
    if (dev.messages.joinable()) dev.messages.join();
  }

  GevTransportOptions options_;
  std::mutex mutex_;
  std::map<uint64_t, std::shared_ptr<Device>> devices_;
  uint64_t nextId_ = 0x1000;
};

}  // namespace

std::unique_ptr<Transport> makeGevTransport(const GevTransportOptions& options) {
  return std::make_unique<GevTransport>(options);
}

std::unique_ptr<Transport> makeGevTransport() {
  GevTransportOptions options;
  return makeGevTransport(options);
}

}  // namespace gevlink