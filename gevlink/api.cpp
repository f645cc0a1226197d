// The GDev exports: argument checks, the device table, stream queues and
// waits, over the transport. See include/gevlink.h for the contract.
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gevlink.h"
#include "gevlink/discovery.h"
#include "gevlink/library.h"
#include "gevlink/pointer_check.h"
#include "gevlink/xml_fetch.h"

namespace gevlink {

// ---- exceptions ---------------------------------------------------------------

GDevException::GDevException(const char* message) {
  std::snprintf(message_, sizeof message_, "%s", message ? message : "");
}
const char* GDevException::what() const noexcept { return message_; }

GDevExceptionI::GDevExceptionI(uint32_t kind, uint32_t code, uint32_t info, uint32_t info2, const char* message)
    : GDevException(message), kind_(kind), code_(code), info_(info), info2_(info2) {}

// ---- the library ------------------------------------------------------------

namespace {
std::mutex gInstanceMutex;
std::unique_ptr<Library> gInstance;
}  // namespace

Library::Library(std::unique_ptr<Transport> t, const Settings& s)
    : settings(s), trace(std::make_unique<Trace>(s)), transport(std::move(t)) {}

Library::~Library() = default;

Library& Library::instance() {
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  if (!gInstance) gInstance = std::make_unique<Library>(makeGevTransport(), readSettings(settingsPath()));
  return *gInstance;
}

void Library::resetForTesting(std::unique_ptr<Transport> transport, const Settings& settings) {
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  if (gInstance) {
    for (auto& entry : gInstance->table)
      if (entry) {
        GDevErrInfo err{};
        uint64_t id = entry->id;
        gInstanceMutex.unlock();
        GDevClose(id, &err);
        gInstanceMutex.lock();
      }
  }
  gInstance.reset();
  gInstance = std::make_unique<Library>(std::move(transport), settings);
}

std::shared_ptr<DeviceObject> Library::find(uint64_t handle) {
  if (handle == 0 || handle == ~0ull) return nullptr;
  std::lock_guard<std::timed_mutex> lock(tableMutex);
  for (auto& entry : table)
    if (entry && entry->id == handle) return entry;
  return nullptr;
}

namespace {

// One exported call: its error info, its trace records.
class Call {
 public:
  Call(uint8_t function, GDevErrInfo* err) : lib_(Library::instance()), function_(function), err_(err) {}
  Library& lib() { return lib_; }
  Trace& trace() { return *lib_.trace; }
  // The error info must be writable before anything else; it is zeroed.
  bool begin(uint64_t handle, const void* args, std::size_t argsLength) {
    lib_.trace->writeHandle(traceEvent(function_, kStepEntry), handle, args, argsLength);
    if (!isWritable(err_, sizeof *err_)) return false;
    *err_ = {};
    return true;
  }
  uint32_t done(uint32_t status, uint32_t code, uint32_t info, uint32_t position) {
    if (err_ && status != GDEV_STATUS_INVALID_PARAMETER) *err_ = {code, info};
    lib_.trace->writeExit(function_, status, code, info, position);
    return status;
  }
  uint32_t fail(const TransportResult& r, uint32_t position) { return done(r.status, r.code, r.info, position); }
  uint32_t badParameter(uint32_t position) { return done(GDEV_STATUS_INVALID_PARAMETER, 0, 0, position); }
  uint32_t extended(uint32_t code, uint32_t info, uint32_t position) {
    return done(GDEV_STATUS_EXTENDED_ERROR, code, info, position);
  }
  uint32_t ok(uint32_t position) { return done(0, 0, 0, position); }

