#include "sim/projector/virtual_projector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "camera/common/zpj_protocol.h"
#include "sim/projector/projector_protocol.h"

namespace sim {

namespace zpj = camera::zpj;

namespace {

using Clock = std::chrono::steady_clock;

bool setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

struct VirtualProjector::Impl {
  struct Link {
    int fd = -1;
    bool pty = false;
    bool dropAfterFirstLine = false;
    CommandSplitter input;
  };

  VirtualProjector& owner;
  ProjectorOptions options;
  int listenFd = -1;
  int ptyMaster = -1;
  int ptySlave = -1;  // kept open so the master never sees a hang-up between clients
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread thread;
  std::atomic<bool> stopping{false};

  std::map<int, Link> links;  // by id; touched only on the serving thread
  int nextLink = 1;
  int ptyLink = 0;
  std::multimap<Clock::time_point, std::function<void()>> timers;
  std::uint64_t sequenceId = 0;

  mutable std::mutex mutex;  // guards what tests set and read
  ProjectorFaults faults;
  std::string diagText;
  std::string receivedBytes;

  explicit Impl(VirtualProjector& o) : owner(o) {}

  ~Impl() {
    for (auto& [id, link] : links) {
      if (!link.pty && link.fd >= 0) ::close(link.fd);
    }
    for (int fd : {listenFd, ptyMaster, ptySlave, wakeRead, wakeWrite}) {
      if (fd >= 0) ::close(fd);
    }
  }

  bool openTcp(std::string* error) {
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) return fail(error, "socket");
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(options.tcpPort));
    if (::inet_pton(AF_INET, options.tcpAddress.c_str(), &sa.sin_addr) != 1) {
      if (error) *error = "not an IPv4 address: " + options.tcpAddress;
      return false;
    }
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fail(error, "bind");
    if (::listen(listenFd, 8) != 0) return fail(error, "listen");
    setNonBlocking(listenFd);
    socklen_t len = sizeof sa;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
    owner.boundPort_ = ntohs(sa.sin_port);
    return true;
  }

