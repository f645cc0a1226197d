#include "ipc/ipc_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "diag/logger.h"
#include "platform/owner_guard.h"

namespace orvipc {

namespace {

constexpr int kSendTimeoutMs = 1000;  // a client that stops reading loses its connection

bool socketAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Frees a callback object the application's create() returned: plain
// deallocation, no destructor.
void freeCallback(IIpcCallback* callback) { ::operator delete(static_cast<void*>(callback)); }

}  // namespace

IpcServer::IpcServer() = default;

IpcServer::~IpcServer() {
  releaseSharedMemory(nullptr);
  stop();
}

void IpcServer::setLog(std::uint32_t flags, const char* path) {
  diag::libraryLogger().setLog(flags, path);
  ZEL_LOG("%s: 0x%x [%s]\n", "IpcServer::setLog", flags, path ? path : "");
}

void IpcServer::setCallback(IIpcCallback* callback) { callback_ = callback; }

bool IpcServer::start(const char* name, int maxConnections) {
  if (listenThread_.joinable()) stop();
  maxConnections_ = maxConnections;
  started_ = false;
  name_ = name ? std::string(name, ::strnlen(name, 259)) : std::string();
  {
    std::lock_guard<std::mutex> lock(readyMutex_);
    ready_ = false;
  }
  try {
    listenThread_ = std::thread(&IpcServer::listenLoop, this);
  } catch (const std::exception&) {
    return false;
  }
  {
    std::unique_lock<std::mutex> lock(readyMutex_);
    readyCv_.wait(lock, [this] { return ready_; });
  }
  if (!started_) stop();
  return started_;
}

void IpcServer::signalReady() {
  std::lock_guard<std::mutex> lock(readyMutex_);
  ready_ = true;
  readyCv_.notify_all();
}

void IpcServer::stop() {
  stopping_ = true;
  stopEvent_.set();
  if (listenThread_.joinable()) listenThread_.join();
  endAllConnections();
  started_ = false;
  stopEvent_.reset();
  stopping_ = false;
}

// The listen thread: takes the single-instance guard, opens the socket, then
// accepts clients until stop, turning clients away while every slot is taken.
void IpcServer::listenLoop() {
  const std::string dir = ipcDir();
  if (dir.empty()) {
    signalReady();
    return;
  }
  if (!validServerName(name_) || maxConnections_ < 1) {
    ZEL_LOG("[server] error: failed to creante named pipe\n");
    signalReady();
    return;
  }
  // Held for the server's life: the kernel drops it if the process dies, so
  // a crashed server never blocks the next start.
  std::unique_ptr<platform::OwnerGuard> guard = platform::OwnerGuard::acquire(dir + "/" + name_ + "_EVENT");
  if (!guard) {
    ZEL_LOG("[server] error: server process already running\n");
    signalReady();
    return;
  }
  const std::string path = dir + "/" + name_;
  Fd listener = openListener(path);
  if (!listener) {
    signalReady();
    ZEL_LOG("[server] error: failed to creante named pipe\n");
    return;
  }

  for (;;) {
    // Reset before counting: a connection that ends after the count sets
    // the event again and wakes the wait below.
    clientGone_.reset();
    removeFinished();
    if (activeCount() >= static_cast<unsigned>(maxConnections_)) {
      ZEL_LOG("[server] warning: server has reached maximum number of simultaneous connection\n");
      if (!waitForFreeSlot(listener.get())) {
        signalReady();
        break;
      }
      continue;
    }
    started_ = true;
    signalReady();
    ZEL_LOG("[server] wait client connection...\n");
    Accepted next = acceptClient(listener.get());
    if (next == Accepted::kStop) break;
  }
  removeFinished();
  ::unlink(path.c_str());
}

Fd IpcServer::openListener(const std::string& path) {
  sockaddr_un addr{};
  Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener || !socketAddress(path, addr)) return Fd();
  ::unlink(path.c_str());  // a dead server's socket: the guard says none runs
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener.get(), 16) != 0)
    return Fd();
  return listener;
}

