#include "ipc/ipc_client.h"

#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/logger.h"

namespace orvipc {

namespace {

constexpr int kAnswerTimeoutMs = 1000;  // the pipes' default time-out
constexpr std::size_t kDescriptionSize = 512;

const char* safe(const char* s) { return s ? s : ""; }

bool isLocalHost(const std::string& host) {
  if (host == ".") return true;
  char local[256] = {};
  if (::gethostname(local, sizeof local - 1) != 0) return false;
  return ::strcasecmp(local, host.c_str()) == 0;
}

std::int32_t dataInt(const std::uint8_t* msg) {
  std::int32_t v = 0;
  if (getLen(msg) >= sizeof v) std::memcpy(&v, msg + kHeaderSize, sizeof v);
  return v;
}

}  // namespace

IpcClient::IpcClient()
    : send_(new std::uint8_t[kMaxMessage]), reply_(new std::uint8_t[kMaxMessage]) {}

IpcClient::~IpcClient() {
  UnmapMemory(nullptr);
  disconnect();
  if (readThread_.joinable()) readThread_.join();
}

void IpcClient::setLog(std::uint32_t flags, const char* path) {
  diag::libraryLogger().setLog(flags, path);
  ZEL_LOG("%s: 0x%x [%s]\n", "IpcClient::setLog", flags, safe(path));
}

bool IpcClient::connect(const char* name) {
  if (readThread_.joinable()) {
    if (readThread_.get_id() == std::this_thread::get_id()) return false;  // from the callback
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
  bool reached = isLocalHost(host) && !dir.empty() && validServerName(base) &&
                 path.size() < sizeof addr.sun_path;
  if (reached) {
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    reached = fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
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
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    gone_ = false;
    stopped_ = false;
    replyArrived_ = false;
    awaiting_ = false;
  }
  const int raw = fd.get();
  {
    std::lock_guard<std::mutex> lock(requestMutex_);
    socket_ = std::move(fd);
  }
  stopping_ = false;
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
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stopped_ = true;
  }
  stateCv_.notify_all();
  stopping_ = true;
  {
    // The socket itself is closed only after the read thread and any
    // request stop using it.
    int fd = socket_.get();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  if (readThread_.joinable()) {
    // Called from the callback: the read thread ends when it returns and is
    // joined by the next connect or the destructor.
    if (readThread_.get_id() == std::this_thread::get_id()) return;
    readThread_.join();
  }
  {
    std::lock_guard<std::mutex> lock(requestMutex_);
    socket_.reset();
  }
  stopping_ = false;
}

void IpcClient::readLoop(int fd) {
  ZEL_LOG("[client] start thread_read...\n");
  FrameReader reader([fd](std::uint8_t* buf, std::size_t size) -> long {
    return ::recv(fd, buf, size, 0);
  });
  for (;;) {
    FrameReader::Result r = reader.next();
    if (stopping_) break;
    if (r != FrameReader::Result::kMessage) {
      if (r == FrameReader::Result::kError && reader.error() != ECONNRESET) {
        ZEL_LOG("[client] error: ReadFile[%u]\n", static_cast<unsigned>(reader.error()));
      } else if (r == FrameReader::Result::kTooLong) {
        ZEL_LOG("[client] error: len[%u] exceeds %u bytes\n", reader.badLen(),
                static_cast<unsigned>(kMaxData));
      } else if (r == FrameReader::Result::kTruncated) {
        ZEL_LOG("[client] error: message cut short\n");
      }
      ZEL_LOG("[client] disconnected\n");
      deliverDisconnect();
      break;
    }
    std::uint8_t* msg = reader.data();
    const std::size_t size = reader.size();
    const std::uint16_t id = getId(msg);
    ZEL_LOG("[client] id[%u] %u bytes received\n", static_cast<unsigned>(id),
            static_cast<unsigned>(size));
    if (IIpcCallback* cb = callback_.load()) {
      msg[kNameOffset + kNameField - 1] = 0;
      cb->onMessage(id, getOp(msg), reinterpret_cast<const char*>(msg + kNameOffset), getType(msg),
                    reinterpret_cast<std::int32_t*>(msg + kStatusOffset), msg + kHeaderSize,
                    reinterpret_cast<std::int32_t*>(msg + kLenOffset));
    }
    ZEL_LOG("[client] id[%u] ReadEvent signaled\n", static_cast<unsigned>(id));
    // Only the reply to the waiting request completes it: a notification or
    // the late reply of a request sent without waiting must not be taken
    // for it.
    if (getOp(msg) == 'R') {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (awaiting_ && !replyArrived_ && id == awaitedId_) {
        std::memcpy(reply_.get(), msg, size);
        // The callback may have written the len field: keep what arrived.
        setLen(reply_.get(), static_cast<std::uint32_t>(size - kHeaderSize));
        replyArrived_ = true;
        stateCv_.notify_all();
      }
    }
  }
  ZEL_LOG("[client] end of thread_read.\n");
}

void IpcClient::deliverDisconnect() {
  if (IIpcCallback* cb = callback_.load()) {
    std::int32_t status = 0;
    std::int32_t value = 0;
    std::int32_t len = 4;
    cb->onMessage(disconnectCounter_++, 'Q', "", 'I', &status, &value, &len);
  }
  ZEL_LOG("[client] id[%u] ReadEvent signaled\n", static_cast<unsigned>(disconnectCounter_ - 1));
  std::lock_guard<std::mutex> lock(stateMutex_);
  gone_ = true;
  stateCv_.notify_all();
}

IpcClient::Outcome IpcClient::request(const char* description, char op, char type,
                                      const char* name, const void* data, std::uint32_t len,
                                      int wait) {
  ZEL_LOG("%s >>>\n", description);
  const auto id = static_cast<std::uint16_t>(counter_++);
  putHeader(send_.get(), id, op, type, name, 0, len);
  if (len > 0) std::memcpy(send_.get() + kHeaderSize, data, len);
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    awaiting_ = wait != 0;
    awaitedId_ = id;
    replyArrived_ = false;
  }
  if (!socket_ || !sendAll(socket_.get(), send_.get(), kHeaderSize + len)) {
    ZEL_LOG("[client] error: WriteFile\n");
    std::lock_guard<std::mutex> lock(stateMutex_);
    awaiting_ = false;
    return Outcome::kFailed;
  }
  if (wait == 0) return Outcome::kSent;
  ZEL_LOG("[client] wait...\n");
  std::unique_lock<std::mutex> lock(stateMutex_);
  stateCv_.wait(lock, [this] { return replyArrived_ || gone_ || stopped_; });
  awaiting_ = false;
  if (!replyArrived_) {
    // Disconnected (by this side or by the server) before the reply came.
    lock.unlock();
    ZEL_LOG("[client] error: wait_event\n");
    return Outcome::kFailed;
  }
  replyArrived_ = false;
  lock.unlock();
  ZEL_LOG("[client] wait...done\n");
  return Outcome::kReplied;
}

#define ORV_DESCRIBE(...)                           \
  char description[kDescriptionSize];               \
  std::snprintf(description, sizeof description, __VA_ARGS__)

std::int32_t IpcClient::getInt(const char* name, int* ok, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] getInt wait[%d]", safe(name), wait);
  Outcome o = request(description, 'G', 'I', name, nullptr, 0, wait);
  std::int32_t value = 0;
  int success = o == Outcome::kSent ? 1 : 0;
  if (o == Outcome::kReplied && getStatus(reply_.get()) != 0) {
    value = dataInt(reply_.get());
    success = 1;
  }
  if (ok) *ok = success;
  ZEL_LOG("%s <<<\n", description);
  return value;
}

