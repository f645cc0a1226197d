#include "ipc/ipc_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "diag/logger.h"
#include "platform/text.h"

namespace orvipc {

namespace {

constexpr int kAnswerTimeoutMs = 1000;  // the pipes' default time-out
constexpr std::size_t kDescriptionSize = 512;
// How long the read thread stays away while a request reads its reply:
// this also bounds how late a notification that follows a reply is seen.
constexpr std::chrono::microseconds kInFlightPauseMin{200};
constexpr std::chrono::microseconds kInFlightPauseMax{5000};

const char* safe(const char* s) { return s ? s : ""; }

bool isLocalHost(const std::string& host) {
  if (host == ".") return true;
  char local[256] = {};
  if (::gethostname(local, sizeof local - 1) != 0) return false;
  return platform::equalsNoCase(local, host);
}

}  // namespace

IpcClient::IpcClient() : send_(new std::uint8_t[kHeaderSize]) {}

IpcClient::~IpcClient() {
  UnmapMemory(nullptr);
  disconnect();
  if (readThread_.joinable()) readThread_.join();
}

void IpcClient::setLog(std::uint32_t flags, const char* path) {
  diag::libraryLogger().setLog(flags, path);
  ZEL_LOG("%s: 0x%x [%s]\n", "IpcClient::setLog", flags, safe(path));
}

bool IpcClient::onCallbackThread() const { return callbackThread_.load() == std::this_thread::get_id(); }

bool IpcClient::connect(const char* name) {
  if (readThread_.joinable() || socket_) {
    if (onCallbackThread()) return false;  // from inside the callback
    disconnect();
    if (readThread_.joinable()) readThread_.join();
  }
  std::string text = safe(name);
  std::string host = ".";
  std::string base = text;
  if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
    std::size_t slash = text.find('\\', 2);
    host = text.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    base = slash == std::string::npos ? std::string() : text.substr(slash + 1);
  }
  host.resize(std::min<std::size_t>(host.size(), 259));
  base.resize(std::min<std::size_t>(base.size(), 259));

  // Servers are reached on this machine only: another host's name fails as
  // an unreachable pipe would.
  const std::string dir = ipcDir();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir + "/" + base;
  Fd fd;
  bool reached = isLocalHost(host) && !dir.empty() && validServerName(base) && path.size() < sizeof addr.sun_path;
  if (reached) {
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // A server that stopped accepting must not hold connect for ever.
    timeval limit{kAnswerTimeoutMs / 1000, (kAnswerTimeoutMs % 1000) * 1000};
    if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    reached = fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    timeval none{0, 0};
    if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  }
  char answer = 0;
  if (reached) {
    reached = waitReadable(fd.get(), kAnswerTimeoutMs) && ::recv(fd.get(), &answer, 1, 0) == 1 &&
              (answer == kAccepted || answer == kBusy);
  }
  if (!reached) {
    ZEL_LOG("[client] error: failed to connect named pipe\n");
    return false;
  }
  if (answer == kBusy) {
    ZEL_LOG("[client] error: no more connections\n");
    return false;
  }
  const int raw = fd.get();
  {
    std::lock_guard<std::mutex> request(requestMutex_);
    std::lock_guard<std::mutex> read(readMutex_);
    socket_ = std::move(fd);
    readFd_ = raw;
    reader_ = std::make_unique<FrameReader>([this, raw](std::uint8_t* buf, std::size_t size) -> long {
      return ::recv(raw, buf, size, nonblocking_ ? MSG_DONTWAIT : 0);
    });
    gone_ = false;
    stopping_ = false;
  }
  try {
    readThread_ = std::thread(&IpcClient::readLoop, this, raw);
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> lock(requestMutex_);
    socket_.reset();
    return false;
  }
  return true;
}

