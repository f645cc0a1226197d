#include "gevlink/gvcp_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "gevlink/transport_status.h"
#include "gevlink/wire/bootstrap.h"

namespace gevlink {

using namespace wire;

GvcpChannel::GvcpChannel(Fd fd, uint32_t deviceAddress, const GevTransportOptions& options)
    : fd_(std::move(fd)), device_(addressOf(deviceAddress, kGvcpPort)), options_(options) {}

TransportResult GvcpChannel::transact(const std::function<Bytes(uint16_t)>& encode, uint16_t ackCode, Bytes& ackPayload,
                                      uint32_t info) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint16_t id = nextId();
  Bytes command = encode(id);
  uint8_t datagram[1500];
  for (uint32_t attempt = 0; attempt < options_.commandRetries; ++attempt) {
    if (sendto(fd_.get(), command.data(), command.size(), 0, reinterpret_cast<const sockaddr*>(&device_),
               sizeof device_) < 0)
      return systemError(errno);
    auto deadline = Clock::now() + std::chrono::milliseconds(options_.commandTimeoutMs);
    for (;;) {
      pollfd p{fd_.get(), POLLIN, 0};
      int ready = poll(&p, 1, msUntil(deadline));
      if (ready <= 0) break;
      ssize_t n = recv(fd_.get(), datagram, sizeof datagram, 0);
      if (n <= 0) continue;
      AckHeader header;
      std::span<const uint8_t> payload;
      if (!parseAck({datagram, std::size_t(n)}, header, payload) || header.ackId != id) continue;
      if (header.answer == kPendingAck) {
        uint16_t ms = 0;
        if (parsePendingAck(payload, ms))
          deadline = Clock::now() + std::chrono::milliseconds(ms + options_.commandTimeoutMs);
        continue;
      }
      if (header.answer != ackCode) continue;
      ackPayload.assign(payload.begin(), payload.end());
      if (header.status != GEV_STATUS_SUCCESS) return refused(header.status, info);
      return {};
    }
  }
  return timedOut(info);
}

TransportResult GvcpChannel::readRegister(uint32_t address, uint32_t& value) {
  Bytes ack;
  TransportResult r =
      transact([&](uint16_t id) { return encodeReadRegCmd(id, std::span<const uint32_t>(&address, 1)); }, kReadRegAck,
               ack, address);
  if (!r.ok()) return r;
  std::vector<uint32_t> values;
  if (!parseReadRegAck(ack, values) || values.empty()) return refused(GEV_STATUS_INVALID_HEADER, address);
  value = values[0];
  return {};
}

TransportResult GvcpChannel::writeRegister(uint32_t address, uint32_t value) {
  Bytes ack;
  RegisterWrite w{address, value};
  return transact([&](uint16_t id) { return encodeWriteRegCmd(id, std::span<const RegisterWrite>(&w, 1)); },
                  kWriteRegAck, ack, address);
}

TransportResult GvcpChannel::readMemory(uint32_t address, void* out, uint32_t length) {
  if (length == 0 || uint64_t(address) + length > 0x100000000ull) return badArgument(address);
  // READMEM moves whole 4-byte words, at most 512 bytes per command.
  uint32_t start = address & ~3u;
  uint64_t end = (uint64_t(address) + length + 3) & ~3ull;
  std::vector<uint8_t> words(std::size_t(end - start));
  for (uint64_t at = start; at < end;) {
    uint16_t count = uint16_t(std::min<uint64_t>(512, end - at));
    Bytes ack;
    uint32_t a32 = uint32_t(at);
    TransportResult r =
        transact([&](uint16_t rid) { return encodeReadMemCmd(rid, a32, count); }, kReadMemAck, ack, a32);
    if (!r.ok()) return r;
    uint32_t ackAddress = 0;
    std::span<const uint8_t> data;
    if (!parseReadMemAck(ack, ackAddress, data) || ackAddress != a32 || data.size() < count)
      return refused(GEV_STATUS_INVALID_HEADER, a32);
    std::memcpy(words.data() + (at - start), data.data(), count);
    at += count;
  }
  std::memcpy(out, words.data() + (address - start), length);
  return {};
}

