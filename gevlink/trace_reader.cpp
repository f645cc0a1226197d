#include "gevlink/trace_reader.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "gevlink/trace.h"

namespace gevlink {
namespace {

uint32_t le(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

const char* functionName(uint8_t f) {
  switch (f) {
    case kTrEnumDevice: return "GDevEnumDevice";
    case kTrForceIp: return "GDevFoceIP";
    case kTrOpen: return "GDevOpen";
    case kTrClose: return "GDevClose";
    case kTrEnumStream: return "GDevEnumStream";
    case kTrQueBuffer: return "GDevQueBuffer";
    case kTrFlushBuffer: return "GDevFlushBuffer";
    case kTrStartStream: return "GDevStartStream";
    case kTrWaitStream: return "GDevWaitStream";
    case kTrCancelStream: return "GDevCancelStream";
    case kTrWaitEvent: return "GDevWaitEvent";
    case kTrCancelEvent: return "GDevCancelEvent";
    case kTrMemRead: return "GDevDirectMemRead";
    case kTrMemWrite: return "GDevDirectMemWrite";
    case kTrRegRead: return "GDevDirectRegRead";
    case kTrRegWrite: return "GDevDirectRegWrite";
    case kTrGetParam: return "GDevGetParam";
    case kTrReAcquisition: return "GDevReAcquisition";
    case kTrStartStreamEx: return "GDevStartStreamEx";
    case kTrFrameTopNotify: return "GDevSetFrameTopRecvNotify";
    case kTrWaitStreamEx: return "GDevWaitStreamEx";
    case kTrWaitEventEx: return "GDevWaitEventEx";
    case kTrBuffLock: return "GDevBuffLock";
    case kTrBuffUnlock: return "GDevBuffUnlock";
    case kTrGetVersion: return "GDevGetVersion";
    case kTrTransport: return "transport";
    case kTrPortRead: return "port read";
    case kTrPortWrite: return "port write";
    default: return "?";
  }
}

std::string timeText(const uint8_t* t) {
  char out[40];
  std::snprintf(out, sizeof out, "%02x-%02x-%02x %02x:%02x:%02x.%03u", t[0], t[1], t[2], t[3], t[4], t[5],
                le(t + 6, 2) % 1000);
  return out;
}

}  // namespace

bool formatTrace(const uint8_t* data, std::size_t size, std::string& text) {
  text.clear();
  if (size < kTraceHeaderSize || std::memcmp(data, "Gevlink", 8) != 0) {
    text = "not a Gevlink trace file\n";
    return false;
  }
  uint32_t ringSize = le(data + 20, 4), writePos = le(data + 24, 4), dataSize = le(data + 28, 4);
  if (ringSize == 0 || ringSize > size - kTraceHeaderSize || writePos >= ringSize) {
    text = "trace header damaged (ring size or write position)\n";
    return false;
  }
  const uint8_t* ring = data + kTraceHeaderSize;
  char line[160];
  std::snprintf(line, sizeof line, "trace started %s, tick %u, ring %u bytes, payload at most %u bytes\n",
                timeText(data + 8).c_str(), le(data + 16, 4), ringSize, dataSize);
  text += line;

  // Read the ring oldest first, starting at the write position, as one
  // straight run of bytes.
  std::vector<uint8_t> run(ringSize);
  for (uint32_t i = 0; i < ringSize; ++i) run[i] = ring[(writePos + i) % ringSize];
  auto isMarker = [&](std::size_t p) { return p + 1 < run.size() && le(&run[p], 2) == kTraceMarker; };
  std::size_t p = 0;
  while (p + kTraceRecordHeaderSize <= run.size()) {
    if (!isMarker(p)) {
      ++p;  // a record cut by the wrap, or the gap after a handle record
      continue;
    }
    const uint8_t* h = &run[p];
    uint16_t event = uint16_t(le(h + 2, 2));
    uint32_t length = le(h + 16, 4);
    std::size_t start = p + kTraceRecordHeaderSize;
    std::size_t end = start + length;
    if (length > dataSize + 16 || end > run.size()) {
      ++p;
      continue;
    }
    // The payload runs up to the next marker (handle records carry more
    // bytes than their length field counts), at most 16 bytes further.
    std::size_t stop = end + (length % 2);
    for (std::size_t q = end; q < end + 17 && q + 1 < run.size(); ++q) {
      if (isMarker(q)) {
        stop = q;
        break;
      }
      stop = q + 1;
    }
    if (stop > run.size()) stop = run.size();
    std::snprintf(line, sizeof line, "%s pid %u event %04X %s", timeText(h + 4).c_str(), le(h + 12, 4), event,
                  event == kTraceEnumRecord ? "discovery record" : functionName(uint8_t(event >> 8)));
    text += line;
    if (event != kTraceEnumRecord) {
      uint8_t step = uint8_t(event);
      text += step == kStepEntry ? " entry" : step == kStepExit ? " exit" : " detail";
    }
    if (uint8_t(event) == kStepExit && event != kTraceEnumRecord && length >= 16) {
      std::snprintf(line, sizeof line, " status %u code 0x%08X info 0x%08X at %u", le(&run[start], 4),
                    le(&run[start + 4], 4), le(&run[start + 8], 4), le(&run[start + 12], 4));
      text += line;
    } else {
      text += " :";
      for (std::size_t i = start; i < stop; ++i) {
        std::snprintf(line, sizeof line, " %02X", run[i]);
        text += line;
      }
    }
    text += "\n";
    p = stop > p ? stop : p + 1;
  }
  return true;
}

}  // namespace gevlink
