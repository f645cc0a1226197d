#pragma once
// Projector link over TCP (port 5073). Commands wait a fixed time, then read
// the reply. A receive has no overall time-out: it waits in 1 s polls until
// data arrives, the peer closes, or close() (from any thread) aborts it.
// diag() is the exception: each of its receives ends after
// ZpjWaits::diagSilenceMax (3 s by default) of silence, because its second answer may never come (a projector that
// answers "d" with ":ERR", or sent both lines in one write).
#include <atomic>
#include <cstdint>
#include <string>

#include "camera/common/izpj.h"

namespace camera {

class ZpjSock : public IZpj {
 public:
  static constexpr std::uint16_t kPort = 5073;
  static constexpr int kConnectTimeoutMs = 1000;
  static constexpr std::size_t kRecvChunk = 256;
  // A "z" reply longer than this without its end is treated as a failure.
  static constexpr std::size_t kMaxReply = 1 << 20;

  explicit ZpjSock(const ZpjWaits& waits = ZpjWaits(), std::uint16_t port = kPort);
  ~ZpjSock() override;
  ZpjSock(const ZpjSock&) = delete;
  ZpjSock& operator=(const ZpjSock&) = delete;

  bool open(unsigned address) override;
  void close() override;
  bool commandP(unsigned n) override;
  bool commandR() override;
  // Sends "d" and returns the third value of the diagnostic line, 0 when
  // the answer has none, -1 when the link fails, the projector answers
  // ":ERR" or stays silent for ZpjWaits::diagSilenceMax ms.
  int diag() override;
  bool setLight(unsigned level) override;
  bool commandZ(unsigned n) override;
  bool commandX(unsigned n) override;

  bool isOpen() const { return fd_.load() >= 0; }

 private:
  bool connectTo(int fd, const char* addressText);
  // Sends the whole text; -1 on failure (logged).
  long sendText(const std::string& text);
  // Appends one chunk to reply; its byte count, 0 when aborted by close() or
  // when timeoutMs (>= 0) passed without data, -1 when the peer closed or the
  // link failed (the socket is then closed).
  long receive(std::string* reply, int timeoutMs = -1);
  bool sendAndParse(const std::string& text, int waitMs);
  void closeSocket();
  // After a failed receive: no longer open, the descriptor kept until close().
  void markBroken();

  ZpjWaits waits_;
  std::uint16_t port_;
  std::atomic<int> fd_{-1};
  std::atomic<int> brokenFd_{-1};
  std::atomic<bool> busy_{false};
  std::atomic<bool> abort_{false};
  std::atomic<bool> closing_{false};
};

}  // namespace camera