 private:
  Library& lib_;
  uint8_t function_;
  GDevErrInfo* err_;
};

#define ZEL_DONE_OK() call.ok(__LINE__)
#define ZEL_BAD_PARAM() call.badParameter(__LINE__)
#define ZEL_EXTENDED(code, info) call.extended((code), (info), __LINE__)
#define ZEL_FAIL(result) call.fail((result), __LINE__)

bool invalidHandle32(uint32_t v) { return v == 0 || v == 0xFFFFFFFFu; }

// The receive thread: moves the transport's completions into the queues of
// the streams.
void receiveLoop(Library* lib, std::shared_ptr<DeviceObject> dev) {
  pthread_setname_np(pthread_self(), "gevlink-recv");
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  // Real-time priority needs a privilege most users lack; then stay normal.
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  while (!dev->stop.load()) {
    Completion c;
    TransportResult r = lib->transport->waitCompletion(dev->id, 200, c);
    if (r.status == GDEV_STATUS_OPERATION_ABORTED) break;
    if (r.status == GDEV_STATUS_EXTENDED_ERROR) continue;
    if (r.ok()) {
      if (c.kind == GDEV_FRAME_COMPLETE || c.kind == GDEV_FRAME_RESENT)
        c.status = 0;
      else if (c.kind == GDEV_FRAME_INCOMPLETE || c.kind == GDEV_FRAME_OVERRUN)
        c.status = GDEV_STATUS_EXTENDED_ERROR;
    } else {
      c.status = r.status;
      c.code = r.code;
      c.info = r.info;
    }
    std::lock_guard<std::mutex> lock(dev->queueMutex);
    for (auto& s : dev->streams) {
      if (s->channel != c.channel) continue;
      // A lost device repeats its error notice for later waiters: one
      // unread notice per stream is enough.
      if (!c.buffer && c.status != 0 && !s->queue.empty() && !s->queue.back().buffer &&
          s->queue.back().status == c.status)
        break;
      if (s->queue.size() >= kMaxQueuedCompletions) {
        lib->pendingStreamError = GDEV_ERR_INTERNAL;
        break;
      }
      s->queue.push_back(c);
      dev->queueChanged.notify_all();
      break;
    }
  }
}

// Waits on the listed streams; see GDevWaitStream / GDevWaitStreamEx.
uint32_t waitStreams(Call& call, uint64_t device, const uint32_t* keys, uint32_t count, uint32_t timeoutMs,
                     bool skipEmpty, uint32_t* channel, void** buffer, uint32_t* extra) {
  Library& lib = call.lib();
  if (uint32_t pending = lib.pendingStreamError.exchange(0)) return ZEL_EXTENDED(pending, 0);
  if (count == 0) return ZEL_BAD_PARAM();
  if (count > kMaxWaitStreams) return ZEL_EXTENDED(GDEV_ERR_WAIT_LIST, count);
  if (!isReadable(keys, sizeof(uint32_t) * count)) return ZEL_BAD_PARAM();
  std::shared_ptr<DeviceObject> dev = lib.find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);

  std::vector<StreamRecord*> taken;
  auto releaseAll = [&] {
    for (StreamRecord* s : taken) s->waiting = false;
  };
  for (uint32_t i = 0; i < count; ++i) {
    StreamRecord* s = dev->stream(keys[i]);
    if (!s) {
      releaseAll();
      return ZEL_EXTENDED(GDEV_ERR_UNKNOWN_STREAM, i);
    }
    bool expected = false;
    if (!s->waiting.compare_exchange_strong(expected, true)) {
      // The same key listed twice is our own wait: not another caller.
      bool ours = false;
      for (StreamRecord* t : taken) ours = ours || t == s;
      if (ours) continue;
      releaseAll();
      return ZEL_EXTENDED(GDEV_ERR_BUSY, i);
    }
    taken.push_back(s);
  }

