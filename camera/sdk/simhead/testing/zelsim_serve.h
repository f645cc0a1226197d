#pragma once
// For host tests of the USB camera plug-ins: `zelsim serve` as its own
// process (in the test's private network namespace, so its GigE devices and
// projector port meet nobody else's), publishing its images for the
// simulated cameras, plus a projector client that shows a pattern and waits
// for the ":OK" (the plug-ins' own projector link waits 800 ms per command).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace zeltest {

class ZelsimServe {
 public:
  ZelsimServe() = default;
  ~ZelsimServe() { stop(); }
  ZelsimServe(const ZelsimServe&) = delete;
  ZelsimServe& operator=(const ZelsimServe&) = delete;

  // Starts `zelsim serve` with a 64 x 48 plane publishing under publishName;
  // false with *error (its output) when it is not ready within 30 s.
  bool start(const std::string& publishName, std::string* error) {
    const char* bin = std::getenv("ZEL_BINARY_DIR");
    if (!bin) {
      *error = "ZEL_BINARY_DIR not set";
      return false;
    }
    log_ = ::testing::TempDir() + "zelsim_serve_" + std::to_string(::getpid()) + ".log";
    const std::string cmd = std::string(bin) +
                            "/bin/zelsim serve --scene plane --head cameras --size 64x48 "
                            "--supersample 1 --noise 0 --no-cache --tcp 127.0.0.1:0 --publish " +
                            publishName;
    pid_ = ::fork();
    if (pid_ < 0) {
      *error = "fork failed";
      return false;
    }
    if (pid_ == 0) {
      int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(126);
      ::execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 600; ++i) {
      std::string text = output();
      std::size_t at = text.find("projector: tcp 127.0.0.1:");
      if (text.find("ready\n") != std::string::npos && at != std::string::npos) {
        port_ = std::atoi(text.c_str() + at + 25);
        return port_ > 0;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "zelsim serve did not start: " + output();
    return false;
  }

  void stop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    // The server's log is kept for a run that failed, else removed.
    if (!log_.empty() && !::testing::UnitTest::GetInstance()->Failed()) ::unlink(log_.c_str());
  }

  std::string output() const {
    std::ifstream in(log_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  // Sends "p<n>\r" and waits (at most 2 s) for the ":OK" line.
  bool showPattern(int pattern) {
    if (fd_ < 0) {
      fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<std::uint16_t>(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    }
    const std::string cmd = "p" + std::to_string(pattern) + "\r";
    if (::send(fd_, cmd.data(), cmd.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(cmd.size())) return false;
    std::string reply;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (reply.find(":OK") == std::string::npos || reply.back() != '\n') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[256];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return false;
      reply.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int fd_ = -1;
  std::string log_;
};

}  // namespace zeltest