void IpcClient::disconnect() {
  stopping_ = true;
  // Wakes the read thread and a waiting request; the socket itself is
  // closed only after both stop using it.
  if (int fd = socket_.get(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
  // From inside the callback the thread that reads cannot be waited for:
  // it ends when the callback returns and is joined by the next connect or
  // the destructor.
  if (onCallbackThread()) return;
  if (readThread_.joinable()) readThread_.join();
  {
    std::lock_guard<std::mutex> lock(requestMutex_);
    socket_.reset();
  }
  stopping_ = false;
}

void IpcClient::dispatch(std::uint8_t* msg, std::size_t size) {
  const std::uint16_t id = getId(msg);
  ZEL_LOG("[client] id[%u] %u bytes received\n", static_cast<unsigned>(id), static_cast<unsigned>(size));
  if (IIpcCallback* cb = callback_.load()) {
    msg[kNameOffset + kNameField - 1] = 0;
    callbackThread_ = std::this_thread::get_id();
    cb->onMessage(id, getOp(msg), reinterpret_cast<const char*>(msg + kNameOffset), getType(msg),
                  reinterpret_cast<std::int32_t*>(msg + kStatusOffset), msg + kHeaderSize,
                  reinterpret_cast<std::int32_t*>(msg + kLenOffset));
    callbackThread_ = std::thread::id();
  }
  ZEL_LOG("[client] id[%u] ReadEvent signaled\n", static_cast<unsigned>(id));
}

IpcClient::Received IpcClient::receiveOne(bool block) {
  if (gone_) return Received::kGone;
  nonblocking_ = !block;
  FrameReader::Result r = reader_->next();
  if (stopping_) return Received::kStopped;
  if (r == FrameReader::Result::kWouldBlock) return Received::kNothing;
  if (r != FrameReader::Result::kMessage) {
    if (r == FrameReader::Result::kError && reader_->error() != ECONNRESET) {
      ZEL_LOG("[client] error: ReadFile[%u]\n", static_cast<unsigned>(reader_->error()));
    } else if (r == FrameReader::Result::kTooLong) {
      ZEL_LOG("[client] error: len[%u] exceeds %u bytes\n", reader_->badLen(), static_cast<unsigned>(kMaxData));
    } else if (r == FrameReader::Result::kTruncated) {
      ZEL_LOG("[client] error: message cut short\n");
    }
    ZEL_LOG("[client] disconnected\n");
    // After a broken message the stream cannot be followed: the server is
    // told at once that this connection is over.
    ::shutdown(readFd_, SHUT_RDWR);
    deliverDisconnect();
    return Received::kGone;
  }
  dispatch(reader_->data(), reader_->size());
  return Received::kMessage;
}

void IpcClient::deliverDisconnect() {
  const std::uint16_t id = disconnectCounter_++;
  if (IIpcCallback* cb = callback_.load()) {
    std::int32_t status = 0;
    std::int32_t value = 0;
    std::int32_t len = 4;
    callbackThread_ = std::this_thread::get_id();
    cb->onMessage(id, 'Q', "", 'I', &status, &value, &len);
    callbackThread_ = std::thread::id();
  }
  ZEL_LOG("[client] id[%u] ReadEvent signaled\n", static_cast<unsigned>(id));
  gone_ = true;
}

void IpcClient::readLoop(int fd) {
  ZEL_LOG("[client] start thread_read...\n");
  auto pause = kInFlightPauseMin;
  for (;;) {
    if (stopping_ || gone_) break;
    // While a request reads its own reply, stay away from the socket and
    // from the token: taking turns on every reply would cost each round
    // trip a wake-up. Back off a little at a time.
    if (requestReading_) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kInFlightPauseMax);
      continue;
    }
    pause = kInFlightPauseMin;
    if (!waitReadable(fd, -1)) break;
    std::unique_lock<std::mutex> token(readMutex_, std::try_to_lock);
    if (!token.owns_lock()) continue;  // a request took it meanwhile
    // Gives the token up as soon as a request wants it, so that a stream
    // of notifications cannot starve requests.
    Received got = Received::kMessage;
    while (got == Received::kMessage && !requestReading_) got = receiveOne(false);
    if (got == Received::kGone || got == Received::kStopped) break;
  }
  ZEL_LOG("[client] end of thread_read.\n");
}