  std::unique_lock<std::mutex> lock(dev->queueMutex);
  for (StreamRecord* s : taken) s->cancel = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint32_t status = 0;
  for (;;) {
    StreamRecord* ready = nullptr;
    // A close that ran between our lookup and this wait set the cancels we
    // just reset: its stop flag still says so.
    bool cancelled = dev->stop.load();
    for (StreamRecord* s : taken) {
      if (s->cancel) {
        s->cancel = false;
        cancelled = true;
        break;
      }
      if (!s->queue.empty()) {
        ready = s;
        break;
      }
    }
    if (cancelled) {
      lock.unlock();
      releaseAll();
      return ZEL_EXTENDED(GDEV_ERR_CANCELLED, 0);
    }
    if (ready) {
      Completion c = ready->queue.front();
      ready->queue.pop_front();
      if (!c.buffer && c.status == 0 && skipEmpty) continue;
      *channel = c.channel;
      *buffer = c.buffer;
      if (extra && !c.buffer) *extra = c.info;
      lock.unlock();
      releaseAll();
      if (!c.buffer && c.status == 0) return call.done(0, 0, 0, __LINE__);
      status = call.done(c.status, c.code, c.info, __LINE__);
      return status;
    }
    if (timeoutMs == 0) {
      dev->queueChanged.wait(lock);
    } else if (dev->queueChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
      bool any = false;
      for (StreamRecord* s : taken) any = any || s->cancel || !s->queue.empty();
      if (!any) {
        lock.unlock();
        releaseAll();
        return ZEL_EXTENDED(GDEV_ERR_WAIT_TIMEOUT, 0);
      }
    }
  }
}

uint32_t waitEvent(Call& call, uint64_t device, uint32_t timeoutMs, void* buffer, uint32_t* length) {
  std::shared_ptr<DeviceObject> dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  bool expected = false;
  if (!dev->eventWaiting.compare_exchange_strong(expected, true)) return ZEL_EXTENDED(GDEV_ERR_BUSY, 0);
  EventRecord event;
  TransportResult r = call.lib().transport->waitEvent(dev->id, timeoutMs, event);
  dev->eventWaiting = false;
  if (r.status == GDEV_STATUS_OPERATION_ABORTED) return ZEL_EXTENDED(GDEV_ERR_CANCELLED, 0);
  if (!r.ok()) return ZEL_FAIL(r);
  if (event.status != 0) return ZEL_FAIL((TransportResult{event.status, event.code, event.info}));
  std::size_t n = std::min<std::size_t>(event.data.size(), GDEV_EVENT_BUFFER_SIZE);
  std::memcpy(buffer, event.data.data(), n);
  *length = uint32_t(n);
  return ZEL_DONE_OK();
}

// Stops the receive thread and releases what open made, in the order of a
// close. The device object stays alive for callers still holding it.
void teardown(Library& lib, DeviceObject& dev, bool controlTaken) {
  dev.stop = true;
  lib.transport->cancelEvent(dev.id);
  {
    std::lock_guard<std::mutex> lock(dev.queueMutex);
    for (auto& s : dev.streams) s->cancel = true;
    dev.queueChanged.notify_all();
  }
  lib.transport->endStreaming(dev.id);
  if (dev.receiver.joinable()) dev.receiver.join();  // it ends within its 200 ms wait
  if (controlTaken) lib.transport->releaseControl(dev.id);
  lib.transport->close(dev.id);
}

// A private folder per open for CDF.XML / CDF.ZIP (a fixed name in /tmp can
// be a symlink planted by another user).
std::string makeXmlFolder(const Settings& s, bool& removeAfter) {
  removeAfter = false;
  if (!s.xmlFolder.empty()) return s.xmlFolder;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/gevlink-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) return {};
  removeAfter = !s.xmlNoErase;
  return name.data();
}

bool readFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace
}  // namespace gevlink

using namespace gevlink;