  bool openPty(std::string* error) {
    ptyMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptyMaster < 0) return fail(error, "posix_openpt");
    if (::grantpt(ptyMaster) != 0 || ::unlockpt(ptyMaster) != 0) return fail(error, "grantpt");
    char name[128];
    if (::ptsname_r(ptyMaster, name, sizeof name) != 0) return fail(error, "ptsname");
    ptySlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptySlave < 0) return fail(error, "open pty");
    // Raw from the start: no echo of our replies back to us, no CR/LF mapping.
    termios tio{};
    if (::tcgetattr(ptySlave, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(ptySlave, TCSANOW, &tio);
    }
    setNonBlocking(ptyMaster);
    owner.ptyPath_ = name;
    Link link;
    link.fd = ptyMaster;
    link.pty = true;
    ptyLink = nextLink++;
    links[ptyLink] = link;
    return true;
  }

  static bool fail(std::string* error, const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
  }

  void wake() {
    char c = 1;
    ssize_t n = ::write(wakeWrite, &c, 1);
    (void)n;
  }

  void closeLink(int id) {
    auto it = links.find(id);
    if (it == links.end() || it->second.pty) return;
    ::close(it->second.fd);
    links.erase(it);
  }

  void sendNow(int id, std::string bytes) {
    auto it = links.find(id);
    if (it == links.end()) return;
    bool garble;
    {
      std::lock_guard<std::mutex> lock(mutex);
      garble = faults.garble;
    }
    if (garble) {
      for (char& c : bytes) {
        if (c != '\r' && c != '\n') c = static_cast<char>(c ^ 0x01);
      }
    }
    bool closeAfter = false;
    if (it->second.dropAfterFirstLine) {
      std::size_t nl = bytes.find('\n');
      if (nl != std::string::npos) bytes.resize(nl + 1);
      closeAfter = true;
    }
    std::size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::write(it->second.fd, bytes.data() + off, bytes.size() - off);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // a client that does not read loses the rest
      off += static_cast<std::size_t>(n);
    }
    if (closeAfter) {
      if (it->second.pty) {
        it->second.dropAfterFirstLine = false;  // a terminal cannot be hung up; stay mute instead
      } else {
        closeLink(id);
      }
    }
  }

  // Sends after the injected delay plus extraMs; nothing when muted.
  void reply(int id, const std::string& bytes, int extraMs = 0) {
    int delay;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (faults.mute) return;
      delay = faults.replyDelayMs;
    }
    delay += extraMs;
    if (delay <= 0) {
      sendNow(id, bytes);
      return;
    }
    timers.emplace(Clock::now() + std::chrono::milliseconds(delay), [this, id, bytes] { sendNow(id, bytes); });
  }

  void handleCommand(int id, const std::string& line) {
    ProjectorFaults::Drop drop;
    {
      std::lock_guard<std::mutex> lock(mutex);
      drop = faults.drop;
      faults.drop = ProjectorFaults::Drop::None;
    }
    // Replies may drop the link (a fault), so keep no reference to it.
    auto found = links.find(id);
    if (found == links.end()) return;
    const bool isPty = found->second.pty;
    if (drop == ProjectorFaults::Drop::AtCommand) {
      if (!isPty) closeLink(id);
      return;
    }
    if (drop == ProjectorFaults::Drop::AfterPartialReply) found->second.dropAfterFirstLine = true;
    if (line.empty()) return;  // a lone CR (or CR LF) is no command
    const zpj::Command cmd = zpj::parseCommand(line);
    switch (cmd.kind) {
      case zpj::Command::Kind::Pattern:
        owner.state_.showPattern(static_cast<int>(cmd.number));
        reply(id, zpj::okLine());
        break;
      case zpj::Command::Kind::Reset:
        ++sequenceId;
        owner.state_.showPattern(0);
        break;
      case zpj::Command::Kind::Sequence: runSequence(id, static_cast<int>(cmd.number)); break;
      case zpj::Command::Kind::Echo: reply(id, zpj::echoReply(cmd.number)); break;
      case zpj::Command::Kind::Light:
        owner.state_.setLight(cmd.rgb[0], cmd.rgb[1], cmd.rgb[2]);
        reply(id, zpj::okLine());
        break;
      case zpj::Command::Kind::Diag: {
        std::string diagLine;
        {
          std::lock_guard<std::mutex> lock(mutex);
          diagLine = diagText;
        }
        if (diagLine.empty()) {
          ProjectorSnapshot s = owner.state_.snapshot();
          diagLine = zpj::diagLine(s.red, s.green, s.blue);
        } else {
          diagLine = zpj::replyLine(diagLine);
        }
        if (isPty) {
          reply(id, zpj::diagAckLine() + diagLine);
        } else {
          reply(id, zpj::diagAckLine());
          reply(id, diagLine, options.diagPauseMs);
        }
        break;
      }
      case zpj::Command::Kind::Invalid: reply(id, zpj::errLine()); break;
    }
  }

  void runSequence(int id, int count) {
    std::uint64_t seq = ++sequenceId;
    Clock::time_point t = Clock::now();
    for (int k = 0; k < count; ++k) {
      timers.emplace(t, [this, id, seq, k, count] {
        if (seq != sequenceId) return;  // reset or replaced
        owner.state_.showPattern(k);
        reply(id, zpj::sequenceStepLine(k, k + 1 == count));
      });
      t += std::chrono::milliseconds(options.sequenceStepMs);
    }
  }

  void readLink(int id) {
    auto found = links.find(id);
    if (found == links.end()) return;  // closed earlier in this round
    Link& link = found->second;
    char buf[512];
    ssize_t n = ::read(link.fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      closeLink(id);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      receivedBytes.append(buf, static_cast<std::size_t>(n));
      // A client that floods without line ends must not grow the log without
      // bound: past the limit only the newer half is kept (halving keeps the
      // cost per byte constant).
      if (receivedBytes.size() > VirtualProjector::kMaxReceivedLog)
        receivedBytes.erase(0, receivedBytes.size() - VirtualProjector::kMaxReceivedLog / 2);
    }
    link.input.append(std::string_view(buf, static_cast<std::size_t>(n)));
    for (;;) {
      auto lit = links.find(id);
      if (lit == links.end()) return;  // dropped by a fault
      bool overflow = false;
      std::optional<std::string> line = lit->second.input.next(&overflow);
      if (overflow) reply(id, zpj::errLine());
      if (!line) return;
      handleCommand(id, *line);
    }
  }

  void acceptClients() {
    for (;;) {
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Link link;
      link.fd = fd;
      links[nextLink++] = link;
      owner.accepted_.fetch_add(1);
    }
  }

  void runTimers() {
    Clock::time_point now = Clock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
      auto action = std::move(timers.begin()->second);
      timers.erase(timers.begin());
      action();
    }
  }

  void serve() {
    while (!stopping.load()) {
      std::vector<pollfd> fds;
      std::vector<int> ids;
      fds.push_back({wakeRead, POLLIN, 0});
      ids.push_back(0);
      if (listenFd >= 0) {
        fds.push_back({listenFd, POLLIN, 0});
        ids.push_back(-1);
      }
      for (auto& [id, link] : links) {
        fds.push_back({link.fd, POLLIN, 0});
        ids.push_back(id);
      }
      int timeout = -1;
      if (!timers.empty()) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(timers.begin()->first - Clock::now());
        timeout = wait.count() < 0 ? 0 : static_cast<int>(wait.count()) + 1;
      }
      int n = ::poll(fds.data(), fds.size(), timeout);
      if (n < 0 && errno != EINTR) break;
      for (std::size_t i = 0; n > 0 && i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        if (ids[i] == 0) {
          char drain[64];
          while (::read(wakeRead, drain, sizeof drain) > 0) {
          }
        } else if (ids[i] == -1) {
          acceptClients();
        } else {
          readLink(ids[i]);
        }
      }
      runTimers();
    }
  }
};

VirtualProjector::VirtualProjector() = default;

VirtualProjector::~VirtualProjector() { stop(); }

bool VirtualProjector::start(const ProjectorOptions& options, std::string* error) {
  stop();
  auto impl = std::make_unique<Impl>(*this);
  impl->options = options;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) return Impl::fail(error, "pipe");
  impl->wakeRead = pipeFds[0];
  impl->wakeWrite = pipeFds[1];
  if (options.tcp && !impl->openTcp(error)) return false;
  if (options.pty && !impl->openPty(error)) return false;
  if (!options.stateName.empty() && !state_.mirrorTo(options.stateName)) {
    if (error) *error = "cannot publish the state as /" + options.stateName;
    return false;
  }
  impl->thread = std::thread([p = impl.get()] { p->serve(); });
  impl_ = std::move(impl);
  return true;
}

void VirtualProjector::stop() {
  if (!impl_) return;
  impl_->stopping = true;
  impl_->wake();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_.reset();
  ptyPath_.clear();
  boundPort_ = 0;
}

void VirtualProjector::setFaults(const ProjectorFaults& faults) {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults = faults;
}

void VirtualProjector::setDiagText(const std::string& text) {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->diagText = text;
}

std::string VirtualProjector::received() const {
  if (!impl_) return {};
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->receivedBytes;
}

void VirtualProjector::clearReceived() {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->receivedBytes.clear();
}

}  // namespace sim