bool IpcServer::waitForFreeSlot(int listener) {
  for (;;) {
    pollfd fds[3] = {{stopEvent_.fd(), POLLIN, 0}, {clientGone_.fd(), POLLIN, 0}, {listener, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents) return false;
    if (fds[1].revents) return true;
    if (fds[2].revents) {
      // Turned away at once, as an open of a pipe without a free instance.
      Fd refused(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
      if (refused) {
        char busy = kBusy;
        ::send(refused.get(), &busy, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      } else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
}

IpcServer::Accepted IpcServer::acceptClient(int listener) {
  pollfd fds[2] = {{stopEvent_.fd(), POLLIN, 0}, {listener, POLLIN, 0}};
  if (::poll(fds, 2, -1) < 0) return errno == EINTR ? Accepted::kNone : Accepted::kStop;
  if (fds[0].revents) return Accepted::kStop;
  if (!fds[1].revents) return Accepted::kNone;
  Fd client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!client) {
    // Out of descriptors or similar: the pending client stays queued, so
    // pause instead of spinning on it.
    if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Accepted::kNone;
  }
  ucred cred{};
  socklen_t credLen = sizeof cred;
  if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &cred, &credLen) != 0) cred.pid = 0;
  timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  char accepted = kAccepted;
  if (!sendAll(client.get(), &accepted, 1)) return Accepted::kNone;  // gone already
  startConnection(std::move(client), cred.pid);
  return Accepted::kClient;
}

void IpcServer::startConnection(Fd client, pid_t pid) {
  auto connection = std::make_shared<Connection>();
  connection->number = nextNumber_;
  connection->socket = std::move(client);
  ZEL_LOG("[server] clinet[%d] pid[0x%X] connected\n", connection->number, static_cast<unsigned>(pid));
  IIpcCallback* own = callback_ ? callback_->create() : nullptr;
  ZEL_LOG("ipc->on_cbfunc_->create()=%p\n", static_cast<void*>(own));
  connection->callback = own ? own : callback_;
  connection->ownCallback = own != nullptr;
  connection->reply.reset(new (std::nothrow) std::uint8_t[kMaxMessage]);
  if (!connection->reply) {
    if (own) freeCallback(own);
    return;
  }
  try {
    connection->thread = std::thread(&IpcServer::serve, this, connection.get());
  } catch (const std::exception&) {
    if (own) freeCallback(own);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections_.push_back(std::move(connection));
  }
  ++nextNumber_;
}

void IpcServer::serve(Connection* c) {
  const int fd = c->socket.get();
  FrameReader reader([fd](std::uint8_t* buf, std::size_t size) -> long { return ::recv(fd, buf, size, 0); });
  for (;;) {
    c->busy = false;
    FrameReader::Result r = reader.next();
    if (stopping_) {
      ZEL_LOG("[server] error: client[%d] wait_event\n", c->number);
      break;
    }
    if (r == FrameReader::Result::kClosed) {
      ZEL_LOG("[server] client[%d] disconnected\n", c->number);
      break;
    }
    if (r == FrameReader::Result::kError) {
      if (reader.error() == ECONNRESET) {
        ZEL_LOG("[server] client[%d] disconnected\n", c->number);
      } else {
        ZEL_LOG("[server] error: client[%d] ReadFile[%u]\n", c->number, static_cast<unsigned>(reader.error()));
      }
      break;
    }
    if (r == FrameReader::Result::kTruncated) {
      ZEL_LOG("[server] error: client[%d] message cut short, connection closed\n", c->number);
      break;
    }
    if (r == FrameReader::Result::kTooLong) {
      ZEL_LOG("[server] error: client[%d] len[%u] exceeds %u bytes, connection closed\n", c->number, reader.badLen(),
              static_cast<unsigned>(kMaxData));
      break;
    }
    c->busy = true;
    std::uint8_t* request = reader.data();
    ZEL_LOG("[server] id[%u] %u bytes received\n", static_cast<unsigned>(getId(request)),
            static_cast<unsigned>(reader.size()));
    handlers_.acquire();
    ReplyParts parts = buildReplyParts(request, c->reply.get(), c->callback);
    const std::size_t size = kHeaderSize + parts.dataLen;
    ZEL_LOG("[server] send %u bytes\n", static_cast<unsigned>(size));
    bool sent = sendMessage(*c, c->reply.get(), parts.data, parts.dataLen);
    c->busy = false;  // answered: notifications may come again
    if (sent) ZEL_LOG("[server] %u bytes sended\n", static_cast<unsigned>(size));
    handlers_.release();
    if (!sent) break;
  }
  ::shutdown(fd, SHUT_RDWR);  // the client sees the end at once
  c->busy = false;
  c->active = false;
  clientGone_.set();
}

bool IpcServer::sendMessage(Connection& c, const std::uint8_t* header, const std::uint8_t* data, std::size_t dataLen) {
  std::lock_guard<std::mutex> lock(c.sendMutex);
  if (sendAll(c.socket.get(), header, kHeaderSize, data, dataLen)) return true;
  ZEL_LOG("[server] error: WriteFile\n");
  // A partly written message would corrupt the stream: end the connection.
  ::shutdown(c.socket.get(), SHUT_RDWR);
  return false;
}

void IpcServer::removeFinished() {
  std::vector<std::shared_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (!(*it)->active) {
        finished.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) {
    if (c->thread.joinable()) c->thread.join();
    if (c->ownCallback) freeCallback(c->callback);
  }
}

void IpcServer::endAllConnections() {
  std::vector<std::shared_ptr<Connection>> all;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    all.swap(connections_);
  }
  // Waking every connection thread: its read returns and it sees the stop.
  for (auto& c : all) ::shutdown(c->socket.get(), SHUT_RDWR);
  for (auto& c : all) {
    if (c->thread.joinable()) c->thread.join();
    if (c->ownCallback) freeCallback(c->callback);
  }
}

unsigned IpcServer::activeCount() {
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  unsigned n = 0;
  for (auto& c : connections_) n += c->active ? 1 : 0;
  return n;
}

unsigned IpcServer::getClientCount() { return activeCount(); }

bool IpcServer::notify(const char* name) { return notifyValue(name, 0); }

bool IpcServer::notifyValue(const char* name, int type, ...) {
  va_list args;
  va_start(args, type);
  const char t = static_cast<char>(type);
  bool result;
  if (t == 'I') {
    std::int32_t v = va_arg(args, int);
    result = notifyData(name, t, &v, 0);
  } else if (t == 'F') {
    // A float argument arrives widened to double; the wire carries 4 bytes.
    float v = static_cast<float>(va_arg(args, double));
    result = notifyData(name, t, &v, 0);
  } else if (t == 'D') {
    double v = va_arg(args, double);
    result = notifyData(name, t, &v, 0);
  } else {
    result = notifyData(name, t, nullptr, 0);
  }
  va_end(args);
  return result;
}

bool IpcServer::notifyData(const char* name, char type, const void* data, int length) {
  std::unique_ptr<std::uint8_t[]> msg(new (std::nothrow) std::uint8_t[kMaxMessage]);
  if (!msg) return false;
  const std::size_t size =
      length < 0 ? 0 : buildNotification(msg.get(), 0, name, type, data, static_cast<std::uint32_t>(length));
  if (size == 0) {
    ZEL_LOG("[server] error: notification [%s] does not fit a message\n", name ? name : "");
    return false;
  }
  handlers_.acquire();
  std::vector<std::shared_ptr<Connection>> targets;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto& c : connections_) {
      if (c->active && !c->busy) targets.push_back(c);
    }
  }
  int delivered = 0;
  for (auto& c : targets) {
    setId(msg.get(), notifyCounter_.fetch_add(1));
    if (sendMessage(*c, msg.get(), msg.get() + kHeaderSize, size - kHeaderSize)) ++delivered;
  }
  handlers_.release();
  return delivered > 0;
}

void* IpcServer::createSharedMemory(const char* name, std::uint32_t size) {
  const char* stage = "";
  int error = 0;
  auto block = SharedBlock::create(name ? name : "", size, &stage, &error);
  if (!block) {
    ZEL_LOG("[server] error: %s [%u]\n)", stage, static_cast<unsigned>(error));
    return nullptr;
  }
  return blocks_.add(std::move(block));
}

void IpcServer::releaseSharedMemory(void* view) { blocks_.release(view); }

}  // namespace orvipc