extern "C" {

uint32_t GDevEnumDevice(const uint32_t* transport, DeviceInfo* devices, uint32_t capacity, uint32_t* found,
                        GDevErrInfo* err) {
  Call call(kTrEnumDevice, err);
  uint32_t args[1] = {capacity};
  if (!call.begin(0, args, sizeof args)) return ZEL_BAD_PARAM();
  if (!isReadable(transport, 4) || !isWritable(found, 4) ||
      (capacity && !isWritable(devices, std::size_t(capacity) * sizeof(DeviceInfo))))
    return ZEL_BAD_PARAM();
  *found = 0;
  if (invalidHandle32(*transport)) return ZEL_EXTENDED(GDEV_ERR_INVALID_ADDRESS, *transport);
  std::vector<DiscoveryAnswer> answers;
  TransportResult r = call.lib().transport->enumerate(*transport, answers);
  if (!r.ok()) return ZEL_FAIL(r);
  for (std::size_t i = 0; i < answers.size() && i < capacity; ++i) {
    toDeviceInfo(answers[i], devices[i]);
    call.trace().write(kTraceEnumRecord, &devices[i], sizeof(DeviceInfo));
  }
  *found = uint32_t(answers.size());
  return ZEL_DONE_OK();
}

uint32_t GDevFoceIP(const uint32_t* transport, const uint8_t* mac, const uint32_t* ip, const uint32_t* mask,
                    const uint32_t* gateway, GDevErrInfo* err) {
  Call call(kTrForceIp, err);
  if (!call.begin(0, nullptr, 0)) return ZEL_BAD_PARAM();
  if (!isReadable(transport, 4) || !isReadable(mac, 6) || !isReadable(ip, 4) || !isReadable(mask, 4) ||
      !isReadable(gateway, 4))
    return ZEL_BAD_PARAM();
  if (invalidHandle32(*transport)) return ZEL_EXTENDED(GDEV_ERR_INVALID_ADDRESS, *transport);
  TransportResult r = call.lib().transport->forceIp(*transport, mac, *ip, *mask, *gateway);
  return r.ok() ? ZEL_DONE_OK() : ZEL_FAIL(r);
}

uint32_t GDevOpen(const uint32_t* transport, const uint32_t* deviceAddress, uint64_t* device,
                  gevlink::INodeMap** nodeMap, GDevErrInfo* err) {
  Call call(kTrOpen, err);
  if (!call.begin(0, nullptr, 0)) return ZEL_BAD_PARAM();
  if (!isReadable(transport, 4) || !isReadable(deviceAddress, 4) || !isWritable(device, 8) ||
      !isWritable(nodeMap, sizeof *nodeMap))
    return ZEL_BAD_PARAM();
  *device = 0;
  *nodeMap = nullptr;
  if (invalidHandle32(*transport)) return ZEL_EXTENDED(GDEV_ERR_INVALID_ADDRESS, *transport);
  if (invalidHandle32(*deviceAddress)) return ZEL_EXTENDED(GDEV_ERR_INVALID_ADDRESS, *deviceAddress);
  Library& lib = call.lib();
  std::lock_guard<std::timed_mutex> tableLock(lib.tableMutex);
  lib.pendingStreamError = 0;
  std::size_t slot = kDeviceTableSize;
  for (std::size_t i = 0; i < kDeviceTableSize && slot == kDeviceTableSize; ++i)
    if (!lib.table[i]) slot = i;
  if (slot == kDeviceTableSize) return ZEL_EXTENDED(GDEV_ERR_TABLE_FULL, 0);

  auto dev = std::make_shared<DeviceObject>();
  TransportResult r = lib.transport->open(*transport, *deviceAddress, dev->id);
  if (!r.ok()) return ZEL_FAIL(r);
  bool controlTaken = false;
  auto undo = [&] { teardown(lib, *dev, controlTaken); };

  Transport* t = lib.transport.get();
  Trace* trace = lib.trace.get();
  uint64_t id = dev->id;
  // Port accesses of the node map are traced: address, length, status.
  auto tracePort = [trace, id](uint8_t function, uint32_t address, uint32_t length, const TransportResult& r) {
    uint32_t words[3] = {address, length, r.status};
    trace->writeHandle(traceEvent(function, kStepDetail), id, words, sizeof words);
  };
  PortAccess port;
  port.read = [t, id, tracePort](uint32_t address, void* out, uint32_t length) {
    TransportResult r = t->readMemory(id, address, out, length);
    tracePort(kTrPortRead, address, length, r);
    return r;
  };
  port.write = [t, id, tracePort](uint32_t address, const void* data, uint32_t length) {
    uint32_t written = 0;
    TransportResult r = t->writeMemory(id, address, data, length, written);
    tracePort(kTrPortWrite, address, length, r);
    return r;
  };
  auto readPort = [&](uint32_t address, void* out, uint32_t length) {
    TransportResult pr = port.read(address, out, length);
    if (!pr.ok()) throw pr;
  };

  bool removeFolder = false;
  std::string folder = makeXmlFolder(lib.settings, removeFolder);
  if (folder.empty()) {
    undo();
    return ZEL_EXTENDED(GDEV_ERR_XML_WRITE, uint32_t(errno));
  }
  // Where the description goes: a person looking at the trace finds the
  // files kept by "XMLNoErase" here.
  call.trace().writeHandle(traceEvent(kTrOpen, kStepDetail), dev->id, folder.data(), folder.size());
  auto cleanFiles = [&] {
    if (lib.settings.xmlNoErase) return;
    std::remove((folder + "/" + kXmlFileName).c_str());
    std::remove((folder + "/" + kZipFileName).c_str());
    if (removeFolder) rmdir(folder.c_str());
  };

  // A port failure while the XML is located or read closes the device and
  // reaches the caller as the transport's status and detail words.
  try {
    if (!lib.settings.xmlUseLocal) {
      TransportResult fetched;
      for (uint32_t urlRegister : {0x0200u, 0x0400u}) {
        char url[512];
        readPort(urlRegister, url, sizeof url);
        fetched = fetchXml(parseXmlLocation(url, sizeof url), readPort, folder);
        if (fetched.ok()) break;
      }
      if (!fetched.ok()) {
        cleanFiles();
        undo();
        return ZEL_FAIL(fetched);
      }
    }
  } catch (const TransportResult& failure) {
    cleanFiles();
    undo();
    return ZEL_FAIL(failure);
  }

  std::vector<uint8_t> xml;
  bool haveXml = readFile(folder + "/" + kXmlFileName, xml);
  cleanFiles();
  if (!haveXml) {
    undo();
    return ZEL_EXTENDED(GDEV_ERR_XML_LOCATION, 0);
  }
  uint32_t privilege = lib.settings.defaultCcp;
  try {
    dev->nodeMap = std::make_unique<NodeMap>(xml, port);
    if (dev->nodeMap->hasNode("GevCCP"))
      privilege = chooseControlPrivilege(dev->nodeMap->enumEntries("GevCCP"), lib.settings.defaultCcp);
  } catch (const GDevExceptionI& e) {
    undo();
    return ZEL_FAIL((TransportResult{e.code(), e.info(), e.info2()}));
  } catch (const GDevException&) {
    // The file is there but is not a GenICam description we can load.
    undo();
    return ZEL_EXTENDED(GDEV_ERR_XML_LOCATION, 0);
  }

  r = lib.transport->takeControl(dev->id, privilege);
  if (!r.ok()) {
    undo();
    return ZEL_FAIL(r);
  }
  controlTaken = true;
  std::vector<std::pair<uint32_t, uint32_t>> streams;
  r = lib.transport->listStreams(dev->id, streams);
  if (!r.ok()) {
    undo();
    return ZEL_FAIL(r);
  }
  if (streams.size() > kMaxStreamChannels) streams.resize(kMaxStreamChannels);
  for (auto [key, channel] : streams) {
    auto s = std::make_unique<StreamRecord>();
    s->key = key;
    s->channel = channel;
    dev->streams.push_back(std::move(s));
  }
  dev->receiver = std::thread(receiveLoop, &lib, dev);
  lib.table[slot] = dev;
  *device = dev->id;
  *nodeMap = dev->nodeMap.get();
  return ZEL_DONE_OK();
}

uint32_t GDevClose(uint64_t device, GDevErrInfo* err) {
  Call call(kTrClose, err);
  if (!call.begin(device, nullptr, 0)) return ZEL_BAD_PARAM();
  Library& lib = call.lib();
  std::lock_guard<std::timed_mutex> tableLock(lib.tableMutex);
  for (auto& entry : lib.table) {
    if (!entry || entry->id != device || device == 0) continue;
    std::shared_ptr<DeviceObject> dev = std::move(entry);
    teardown(lib, *dev, true);
    return ZEL_DONE_OK();
  }
  return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
}

uint32_t GDevEnumStream(uint64_t device, uint32_t* keys, uint32_t capacity, uint32_t* count, GDevErrInfo* err) {
  Call call(kTrEnumStream, err);
  if (!call.begin(device, &capacity, 4)) return ZEL_BAD_PARAM();
  if (!isWritable(count, 4) || (capacity && !isWritable(keys, std::size_t(capacity) * 4))) return ZEL_BAD_PARAM();
  *count = 0;
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  for (std::size_t i = 0; i < dev->streams.size() && i < capacity; ++i) keys[i] = dev->streams[i]->key;
  *count = uint32_t(dev->streams.size());
  return ZEL_DONE_OK();
}

}  // extern "C"