float IpcClient::getFloat(const char* name, int* ok, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] getFloat wait[%d]", safe(name), wait);
  Outcome o = request(description, 'G', 'F', name, nullptr, 0, wait);
  float value = 0;
  int success = o == Outcome::kSent ? 1 : 0;
  if (o == Outcome::kReplied && getStatus(reply_.get()) != 0) {
    if (getLen(reply_.get()) >= sizeof value) std::memcpy(&value, reply_.get() + kHeaderSize, sizeof value);
    success = 1;
  }
  if (ok) *ok = success;
  ZEL_LOG("%s <<<\n", description);
  return value;
}

double IpcClient::getDouble(const char* name, int* ok, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] getDouble wait[%d]", safe(name), wait);
  Outcome o = request(description, 'G', 'D', name, nullptr, 0, wait);
  double value = 0;
  int success = o == Outcome::kSent ? 1 : 0;
  if (o == Outcome::kReplied && getStatus(reply_.get()) != 0) {
    if (getLen(reply_.get()) >= sizeof value) std::memcpy(&value, reply_.get() + kHeaderSize, sizeof value);
    success = 1;
  }
  if (ok) *ok = success;
  ZEL_LOG("%s <<<\n", description);
  return value;
}

int IpcClient::getData(const char* name, void* dest, int destSize, int* received, int* ok,
                       int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] getData wait[%d]", safe(name), wait);
  Outcome o = request(description, 'G', 'A', name, nullptr, 0, wait);
  int copied = 0;
  int success = o == Outcome::kSent ? 1 : 0;
  if (o == Outcome::kSent && received) *received = 0;
  if (o == Outcome::kReplied && getStatus(reply_.get()) != 0) {
    std::uint32_t len = getLen(reply_.get());  // at most kMaxData, checked on arrival
    std::uint32_t room = dest && destSize > 0 ? static_cast<std::uint32_t>(destSize) : 0u;
    std::uint32_t n = len < room ? len : room;
    if (n > 0) std::memcpy(dest, reply_.get() + kHeaderSize, n);
    copied = static_cast<int>(n);
    if (received) *received = copied;
    success = 1;
  }
  if (ok) *ok = success;
  ZEL_LOG("%s <<<\n", description);
  return copied;
}

