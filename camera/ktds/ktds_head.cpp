#include "camera/ktds/ktds_head.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "camera/common/zpj_protocol.h"
#include "camera/ktds/head_report.h"
#include "diag/logger.h"

namespace camera::ktds {
namespace {

constexpr std::uint32_t kMaxDevicesPerInterface = 10;
// A payload beyond this is not a frame of this head: no buffers for it.
constexpr std::uint32_t kMaxPayload = 256u << 20;
// How long the stop keeps cancelling a receive thread that has not ended
// (a cancel that comes before the thread's next wait is not seen by it).
constexpr int kCancelRepeatMs = 20;
constexpr int kCancelTries = 250;
// Settling after the buffers were flushed.
constexpr int kStopSettleMs = 200;

// address: first octet in the lowest byte; networkOrder: as DeviceInfo keeps it.
bool sameAddress(std::uint32_t networkOrder, std::uint32_t address) {
  unsigned char b[4];
  std::memcpy(b, &networkOrder, sizeof b);
  return b[0] == (address & 0xFFu) && b[1] == ((address >> 8) & 0xFFu) && b[2] == ((address >> 16) & 0xFFu) &&
         b[3] == (address >> 24);
}

// Node-map calls throw; each failure is logged in the form of its kind.
template <class Fn>
bool nodeCall(Fn&& fn, int line) {
  try {
    fn();
    return true;
  } catch (const gevlink::GDevExceptionI& e) {
    ZEL_LOG("!GevlinkException! Code:0x%08X Info:0x%08X Status:0x%08X\n\t%s\n\n", e.info(), e.info2(), e.code(),
            e.what());
  } catch (const gevlink::GDevException& e) {
    ZEL_LOG("!GenICamException! %s %d \n\t%s\n\n", e.what(), line, "ktds_head.cpp");
  } catch (const std::exception& e) {
    ZEL_LOG("!GenICamException! %s %d \n\t%s\n\n", e.what(), line, "ktds_head.cpp");
  }
  return false;
}

}  // namespace

KtdsHead::~KtdsHead() { close(); }

void KtdsHead::report(const char* operation, std::uint32_t status, const GDevErrInfo& err) {
  ZEL_LOG("%s", gevlinkErrorReport(operation, status, err).c_str());
}

bool KtdsHead::setInteger(const char* name, std::int64_t value) {
  return nodeMap_ && nodeCall([&] { nodeMap_->setInteger(name, value); }, __LINE__);
}

bool KtdsHead::getInteger(const char* name, std::int64_t* value) {
  return nodeMap_ && nodeCall([&] { *value = nodeMap_->getInteger(name); }, __LINE__);
}

bool KtdsHead::execute(const char* name) {
  return nodeMap_ && nodeCall([&] { nodeMap_->execute(name); }, __LINE__);
}

bool KtdsHead::open(int format, std::uint32_t address) {
  if (opened_.load()) {
    ZEL_LOG("already opened.\n");
    return true;
  }
  if (!api_.complete()) {
    ZEL_LOG("error: libGevlink.so lacks %s\n", api_.missing.c_str());
    return false;
  }

  // The PC's IPv4 interfaces; the head is looked for behind each of them.
  std::vector<std::uint32_t> interfaces;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    ZEL_LOG("error: interface list: %s\n", std::strerror(errno));
    return false;
  }
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in in{};
    std::memcpy(&in, a->ifa_addr, sizeof in);
    ZEL_LOG("IP address: %s[iiFlags:%x]\n", dottedAddress(in.sin_addr.s_addr).c_str(), a->ifa_flags);
    if (a->ifa_flags & IFF_UP) interfaces.push_back(in.sin_addr.s_addr);
  }
  ::freeifaddrs(list);

  ZEL_LOG("device discovery...\n");
  DeviceInfo chosen{};
  std::uint32_t nic = 0;
  bool found = false;
  for (std::uint32_t candidate : interfaces) {
    DeviceInfo infos[kMaxDevicesPerInterface];
    std::uint32_t count = 0;
    GDevErrInfo err{};
    const std::uint32_t status = api_.enumDevice(&candidate, infos, kMaxDevicesPerInterface, &count, &err);
    if (status != 0) {
      ZEL_LOG("error: GDevEnumDevice\n");
      report("GDevEnumDevice", status, err);
      continue;
    }
    for (std::uint32_t i = 0; i < count && i < kMaxDevicesPerInterface; ++i) {
      std::fputs(discoveryRecordText(infos[i]).c_str(), stdout);
      if (!found && (address == 0 || sameAddress(infos[i].currentIp, address))) {
        chosen = infos[i];
        nic = candidate;
        found = true;
      }
    }
  }
  std::fflush(stdout);
  if (!found) {
    ZEL_LOG("error: no head found%s\n", address == 0 ? "" : " at the address asked for");
    return false;
  }
  ZEL_LOG("use nic\t[%s]\n", dottedAddress(nic).c_str());
  ZEL_LOG("device\t[%s]\n", dottedAddress(chosen.currentIp).c_str());

  transport_ = nic;
  errInfo_ = {};
  nodeMap_ = nullptr;
  std::uint32_t status = api_.open(&transport_, &chosen.currentIp, &device_, &nodeMap_, &errInfo_);
  if (status != 0) {
    report("GDevOpen", status, errInfo_);
    device_ = 0;
    nodeMap_ = nullptr;
    return false;
  }

  const std::uint32_t addresses[4] = {reg::kFirmware, reg::kTransferMode, reg::kPixelClockDelay, reg::kAnalogGain};
  std::uint32_t values[4] = {};
  GDevErrInfo err{};
  status = api_.directRegRead(device_, addresses, values, 4, &err);
  if (status != 0) {
    report("GDevDirectRegRead", status, err);
  } else {
    ZEL_LOG("firmware=MicroBlaze[%d.%d] FPGA[%d.%d]\n", values[0] >> 24, (values[0] >> 16) & 0xFF,
            (values[0] >> 8) & 0xFF, values[0] & 0xFF);
    ZEL_LOG("transfer mode=%d\n", static_cast<int>(values[1]));
    ZEL_LOG("pixel clock delay=%d\n", static_cast<int>(values[2]));
    ZEL_LOG("analog gain=%d\n", static_cast<int>(values[3]));
  }

  if (format != 0) {
    const std::int64_t w = format == 130 ? 2560 : 1280, h = format == 130 ? 1024 : 480;
    ZEL_LOG("set image size=%dx%d...\n", static_cast<int>(w), static_cast<int>(h));
    setInteger("Width", w);
    setInteger("Height", h);
  }

  std::uint32_t streams = 0;
  err = {};
  status = api_.enumStream(device_, &stream_, 1, &streams, &err);
  std::int64_t w = 0, h = 0, payload = 0;
  bool ok = status == 0 && streams > 0;
  if (!ok) {
    ZEL_LOG("error: GDevEnumStream[%d]\n", static_cast<int>(status));
    if (status != 0) report("GDevEnumStream", status, err);
  }
  ok = ok && getInteger("Width", &w) && getInteger("Height", &h) && getInteger("PayloadSize", &payload);
  if (ok) {
    ZEL_LOG("image size=%dx%d\n", static_cast<int>(w), static_cast<int>(h));
    ZEL_LOG("payload size=%d\n", static_cast<int>(payload));
    // Each camera gets one half of every row: the frame must split evenly,
    // and the payload hold the whole frame.
    if (w <= 0 || h <= 0 || w % 2 != 0 || w > 65536 || h > 65536 || payload < w * h || payload > kMaxPayload) {
      ZEL_LOG("error: the head reports a frame of %lldx%lld in %lld bytes\n", static_cast<long long>(w),
              static_cast<long long>(h), static_cast<long long>(payload));
      ok = false;
    }
  }
  if (ok) {
    bufferSize_ = static_cast<std::uint32_t>(payload) + kBufferSlack;
    buffers_.clear();
    for (int i = 0; i < kBufferCount && ok; ++i) {
      std::unique_ptr<std::uint8_t[]> b(new (std::nothrow) std::uint8_t[bufferSize_]);
      if (!b) {
        ZEL_LOG("error: no memory for %d receive buffers of %u bytes\n", kBufferCount, bufferSize_);
        ok = false;
      }
      buffers_.push_back(std::move(b));
    }
  }
  if (!ok) {
    closeDevice();
    return false;
  }
  width_ = static_cast<std::int32_t>(w);
  height_ = static_cast<std::int32_t>(h);
  payload_ = static_cast<std::uint32_t>(payload);
  lost_ = false;
  opened_ = true;
  return true;
}