namespace {

// The common shape of the per-stream calls: look up device and stream, then
// run the transport call on the stream's channel.
template <typename F>
uint32_t onStream(Call& call, uint64_t device, uint32_t key, F&& f) {
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  StreamRecord* s = dev->stream(key);
  if (!s) return ZEL_EXTENDED(GDEV_ERR_UNKNOWN_STREAM, key);
  TransportResult r = f(*dev, *s);
  return r.ok() ? ZEL_DONE_OK() : ZEL_FAIL(r);
}

}  // namespace

extern "C" {

uint32_t GDevQueBuffer(uint64_t device, uint32_t key, void* buffer, uint32_t size, GDevErrInfo* err) {
  Call call(kTrQueBuffer, err);
  uint64_t args[2] = {reinterpret_cast<uintptr_t>(buffer), size};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  if (size == 0 || !isWritable(buffer, size)) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    std::memset(buffer, 0, size);
    return call.lib().transport->queueBuffer(d.id, s.channel, buffer, size);
  });
}

uint32_t GDevFlushBuffer(uint64_t device, uint32_t key, GDevErrInfo* err) {
  Call call(kTrFlushBuffer, err);
  if (!call.begin(device, &key, 4)) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    TransportResult r = call.lib().transport->flushBuffers(d.id, s.channel);
    // Completions of withdrawn buffers must not be handed out later.
    std::lock_guard<std::mutex> lock(d.queueMutex);
    s.queue.clear();
    return r;
  });
}