IpcClient::Outcome IpcClient::request(const char* description, char op, char type, const char* name, const void* data,
                                      std::uint32_t len, int wait, const Evaluate& evaluate) {
  ZEL_LOG("%s >>>\n", description);
  const auto id = static_cast<std::uint16_t>(counter_++);
  putHeader(send_.get(), id, op, type, name, 0, len);
  // Taken before sending, so that the read thread cannot take the reply.
  // The hint goes down after the token is given back (declared first).
  struct ReadingHint {
    std::atomic<bool>* flag = nullptr;
    ~ReadingHint() {
      if (flag) *flag = false;
    }
  } hint;
  std::unique_lock<std::mutex> token(readMutex_, std::defer_lock);
  if (wait != 0) {
    requestReading_ = true;
    hint.flag = &requestReading_;
    token.lock();
  }
  if (!socket_ || !sendAll(socket_.get(), send_.get(), kHeaderSize, data, len)) {
    ZEL_LOG("[client] error: WriteFile\n");
    return Outcome::kFailed;
  }
  if (wait == 0) return Outcome::kSent;
  ZEL_LOG("[client] wait...\n");
  for (;;) {
    Received got = receiveOne(true);
    if (got != Received::kMessage) {
      // Disconnected (by this side or by the server) before the reply came.
      ZEL_LOG("[client] error: wait_event\n");
      return Outcome::kFailed;
    }
    // Only this request's reply completes it: a notification or the late
    // reply of a request sent without waiting must not be taken for it.
    const std::uint8_t* msg = reader_->data();
    if (getOp(msg) == 'R' && getId(msg) == id) break;
  }
  ZEL_LOG("[client] wait...done\n");
  // The callback may have rewritten the len field: the size received holds.
  evaluate(getStatus(reader_->data()), reader_->data() + kHeaderSize,
           static_cast<std::uint32_t>(reader_->size() - kHeaderSize));
  return Outcome::kReplied;
}

// Requests from inside the callback are refused: the thread that delivers
// messages is this one, and it may hold the locks the request needs, so the
// request could never end.
#define ORV_REQUEST_LOCK(failure)                                  \
  if (onCallbackThread()) {                                        \
    ZEL_LOG("[client] error: request from inside the callback\n"); \
    return failure;                                                \
  }                                                                \
  std::lock_guard<std::mutex> guard(requestMutex_)

#define ORV_DESCRIBE(...)             \
  char description[kDescriptionSize]; \
  std::snprintf(description, sizeof description, __VA_ARGS__)

namespace {

// A fixed-size value from a reply that carries at least its size.
template <typename T>
void takeValue(std::int32_t status, const std::uint8_t* data, std::uint32_t len, T* value, int* success) {
  if (status == 0) return;
  if (len >= sizeof(T)) std::memcpy(value, data, sizeof(T));
  *success = 1;
}

}  // namespace

template <typename T>
T IpcClient::getValue(const char* operation, char type, const char* name, int* ok, int wait) {
  ORV_REQUEST_LOCK((ok ? * ok = 0 : 0, T{}));
  ORV_DESCRIBE("[client] cmd[%s] %s wait[%d]", safe(name), operation, wait);
  T value{};
  int success = 0;
  Outcome o = request(description, 'G', type, name, nullptr, 0, wait,
                      [&](std::int32_t status, const std::uint8_t* data, std::uint32_t len) {
                        takeValue(status, data, len, &value, &success);
                      });
  if (o == Outcome::kSent) success = 1;
  if (ok) *ok = success;
  ZEL_LOG("%s <<<\n", description);
  return value;
}

std::int32_t IpcClient::getInt(const char* name, int* ok, int wait) {
  return getValue<std::int32_t>("getInt", 'I', name, ok, wait);
}

float IpcClient::getFloat(const char* name, int* ok, int wait) {
  return getValue<float>("getFloat", 'F', name, ok, wait);
}

double IpcClient::getDouble(const char* name, int* ok, int wait) {
  return getValue<double>("getDouble", 'D', name, ok, wait);
}

