#pragma once
// Helpers for the cross-process IPC tests: a private runtime folder per test
// run, unique server names, child processes started on a signal, a raw
// socket peer and a scripted server callback.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ipc.h"

namespace ipctest {

// A server name no other test (or engineer) uses: pid and a counter.
std::string uniqueName(const char* tag);
// A fresh file path in the test run's private folder.
std::string tempPath(const std::string& file);
std::string readFile(const std::string& path);
std::size_t countOf(const std::string& text, const std::string& what);
// Polls pred every 5 ms for at most timeoutMs.
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 3000);
// Waits until the log file at path contains text.
bool logHas(const std::string& path, const std::string& text, int timeoutMs = 3000);

// A forked child that runs body once go() is called and exits with its
// result. It dies with the test process.
class Child {
 public:
  explicit Child(std::function<int()> body);
  ~Child();
  void go();
  // Exit status (0..255), or 128 + signal; -1 on time-out.
  int wait(int timeoutMs = 20000);
  void kill9();
  pid_t pid() const { return pid_; }
  // A line from the child (written with Child::tell inside body).
  std::string hear(int timeoutMs = 5000);
  static void tell(const std::string& line);

 private:
  pid_t pid_ = -1;
  int goFd_ = -1;
  int hearFd_ = -1;
  std::string pending_;
};

// Raw socket peer speaking the wire format directly.
class RawPeer {
 public:
  // Connects to the server name; accepted() tells the answer byte.
  explicit RawPeer(const std::string& name);
  ~RawPeer();
  bool connected() const { return fd_ >= 0; }
  bool accepted() const { return answer_ == 'A'; }
  bool send(const void* data, std::size_t size);
  // One whole message (header + len bytes); empty on end of stream/time-out.
  std::vector<std::uint8_t> receive(int timeoutMs = 3000);
  // True when the server closed the connection within timeoutMs.
  bool closedByServer(int timeoutMs = 3000);
  void shutdownWrite();

 private:
  int fd_ = -1;
  char answer_ = 0;
};

std::vector<std::uint8_t> makeMessage(std::uint16_t id, char op, char type, const char* name, const void* data,
                                      std::uint32_t len);

// Server callback with fixed answers:
//   G I "answer" -> 42; G F "pi" -> 3.5f; G D "e" -> 2.5; G A "blob" -> 100
//   bytes i & 0xff; G A "big" -> 65503 bytes; G I "c<k>_<i>" -> k*100000+i;
//   G I "slow" -> 7 after 300 ms; G I "hang" -> blocks 30 s;
//   S any -> accepted unless the name starts with "refuse"; C "cmd" -> ok;
//   anything else -> status 0.
// Records every request it sees.
class ScriptedCallback : public IIpcCallback {
 public:
  struct Seen {
    std::uint16_t id;
    char op;
    char type;
    std::string name;
    std::int32_t len;
    std::vector<std::uint8_t> data;
  };
  int onMessage(std::uint16_t id, char op, const char* name, char type, std::int32_t* status, void* data,
                std::int32_t* len) override;
  IIpcCallback* create() override { return nullptr; }
  std::vector<Seen> seen();
  std::atomic<int> count{0};

 private:
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

// Client callback that records what arrives.
class RecordingCallback : public IIpcCallback {
 public:
  struct Got {
    std::uint16_t id;
    char op;
    char type;
    std::string name;
    std::int32_t status;
    std::int32_t len;
    std::vector<std::uint8_t> data;
  };
  int onMessage(std::uint16_t id, char op, const char* name, char type, std::int32_t* status, void* data,
                std::int32_t* len) override;
  IIpcCallback* create() override { return nullptr; }
  std::vector<Got> got();
  int countOp(char op);

 private:
  std::mutex mutex_;
  std::vector<Got> got_;
};

}  // namespace ipctest