uint32_t GDevStartStream(uint64_t device, uint32_t key, GDevErrInfo* err) {
  Call call(kTrStartStream, err);
  if (!call.begin(device, &key, 4)) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    return call.lib().transport->startStream(d.id, s.channel, 0);
  });
}

uint32_t GDevStartStreamEx(uint64_t device, uint32_t key, uint32_t parameter, GDevErrInfo* err) {
  Call call(kTrStartStreamEx, err);
  uint32_t args[2] = {key, parameter};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    return call.lib().transport->startStream(d.id, s.channel, parameter);
  });
}

uint32_t GDevSetFrameTopRecvNotify(uint64_t device, uint32_t key, uint32_t setting, GDevErrInfo* err) {
  Call call(kTrFrameTopNotify, err);
  uint32_t args[2] = {key, setting};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    return call.lib().transport->setFrameTopNotify(d.id, s.channel, setting);
  });
}

uint32_t GDevWaitStream(uint64_t device, const uint32_t* keys, uint32_t count, uint32_t* channel, void** buffer,
                        GDevErrInfo* err) {
  Call call(kTrWaitStream, err);
  if (!call.begin(device, &count, 4)) return ZEL_BAD_PARAM();
  if (!isWritable(channel, 4) || !isWritable(buffer, sizeof *buffer)) return ZEL_BAD_PARAM();
  if (count == 0 || (count <= kMaxWaitStreams && !isReadable(keys, std::size_t(count) * 4))) return ZEL_BAD_PARAM();
  *channel = 0;
  *buffer = nullptr;
  return waitStreams(call, device, keys, count, 0, true, channel, buffer, nullptr);
}

uint32_t GDevWaitStreamEx(uint64_t device, const uint32_t* keys, uint32_t count, uint32_t timeoutMs, uint32_t* channel,
                          void** buffer, uint32_t* extra, GDevErrInfo* err) {
  Call call(kTrWaitStreamEx, err);
  uint32_t args[2] = {count, timeoutMs};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  if (!isWritable(channel, 4) || !isWritable(buffer, sizeof *buffer) || !isWritable(extra, 4)) return ZEL_BAD_PARAM();
  if (count == 0 || (count <= kMaxWaitStreams && !isReadable(keys, std::size_t(count) * 4))) return ZEL_BAD_PARAM();
  *channel = 0;
  *buffer = nullptr;
  *extra = 0;
  return waitStreams(call, device, keys, count, timeoutMs, false, channel, buffer, extra);
}

uint32_t GDevCancelStream(uint64_t device, uint32_t key, GDevErrInfo* err) {
  Call call(kTrCancelStream, err);
  if (!call.begin(device, &key, 4)) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    std::lock_guard<std::mutex> lock(d.queueMutex);
    s.cancel = true;
    d.queueChanged.notify_all();
    return TransportResult{};
  });
}

uint32_t GDevWaitEvent(uint64_t device, void* eventBuffer, uint32_t* length, GDevErrInfo* err) {
  Call call(kTrWaitEvent, err);
  if (!call.begin(device, nullptr, 0)) return ZEL_BAD_PARAM();
  if (!isWritable(eventBuffer, GDEV_EVENT_BUFFER_SIZE) || !isWritable(length, 4)) return ZEL_BAD_PARAM();
  std::memset(eventBuffer, 0, GDEV_EVENT_BUFFER_SIZE);
  *length = 0;
  return waitEvent(call, device, 0, eventBuffer, length);
}