bool IpcClient::setInt(const char* name, std::int32_t value, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] setInt[%d] wait[%d]", safe(name), value, wait);
  Outcome o = request(description, 'S', 'I', name, &value, sizeof value, wait);
  bool result = o == Outcome::kSent || (o == Outcome::kReplied && getStatus(reply_.get()) != 0);
  ZEL_LOG("%s <<<\n", description);
  return result;
}

bool IpcClient::setFloat(const char* name, float value, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] setFloat[%f] wait[%d]", safe(name), static_cast<double>(value), wait);
  Outcome o = request(description, 'S', 'F', name, &value, sizeof value, wait);
  bool result = o == Outcome::kSent || (o == Outcome::kReplied && getStatus(reply_.get()) != 0);
  ZEL_LOG("%s <<<\n", description);
  return result;
}

bool IpcClient::setDouble(const char* name, double value, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] setDouble[%f] wait[%d]", safe(name), value, wait);
  Outcome o = request(description, 'S', 'D', name, &value, sizeof value, wait);
  bool result = o == Outcome::kSent || (o == Outcome::kReplied && getStatus(reply_.get()) != 0);
  ZEL_LOG("%s <<<\n", description);
  return result;
}

bool IpcClient::setData(const char* name, const void* data, int size, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] setData : size[%d] wait[%d]", safe(name), size, wait);
  if (size < 0 || static_cast<std::size_t>(size) > kMaxData || (size > 0 && !data)) {
    ZEL_LOG("[client] error: setData size[%d] out of range (0..%u)\n", size,
            static_cast<unsigned>(kMaxData));
    return false;
  }
  Outcome o = request(description, 'S', 'A', name, data, static_cast<std::uint32_t>(size), wait);
  bool result = o == Outcome::kSent || (o == Outcome::kReplied && getStatus(reply_.get()) != 0);
  ZEL_LOG("%s <<<\n", description);
  return result;
}

bool IpcClient::setCmd(const char* name, int wait) {
  std::lock_guard<std::mutex> guard(requestMutex_);
  ORV_DESCRIBE("[client] cmd[%s] setCmd wait[%d]", safe(name), wait);
  Outcome o = request(description, 'C', 'I', name, nullptr, 0, wait);
  bool result = o == Outcome::kSent || (o == Outcome::kReplied && getStatus(reply_.get()) != 0);
  ZEL_LOG("%s <<<\n", description);
  return result;
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
  void* view = block->view();
  {
    std::lock_guard<std::mutex> lock(blocksMutex_);
    blocks_.push_back(std::move(block));
  }
  ZEL_LOG("[client] MapMemory OK.\n");
  return view;
}

void IpcClient::UnmapMemory(void* view) {
  std::lock_guard<std::mutex> lock(blocksMutex_);
  if (!view) {
    blocks_.clear();
    return;
  }
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if ((*it)->view() == view) {
      blocks_.erase(it);
      return;
    }
  }
}

}  // namespace orvipc