void KtdsHead::closeDevice() {
  if (device_ != 0) {
    GDevErrInfo err{};
    const std::uint32_t status = api_.close(device_, &err);
    if (status != 0) report("GDevClose", status, err);
  }
  device_ = 0;
  nodeMap_ = nullptr;
  buffers_.clear();
  ZEL_LOG("closed\n");
}

void KtdsHead::close() {
  if (!opened_.load()) return;
  stopStreaming();
  opened_ = false;
  closeDevice();
}

bool KtdsHead::readRegister(std::uint32_t address, std::uint32_t* value) {
  if (!opened_.load()) return false;
  GDevErrInfo err{};
  const std::uint32_t status = api_.directRegRead(device_, &address, value, 1, &err);
  if (status != 0) report("GDevDirectRegRead", status, err);
  return status == 0;
}

bool KtdsHead::writeRegister(std::uint32_t address, std::uint32_t value) {
  if (!opened_.load()) return false;
  GDevRegPair pair{address, value};
  std::uint32_t written = 0;
  GDevErrInfo err{};
  const std::uint32_t status = api_.directRegWrite(device_, &pair, 1, &written, &err);
  if (status != 0) report("GDevDirectRegWrite", status, err);
  return status == 0;
}

bool KtdsHead::sendProjector(const std::string& text) {
  if (!opened_.load() || text.empty()) return false;
  std::vector<GDevRegPair> pairs;
  for (char c : text) pairs.push_back({reg::kProjectorChannel, zpj::headChannelWord(c)});
  std::uint32_t written = 0;
  GDevErrInfo err{};
  const std::uint32_t status =
      api_.directRegWrite(device_, pairs.data(), static_cast<std::uint32_t>(pairs.size()), &written, &err);
  if (status != 0) report("GDevDirectRegWrite", status, err);
  return status == 0;
}