uint32_t GDevWaitEventEx(uint64_t device, uint32_t timeoutMs, void* eventBuffer, uint32_t* length, GDevErrInfo* err) {
  Call call(kTrWaitEventEx, err);
  if (!call.begin(device, &timeoutMs, 4)) return ZEL_BAD_PARAM();
  if (!isWritable(eventBuffer, GDEV_EVENT_BUFFER_SIZE) || !isWritable(length, 4)) return ZEL_BAD_PARAM();
  std::memset(eventBuffer, 0, GDEV_EVENT_BUFFER_SIZE);
  *length = 0;
  return waitEvent(call, device, timeoutMs, eventBuffer, length);
}

uint32_t GDevCancelEvent(uint64_t device, GDevErrInfo* err) {
  Call call(kTrCancelEvent, err);
  if (!call.begin(device, nullptr, 0)) return ZEL_BAD_PARAM();
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  TransportResult r = call.lib().transport->cancelEvent(dev->id);
  return r.ok() ? ZEL_DONE_OK() : ZEL_FAIL(r);
}

uint32_t GDevDirectMemRead(uint64_t device, uint32_t address, void* buffer, uint32_t length, GDevErrInfo* err) {
  Call call(kTrMemRead, err);
  uint32_t args[2] = {address, length};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  if (length == 0 || !isWritable(buffer, length)) return ZEL_BAD_PARAM();
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  TransportResult r = call.lib().transport->readMemory(dev->id, address, buffer, length);
  if (!r.ok()) return ZEL_FAIL(r);
  call.trace().writeHandleCount(traceEvent(kTrMemRead, kStepDetail), device, length, buffer, length);
  return ZEL_DONE_OK();
}

uint32_t GDevDirectMemWrite(uint64_t device, uint32_t address, const void* buffer, uint32_t length, uint32_t* written,
                            GDevErrInfo* err) {
  Call call(kTrMemWrite, err);
  uint32_t args[2] = {address, length};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  if (length == 0 || !isReadable(buffer, length) || !isWritable(written, 4)) return ZEL_BAD_PARAM();
  *written = 0;
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  call.trace().writeHandleCount(traceEvent(kTrMemWrite, kStepDetail), device, length, buffer, length);
  TransportResult r = call.lib().transport->writeMemory(dev->id, address, buffer, length, *written);
  return r.ok() ? ZEL_DONE_OK() : ZEL_FAIL(r);
}

uint32_t GDevDirectRegRead(uint64_t device, const uint32_t* addresses, uint32_t* values, uint32_t count,
                           GDevErrInfo* err) {
  Call call(kTrRegRead, err);
  if (!call.begin(device, &count, 4)) return ZEL_BAD_PARAM();
  if (count == 0 || !isReadable(addresses, std::size_t(count) * 4) || !isWritable(values, std::size_t(count) * 4))
    return ZEL_BAD_PARAM();
  std::memset(values, 0, std::size_t(count) * 4);
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  TransportResult r = call.lib().transport->readRegisters(dev->id, addresses, values, count);
  if (!r.ok()) return ZEL_FAIL(r);
  call.trace().writeHandleCount(traceEvent(kTrRegRead, kStepDetail), device, count, values, std::size_t(count) * 4);
  return ZEL_DONE_OK();
}

uint32_t GDevDirectRegWrite(uint64_t device, const GDevRegPair* pairs, uint32_t count, uint32_t* written,
                            GDevErrInfo* err) {
  Call call(kTrRegWrite, err);
  if (!call.begin(device, &count, 4)) return ZEL_BAD_PARAM();
  if (count == 0 || !isReadable(pairs, std::size_t(count) * 8) || !isWritable(written, 4)) return ZEL_BAD_PARAM();
  *written = 0;
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  call.trace().writeHandleCount(traceEvent(kTrRegWrite, kStepDetail), device, count, pairs, std::size_t(count) * 8);
  TransportResult r =
      call.lib().transport->writeRegisters(dev->id, reinterpret_cast<const uint32_t*>(pairs), count, *written);
  return r.ok() ? ZEL_DONE_OK() : ZEL_FAIL(r);
}

