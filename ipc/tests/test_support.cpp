#include "ipc/tests/test_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace ipctest {

namespace {

// Every test run gets its own runtime folder, so sockets and guards never
// meet those of other runs on this machine.
class PrivateRuntimeDir : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/ipctest-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

PrivateRuntimeDir* environment() {
  static PrivateRuntimeDir* env =
      static_cast<PrivateRuntimeDir*>(::testing::AddGlobalTestEnvironment(new PrivateRuntimeDir));
  return env;
}
[[maybe_unused]] PrivateRuntimeDir* const registered = environment();

int toChildFd = -1;  // inside a child: the pipe to the parent

}  // namespace

std::string uniqueName(const char* tag) {
  static int counter = 0;
  return std::string(tag) + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

std::string tempPath(const std::string& file) { return environment()->dir_ + "/" + file; }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool logHas(const std::string& path, const std::string& text, int timeoutMs) {
  return waitFor([&] { return readFile(path).find(text) != std::string::npos; }, timeoutMs);
}

Child::Child(std::function<int()> body) {
  int go[2];
  int hear[2];
  if (::pipe(go) != 0 || ::pipe(hear) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::close(go[1]);
    ::close(hear[0]);
    toChildFd = hear[1];
    char c;
    if (::read(go[0], &c, 1) != 1) ::_exit(100);
    ::_exit(body());
  }
  ::close(go[0]);
  ::close(hear[1]);
  goFd_ = go[1];
  hearFd_ = hear[0];
}

Child::~Child() {
  if (pid_ > 0) {
    kill9();
    wait(1000);
  }
  if (goFd_ >= 0) ::close(goFd_);
  if (hearFd_ >= 0) ::close(hearFd_);
}

void Child::go() {
  char c = 'g';
  ssize_t n = ::write(goFd_, &c, 1);
  (void)n;
}

int Child::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Child::kill9() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

std::string Child::hear(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return {};
    pollfd p{hearFd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return {};
    char buf[256];
    ssize_t n = ::read(hearFd_, buf, sizeof buf);
    if (n <= 0) return {};
    pending_.append(buf, static_cast<std::size_t>(n));
  }
}

void Child::tell(const std::string& line) {
  std::string text = line + "\n";
  ssize_t n = ::write(toChildFd, text.data(), text.size());
  (void)n;
}

RawPeer::RawPeer(const std::string& name) {
  std::string path = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/orvipc/" + name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 3000) > 0 && ::recv(fd_, &answer_, 1, 0) != 1) answer_ = 0;
}

RawPeer::~RawPeer() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawPeer::send(const void* data, std::size_t size) {
  return ::send(fd_, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

std::vector<std::uint8_t> RawPeer::receive(int timeoutMs) {
  std::vector<std::uint8_t> msg;
  auto readExact = [&](std::size_t n) {
    std::size_t start = msg.size();
    msg.resize(start + n);
    std::size_t got = 0;
    while (got < n) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) return false;
      ssize_t r = ::recv(fd_, msg.data() + start + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  };
  if (!readExact(32)) return {};
  std::uint32_t len;
  std::memcpy(&len, msg.data() + 28, 4);
  if (len > 65503 || !readExact(len)) return {};
  return msg;
}

bool RawPeer::closedByServer(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  char buf[256];
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (::poll(&p, 1, 50) > 0) {
      ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
      if (r <= 0) return true;
    }
  }
  return false;
}

void RawPeer::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

std::vector<std::uint8_t> makeMessage(std::uint16_t id, char op, char type, const char* name, const void* data,
                                      std::uint32_t len) {
  std::vector<std::uint8_t> msg(32 + len, 0);
  std::memcpy(msg.data(), &id, 2);
  msg[2] = static_cast<std::uint8_t>(op);
  msg[3] = static_cast<std::uint8_t>(type);
  std::memcpy(msg.data() + 4, name, ::strnlen(name, 19));
  std::memcpy(msg.data() + 28, &len, 4);
  if (len) std::memcpy(msg.data() + 32, data, len);
  return msg;
}

int ScriptedCallback::onMessage(std::uint16_t id, char op, const char* name, char type, std::int32_t* status,
                                void* data, std::int32_t* len) {
  {
    Seen s{id, op, type, name, *len, {}};
    if (op != 'G' && *len > 0) {
      auto* p = static_cast<std::uint8_t*>(data);
      s.data.assign(p, p + *len);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (seen_.size() < 1000) seen_.push_back(std::move(s));
  }
  ++count;
  std::string n = name;
  if (op == 'G') {
    if (type == 'I' && n == "answer") {
      *static_cast<std::int32_t*>(data) = 42;
      *status = 1;
    } else if (type == 'F' && n == "pi") {
      *static_cast<float*>(data) = 3.5f;
      *status = 1;
    } else if (type == 'D' && n == "e") {
      *static_cast<double*>(data) = 2.5;
      *status = 1;
    } else if (type == 'A' && (n == "blob" || n == "big")) {
      int size = n == "blob" ? 100 : 65503;
      auto* p = static_cast<std::uint8_t*>(data);
      for (int i = 0; i < size; ++i) p[i] = static_cast<std::uint8_t>(i & 0xff);
      *len = size;
      *status = 1;
    } else if (type == 'I' && n.size() > 1 && n[0] == 'c' && n.find('_') != std::string::npos) {
      int k = std::atoi(n.c_str() + 1);
      int i = std::atoi(n.c_str() + n.find('_') + 1);
      *static_cast<std::int32_t*>(data) = k * 100000 + i;
      *status = 1;
    } else if (type == 'I' && n == "slow") {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      *static_cast<std::int32_t*>(data) = 7;
      *status = 1;
    } else if (type == 'I' && n == "hang") {
      std::this_thread::sleep_for(std::chrono::seconds(30));
      *status = 1;
    }
  } else if (op == 'S') {
    *status = n.rfind("refuse", 0) == 0 ? 0 : 1;
  } else if (op == 'C' && n == "cmd") {
    *status = 1;
  }
  return 0;
}

std::vector<ScriptedCallback::Seen> ScriptedCallback::seen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

int RecordingCallback::onMessage(std::uint16_t id, char op, const char* name, char type, std::int32_t* status,
                                 void* data, std::int32_t* len) {
  Got g{id, op, type, name, *status, *len, {}};
  auto* p = static_cast<std::uint8_t*>(data);
  if (*len > 0) g.data.assign(p, p + *len);
  std::lock_guard<std::mutex> lock(mutex_);
  got_.push_back(std::move(g));
  return 0;
}

std::vector<RecordingCallback::Got> RecordingCallback::got() {
  std::lock_guard<std::mutex> lock(mutex_);
  return got_;
}

int RecordingCallback::countOp(char op) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (auto& g : got_) n += g.op == op ? 1 : 0;
  return n;
}

}  // namespace ipctest