bool KtdsHead::startStreaming() {
  if (!opened_.load()) return false;
  if (thread_.joinable()) {
    ZEL_LOG("streaming now\n");
    return true;
  }
  GDevErrInfo err{};
  for (auto& buffer : buffers_) {
    const std::uint32_t status = api_.queBuffer(device_, stream_, buffer.get(), bufferSize_, &err);
    if (status != 0) {
      report("GDevQueBuffer", status, err);
      api_.flushBuffer(device_, stream_, &err);
      return false;
    }
  }
  std::uint32_t status = api_.startStreamEx(device_, stream_, 0, &err);
  if (status != 0) {
    report("GDevStartStreamEx", status, err);
    api_.flushBuffer(device_, stream_, &err);
    return false;
  }
  writeRegister(reg::kStreamStart, 0);
  stopping_ = false;
  threadEnded_ = false;
  lost_ = false;
  try {
    thread_ = std::thread(&KtdsHead::receiveLoop, this);
  } catch (const std::exception& e) {
    ZEL_LOG("error: receive thread: %s\n", e.what());
    api_.flushBuffer(device_, stream_, &err);
    return false;
  }
  setInteger("TLParamsLocked", 1);
  frameCount_ = 0;
  if (!execute("AcquisitionStart")) {
    stopStreaming();
    return false;
  }
  return true;
}

void KtdsHead::stopStreaming() {
  if (!thread_.joinable()) return;
  // A head that stopped answering would make each command wait out its
  // retries: only the local side is wound down then.
  if (!lost_.load()) {
    execute("AcquisitionStop");
    setInteger("TLParamsLocked", 0);
  }
  stopping_ = true;
  GDevErrInfo err{};
  {
    std::unique_lock<std::mutex> lock(endMutex_);
    for (int i = 0; i < kCancelTries && !threadEnded_.load(); ++i) {
      const std::uint32_t status = api_.cancelStream(device_, stream_, &err);
      if (status != 0 && i == 0) report("GDevCancelStream", status, err);
      endCv_.wait_for(lock, std::chrono::milliseconds(kCancelRepeatMs), [&] { return threadEnded_.load(); });
    }
  }
  thread_.join();
  const std::uint32_t status = api_.flushBuffer(device_, stream_, &err);
  if (status != 0) report("GDevFlushBuffer", status, err);
  std::this_thread::sleep_for(std::chrono::milliseconds(kStopSettleMs));
}

void KtdsHead::receiveLoop() {
  while (!stopping_.load()) {
    std::uint32_t channel = 0;
    void* buffer = nullptr;
    GDevErrInfo err{};
    const std::uint32_t status = api_.waitStream(device_, &stream_, 1, &channel, &buffer, &err);
    cb_recvimg* receiver = receiver_.load();
    if (status == 0 && !buffer) {
      if (receiver) receiver->recvImage(-1, nullptr, 0);
      continue;
    }
    if (buffer) {
      auto* bytes = static_cast<std::uint8_t*>(buffer);
      if (status == 0) {
        std::string why;
        const std::size_t imageBytes = frameImageBytes(bytes, bufferSize_, static_cast<std::uint32_t>(width_),
                                                       static_cast<std::uint32_t>(height_), &why);
        if (imageBytes > 0) {
          // Counted before it is handed on: a host that reads the counter
          // from its callback sees this frame counted.
          const std::uint32_t index = frameCount_.fetch_add(1);
          if (receiver) receiver->recvImage(index, bytes + GDEV_FRAME_DATA_OFFSET, imageBytes);
        } else {
          ZEL_LOG("error: frame dropped: %s\n", why.c_str());
        }
      } else {
        // A frame that stayed incomplete (or overran its buffer) is dropped;
        // its buffer goes back and streaming goes on.
        report("GDevWaitStream", status, err);
      }
      GDevErrInfo unlockErr{};
      const std::uint32_t unlocked = api_.buffUnlock(device_, stream_, buffer, &unlockErr);
      if (unlocked != 0) report("GDevBuffUnlock", unlocked, unlockErr);
      continue;
    }
    if (!(status == GDEV_STATUS_EXTENDED_ERROR && err.code == GDEV_ERR_CANCELLED)) {
      report("GDevWaitStream", status, err);
      if (!stopping_.load()) {
        lost_ = true;
        ZEL_LOG("error: the head stopped streaming: no more frames until it is opened again\n");
      }
    }
    if (receiver) receiver->recvImage(-1, nullptr, 0);
    break;
  }
  {
    std::lock_guard<std::mutex> lock(endMutex_);
    threadEnded_ = true;
  }
  endCv_.notify_all();
}

}  // namespace camera::ktds