uint32_t GDevGetParam(uint64_t device, uint32_t* value, GDevErrInfo* err) {
  Call call(kTrGetParam, err);
  if (!call.begin(device, nullptr, 0)) return ZEL_BAD_PARAM();
  if (!isWritable(value, 4)) return ZEL_BAD_PARAM();
  *value = 0;
  auto dev = call.lib().find(device);
  if (!dev) return call.done(GDEV_STATUS_INVALID_HANDLE, 0, 0, __LINE__);
  TransportResult r = call.lib().transport->getParam(dev->id, *value);
  return r.ok() ? ZEL_DONE_OK() : ZEL_FAIL(r);
}

uint32_t GDevBuffLock(uint64_t device, uint32_t key, void* buffer, GDevErrInfo* err) {
  Call call(kTrBuffLock, err);
  uint64_t args[2] = {key, reinterpret_cast<uintptr_t>(buffer)};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  if (!buffer) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    return call.lib().transport->lockBuffer(d.id, s.channel, buffer);
  });
}

uint32_t GDevBuffUnlock(uint64_t device, uint32_t key, void* buffer, GDevErrInfo* err) {
  Call call(kTrBuffUnlock, err);
  uint64_t args[2] = {key, reinterpret_cast<uintptr_t>(buffer)};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  if (!buffer) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    return call.lib().transport->unlockBuffer(d.id, s.channel, buffer);
  });
}

uint32_t GDevReAcquisition(uint64_t device, uint32_t key, uint32_t parameter1, uint32_t parameter2, GDevErrInfo* err) {
  Call call(kTrReAcquisition, err);
  uint32_t args[3] = {key, parameter1, parameter2};
  if (!call.begin(device, args, sizeof args)) return ZEL_BAD_PARAM();
  return onStream(call, device, key, [&](DeviceObject& d, StreamRecord& s) {
    TransportResult r = call.lib().transport->stopStream(d.id, s.channel);
    if (!r.ok()) return r;
    return call.lib().transport->reAcquisition(d.id, s.channel, parameter1, parameter2);
  });
}

uint32_t GDevGetVersion(uint32_t* version, uint32_t* transportMinor, uint32_t* transportBuild, GDevErrInfo* err) {
  Call call(kTrGetVersion, err);
  if (!call.begin(0, nullptr, 0)) return ZEL_BAD_PARAM();
  if (!isWritable(version, 4) || !isWritable(transportMinor, 4) || !isWritable(transportBuild, 4))
    return ZEL_BAD_PARAM();
  *version = GDEV_LIBRARY_VERSION;
  call.lib().transport->version(*transportMinor, *transportBuild);
  return ZEL_DONE_OK();
}

const GDevProc GDevOrdinalTable[26] = {
    nullptr,
    reinterpret_cast<GDevProc>(&GDevEnumDevice),
    reinterpret_cast<GDevProc>(&GDevFoceIP),
    reinterpret_cast<GDevProc>(&GDevOpen),
    reinterpret_cast<GDevProc>(&GDevClose),
    reinterpret_cast<GDevProc>(&GDevEnumStream),
    reinterpret_cast<GDevProc>(&GDevQueBuffer),
    reinterpret_cast<GDevProc>(&GDevFlushBuffer),
    reinterpret_cast<GDevProc>(&GDevStartStream),
    reinterpret_cast<GDevProc>(&GDevStartStreamEx),
    reinterpret_cast<GDevProc>(&GDevSetFrameTopRecvNotify),
    reinterpret_cast<GDevProc>(&GDevWaitStream),
    reinterpret_cast<GDevProc>(&GDevWaitStreamEx),
    reinterpret_cast<GDevProc>(&GDevCancelStream),
    reinterpret_cast<GDevProc>(&GDevWaitEvent),
    reinterpret_cast<GDevProc>(&GDevWaitEventEx),
    reinterpret_cast<GDevProc>(&GDevCancelEvent),
    reinterpret_cast<GDevProc>(&GDevDirectMemRead),
    reinterpret_cast<GDevProc>(&GDevDirectMemWrite),
    reinterpret_cast<GDevProc>(&GDevDirectRegRead),
    reinterpret_cast<GDevProc>(&GDevDirectRegWrite),
    reinterpret_cast<GDevProc>(&GDevGetParam),
    reinterpret_cast<GDevProc>(&GDevBuffLock),
    reinterpret_cast<GDevProc>(&GDevBuffUnlock),
    reinterpret_cast<GDevProc>(&GDevReAcquisition),
    reinterpret_cast<GDevProc>(&GDevGetVersion),
};

}  // extern "C"
