#pragma once
// The cross-process trace ring: every process that loads the library writes
// records into one file, "Gevlink.000" in the trace folder, mapped shared.
// "Gevlink.lock" (flock) serialises writers across processes; a mutex does it
// inside the process (flock does not exclude threads sharing one descriptor).
// The first process (no other process holds "Gevlink.attach") rotates the
// generations "Gevlink.%03d" and starts a fresh ring.
//
// File: a 32-byte header, then the ring (little-endian numbers):
//   0  8  "Gevlink\0"
//   8  8  local time at start: yy mm dd hh mi ss as BCD bytes, then ms (16 bit)
//   16 4  tick count at start (ms of CLOCK_MONOTONIC)
//   20 4  ring size
//   24 4  write position in the ring
//   28 4  maximum payload per record
// Record, written byte by byte at the write position, wrapping:
//   0 2 marker 0xCEFA, 2 2 event, 4 8 local time, 12 4 process id,
//   16 4 payload length, 20 payload (+ one zero byte when the length is odd)
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "gevlink/settings.h"

namespace gevlink {

inline constexpr uint16_t kTraceMarker = 0xCEFA;
inline constexpr uint32_t kTraceHeaderSize = 32;
inline constexpr uint32_t kTraceRecordHeaderSize = 20;

// Event numbers: high byte = function, low byte = step.
enum TraceFunction : uint8_t {
  kTrEnumDevice = 0x10,
  kTrForceIp = 0x11,
  kTrOpen = 0x12,
  kTrClose = 0x13,
  kTrEnumStream = 0x14,
  kTrQueBuffer = 0x15,
  kTrFlushBuffer = 0x16,
  kTrStartStream = 0x17,
  kTrWaitStream = 0x18,
  kTrCancelStream = 0x19,
  kTrWaitEvent = 0x1A,
  kTrCancelEvent = 0x1B,
  kTrMemRead = 0x1C,
  kTrMemWrite = 0x1D,
  kTrRegRead = 0x1E,
  kTrRegWrite = 0x1F,
  kTrGetParam = 0x20,
  kTrReAcquisition = 0x21,
  kTrStartStreamEx = 0x22,
  kTrFrameTopNotify = 0x23,
  kTrWaitStreamEx = 0x24,
  kTrWaitEventEx = 0x25,
  kTrBuffLock = 0x26,
  kTrBuffUnlock = 0x27,
  kTrGetVersion = 0x28,
  kTrTransport = 0x40,
  kTrPortRead = 0x70,
  kTrPortWrite = 0x71,
};
enum TraceStep : uint8_t { kStepEntry = 1, kStepExit = 2, kStepDetail = 3 };
inline constexpr uint16_t kTraceEnumRecord = 0xFFE0;
inline uint16_t traceEvent(uint8_t function, uint8_t step) { return uint16_t(function << 8 | step); }

void encodeTraceTime(uint8_t out[8]);

class Trace {
 public:
  // Tracing stays off (every write a no-op) when the folder is empty or the
  // files cannot be made.
  explicit Trace(const Settings& settings);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  bool on() const { return base_ != nullptr; }
  const std::string& filePath() const { return file_; }
  // A record with payload (at most the maximum payload is kept).
  void write(uint16_t event, const void* payload, std::size_t length);
  // A record that carries a handle (8 bytes before the payload).
  void writeHandle(uint16_t event, uint64_t handle, const void* payload, std::size_t length);
  // A record that carries a handle and a count.
  void writeHandleCount(uint16_t event, uint64_t handle, uint64_t count, const void* payload, std::size_t length);
  // Exit record: status, extended code, info, source position.
  void writeExit(uint8_t function, uint32_t status, uint32_t code, uint32_t info, uint32_t position);

 private:
  void writeRecord(uint16_t event, const uint8_t* prefix, std::size_t prefixLength, const void* payload,
                   std::size_t length);
  void putByte(uint32_t& pos, uint8_t byte);

  std::string file_;
  int lockFd_ = -1;    // Gevlink.lock: writers
  int attachFd_ = -1;  // Gevlink.attach: shared by every attached process
  uint8_t* base_ = nullptr;
  std::size_t mapSize_ = 0;
  uint32_t ringSize_ = 0;
  uint32_t dataSize_ = 0;
  std::mutex mutex_;
};

}  // namespace gevlink