int IpcClient::getData(const char* name, void* dest, int destSize, int* received, int* ok, int wait) {
  ORV_REQUEST_LOCK((ok ? * ok = 0 : 0, 0));
  ORV_DESCRIBE("[client] cmd[%s] getData wait[%d]", safe(name), wait);
  int copied = 0;
  int success = 0;
  Outcome o = request(description, 'G', 'A', name, nullptr, 0, wait,
                      [&](std::int32_t status, const std::uint8_t* data, std::uint32_t len) {
                        if (status == 0) return;
                        // Never more than the destination holds.
                        std::uint32_t room = dest && destSize > 0 ? static_cast<std::uint32_t>(destSize) : 0u;
                        std::uint32_t n = len < room ? len : room;
                        if (n > 0) std::memcpy(dest, data, n);
                        copied = static_cast<int>(n);
                        if (received) *received = copied;
                        success = 1;
                      });
  if (o == Outcome::kSent) {
    success = 1;
    if (received) *received = 0;
  }
  if (ok) *ok = success;
  ZEL_LOG("%s <<<\n", description);
  return copied;
}

namespace {

bool setResult(IpcClient::Outcome o, std::int32_t status) {
  return o == IpcClient::Outcome::kSent || (o == IpcClient::Outcome::kReplied && status != 0);
}

}  // namespace

template <typename T>
bool IpcClient::setValue(const char* operation, char type, const char* name, T value, int wait) {
  ORV_REQUEST_LOCK(false);
  // The value as the log shows it: "%d" for an int, "%f" for float and double.
  char shown[384];  // "%f" of the largest double is 317 characters
  if constexpr (std::is_integral_v<T>) {
    std::snprintf(shown, sizeof shown, "%d", static_cast<int>(value));
  } else {
    std::snprintf(shown, sizeof shown, "%f", static_cast<double>(value));
  }
  ORV_DESCRIBE("[client] cmd[%s] %s[%s] wait[%d]", safe(name), operation, shown, wait);
  std::int32_t status = 0;
  Outcome o = request(description, 'S', type, name, &value, sizeof value, wait,
                      [&](std::int32_t s, const std::uint8_t*, std::uint32_t) { status = s; });
  ZEL_LOG("%s <<<\n", description);
  return setResult(o, status);
}

bool IpcClient::setInt(const char* name, std::int32_t value, int wait) {
  return setValue<std::int32_t>("setInt", 'I', name, value, wait);
}

bool IpcClient::setFloat(const char* name, float value, int wait) {
  return setValue<float>("setFloat", 'F', name, value, wait);
}

bool IpcClient::setDouble(const char* name, double value, int wait) {
  return setValue<double>("setDouble", 'D', name, value, wait);
}

bool IpcClient::setData(const char* name, const void* data, int size, int wait) {
  ORV_REQUEST_LOCK(false);
  ORV_DESCRIBE("[client] cmd[%s] setData : size[%d] wait[%d]", safe(name), size, wait);
  if (size < 0 || static_cast<std::size_t>(size) > kMaxData || (size > 0 && !data)) {
    ZEL_LOG("[client] error: setData size[%d] out of range (0..%u)\n", size, static_cast<unsigned>(kMaxData));
    return false;
  }
  std::int32_t status = 0;
  Outcome o = request(description, 'S', 'A', name, data, static_cast<std::uint32_t>(size), wait,
                      [&](std::int32_t s, const std::uint8_t*, std::uint32_t) { status = s; });
  ZEL_LOG("%s <<<\n", description);
  return setResult(o, status);
}

bool IpcClient::setCmd(const char* name, int wait) {
  ORV_REQUEST_LOCK(false);
  ORV_DESCRIBE("[client] cmd[%s] setCmd wait[%d]", safe(name), wait);
  std::int32_t status = 0;
  Outcome o = request(description, 'C', 'I', name, nullptr, 0, wait,
                      [&](std::int32_t s, const std::uint8_t*, std::uint32_t) { status = s; });
  ZEL_LOG("%s <<<\n", description);
  return setResult(o, status);
}

void IpcClient::setCallback(IIpcCallback* callback) { callback_ = callback; }

void IpcClient::clearCallback() { callback_ = nullptr; }

void* IpcClient::MapMemory(const char* name) {
  const char* stage = "";
  int error = 0;
  auto block = SharedBlock::open(safe(name), &stage, &error);
  if (!block) {
    ZEL_LOG("[client] error: %s [%u]\n)", stage, static_cast<unsigned>(error));
    return nullptr;
  }
  void* view = blocks_.add(std::move(block));
  ZEL_LOG("[client] MapMemory OK.\n");
  return view;
}

void IpcClient::UnmapMemory(void* view) { blocks_.release(view); }

}  // namespace orvipc