TransportResult GvcpChannel::writeMemory(uint32_t address, const void* data, uint32_t length, uint32_t& written) {
  written = 0;
  if (length == 0 || uint64_t(address) + length > 0x100000000ull) return badArgument(address);
  uint32_t start = address & ~3u;
  uint64_t end = (uint64_t(address) + length + 3) & ~3ull;
  std::vector<uint8_t> words(std::size_t(end - start));
  if (start != address || end != uint64_t(address) + length) {
    // Bytes of a word outside the caller's range keep their device value.
    TransportResult r = readMemory(start, words.data(), uint32_t(end - start));
    if (!r.ok()) return r;
  }
  std::memcpy(words.data() + (address - start), data, length);
  for (uint64_t at = start; at < end;) {
    uint32_t count = uint32_t(std::min<uint64_t>(kMaxMemoryBlock & ~3u, end - at));
    Bytes ack;
    uint32_t a32 = uint32_t(at);
    std::span<const uint8_t> chunk(words.data() + (at - start), count);
    TransportResult r =
        transact([&](uint16_t rid) { return encodeWriteMemCmd(rid, a32, chunk); }, kWriteMemAck, ack, a32);
    if (!r.ok()) return r;
    at += count;
    written = uint32_t(std::min<uint64_t>(at - address, length));
  }
  written = length;
  return {};
}

TransportResult GvcpChannel::readRegisters(const uint32_t* addresses, uint32_t* values, uint32_t count) {
  for (uint32_t done = 0; done < count;) {
    uint32_t n = std::min<uint32_t>(count - done, kMaxReadRegCount);
    Bytes ack;
    std::span<const uint32_t> chunk(addresses + done, n);
    TransportResult r =
        transact([&](uint16_t rid) { return encodeReadRegCmd(rid, chunk); }, kReadRegAck, ack, addresses[done]);
    std::vector<uint32_t> got;
    bool parsed = bool(parseReadRegAck(ack, got));
    if (parsed)
      for (std::size_t i = 0; i < got.size() && i < n; ++i) values[done + i] = got[i];
    if (!r.ok()) {
      // The register that failed is the first one not answered.
      std::size_t failed = parsed ? std::min<std::size_t>(got.size(), n - 1) : 0;
      r.info = addresses[done + failed];
      return r;
    }
    if (!parsed || got.size() < n) return refused(GEV_STATUS_INVALID_HEADER, addresses[done]);
    done += n;
  }
  return {};
}

TransportResult GvcpChannel::writeRegisters(const uint32_t* pairs, uint32_t count, uint32_t& written) {
  written = 0;
  std::vector<RegisterWrite> writes;
  for (uint32_t done = 0; done < count;) {
    uint32_t n = std::min<uint32_t>(count - done, kMaxWriteRegCount);
    writes.clear();
    for (uint32_t i = 0; i < n; ++i) writes.push_back({pairs[2 * (done + i)], pairs[2 * (done + i) + 1]});
    Bytes ack;
    TransportResult r =
        transact([&](uint16_t rid) { return encodeWriteRegCmd(rid, writes); }, kWriteRegAck, ack, writes[0].address);
    uint16_t index = 0;
    bool parsed = bool(parseWriteRegAck(ack, index));
    if (!r.ok()) {
      if (parsed && index < n) {
        written = done + index;
        r.info = writes[index].address;
      }
      return r;
    }
    done += n;
    written = done;
  }
  return {};
}

bool GvcpChannel::heartbeat() {
  Bytes ack;
  uint32_t ccp = kRegCcp;
  TransportResult r = transact([&](uint16_t id) { return encodeReadRegCmd(id, std::span<const uint32_t>(&ccp, 1)); },
                               kReadRegAck, ack, kRegCcp);
  return r.status != GDEV_STATUS_TIMEOUT;
}

void GvcpChannel::sendUnacknowledged(const Bytes& command) {
  sendto(fd_.get(), command.data(), command.size(), 0, reinterpret_cast<const sockaddr*>(&device_), sizeof device_);
}

uint16_t GvcpChannel::nextUnacknowledgedId() {
  uint16_t id = uint16_t(resendId_.fetch_add(1));
  return id ? id : uint16_t(resendId_.fetch_add(1));
}

uint16_t GvcpChannel::nextId() {
  if (++id_ == 0) id_ = 1;
  return id_;
}

}  // namespace gevlink
