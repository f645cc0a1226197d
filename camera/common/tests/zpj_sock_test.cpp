// ZpjSock against the virtual projector on 127.0.0.1.
#include "camera/common/zpj_sock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "camera/common/tests/projector_fixture.h"

namespace camera {
namespace {

using namespace std::chrono_literals;
using camera::testing::expectEveryCommandRefused;
using camera::testing::ipv4;
using camera::testing::msSince;
using camera::testing::Watchdog;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

const unsigned kLoopback = ipv4(127, 0, 0, 1);

class ZpjSockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ProjectorOptions options;
    options.tcpPort = 0;
    options.sequenceStepMs = 20;
    options.diagPauseMs = 150;
    std::string error;
    ASSERT_TRUE(projector_.start(options, &error)) << error;
    link_ = std::make_unique<ZpjSock>(ZpjWaits().scaled(0.02), static_cast<std::uint16_t>(projector_.tcpPort()));
    CaptureStdout();
    bool opened = link_->open(kLoopback);
    EXPECT_EQ(GetCapturedStdout(), "openPort ret=0\n");
    ASSERT_TRUE(opened);
  }

  sim::VirtualProjector projector_;
  std::unique_ptr<ZpjSock> link_;
};

TEST_F(ZpjSockTest, SetLightSendsTheLevelInThreeChannels) {
  Watchdog dog(*link_, 5s);
  CaptureStdout();
  EXPECT_TRUE(link_->setLight(255));
  EXPECT_TRUE(link_->setLight(16));
  EXPECT_EQ(GetCapturedStdout(), "ZPJ>:OK\r\nZPJ>:OK\r\n");
  EXPECT_EQ(projector_.received(), "iFFFFFF\ri101010\r");
  sim::ProjectorSnapshot s = projector_.state().snapshot();
  EXPECT_EQ(s.red, 0x10);
  EXPECT_EQ(s.blue, 0x10);
}

TEST_F(ZpjSockTest, CommandPShowsThePatternAndNeedsOk) {
  Watchdog dog(*link_, 5s);
  CaptureStdout();
  EXPECT_TRUE(link_->commandP(5));
  EXPECT_FALSE(link_->commandP(13));  // the controller refuses with ":ERR"
  EXPECT_EQ(GetCapturedStdout(), "ZPJ>:OK\r\nZPJ>:ERR\r\n");
  EXPECT_EQ(projector_.state().snapshot().pattern, 5);
  EXPECT_EQ(projector_.received(), "p5\rp13\r");
}

TEST_F(ZpjSockTest, TwoLineRepliesWithAndWithoutOk) {
  Watchdog dog(*link_, 5s);
  CaptureStdout();
  EXPECT_TRUE(link_->commandX(7));
  // Both lines echoed; bytes sent "x7\r", received "7\r\n:OK\r\n".
  EXPECT_EQ(GetCapturedStdout(), "sended=3 recv(8)\nZPJ>7\r\nZPJ>:OK\r\n");

  sim::ProjectorFaults garbled;
  garbled.garble = true;
  projector_.setFaults(garbled);
  CaptureStdout();
  EXPECT_FALSE(link_->commandX(7));
  EXPECT_EQ(GetCapturedStdout(), "sended=3 recv(8)\nZPJ>6\r\nZPJ>;NJ\r\n");
}

TEST_F(ZpjSockTest, DiagReadsTheThirdValueOfTheSecondAnswer) {
  Watchdog dog(*link_, 5s);
  projector_.setDiagText("//diag.rgb: 10.20.ff");
  EXPECT_EQ(link_->diag(), 255);
  projector_.setDiagText("light ok, no marker");
  EXPECT_EQ(link_->diag(), 0);
  projector_.setDiagText("");
  ASSERT_TRUE(link_->setLight(0x2a));
  EXPECT_EQ(link_->diag(), 0x2a);  // the virtual projector reports its light level
}

// A peer on loopback that answers "d" with fixed bytes in one write (or not
// at all), to show diag() ends whatever the projector does.
class RawPeer {
 public:
  explicit RawPeer(std::string answer) : answer_(std::move(answer)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 1);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      int c = ::accept(listen_, nullptr, nullptr);
      if (c < 0) return;
      char buf[16];
      if (::recv(c, buf, sizeof buf, 0) > 0 && !answer_.empty()) ::send(c, answer_.data(), answer_.size(), 0);
      while (::recv(c, buf, sizeof buf, 0) > 0) {
      }
      ::close(c);
    });
  }
  ~RawPeer() {
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }

 private:
  std::string answer_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

TEST(ZpjSockDiag, EndsWhateverTheProjectorAnswers) {
  const struct {
    const char* answer;
    int expected;
  } cases[] = {
      {"d\r\n//diag.rgb: 1.2.3\r\n", 3},  // both answers in one write
      {":ERR\r\n", -1},                   // "d" refused: nothing follows
      {"", -1},                           // silent
  };
  for (const auto& c : cases) {
    RawPeer peer(c.answer);
    ZpjWaits waits = ZpjWaits().scaled(0.02);
    waits.diagSilenceMax = 300;
    {
      ZpjSock link(waits, peer.port());
      CaptureStdout();
      ASSERT_TRUE(link.open(kLoopback));
      GetCapturedStdout();
      Watchdog dog(link, 5s);
      const auto t0 = std::chrono::steady_clock::now();
      EXPECT_EQ(link.diag(), c.expected) << c.answer;
      EXPECT_LT(msSince(t0), 1000.0) << c.answer;
      link.close();
    }
  }
}

TEST_F(ZpjSockTest, CommandZReadsUntilTheSequenceEnds) {
  Watchdog dog(*link_, 5s);
  std::uint64_t before = projector_.state().snapshot().generation;
  auto t0 = std::chrono::steady_clock::now();
  CaptureStdout();
  EXPECT_TRUE(link_->commandZ(13));
  std::string echo = GetCapturedStdout();
  // 13 steps of 20 ms: the reply comes in many chunks, and the call waited
  // for the last one.
  EXPECT_GE(msSince(t0), 12 * 20.0);
  EXPECT_NE(echo.find("ZPJ>seq 0\r\n"), std::string::npos);
  EXPECT_NE(echo.find("ZPJ>:OK\r\n"), std::string::npos);
  sim::ProjectorSnapshot s = projector_.state().snapshot();
  EXPECT_EQ(s.pattern, 12);
  EXPECT_EQ(s.generation, before + 13);

  CaptureStdout();
  EXPECT_FALSE(link_->commandZ(14));  // ":ERR" ends the wait with false
  EXPECT_EQ(GetCapturedStdout(), "ZPJ>:ERR\r\n");
}

TEST_F(ZpjSockTest, CommandRSendsWithoutReading) {
  Watchdog dog(*link_, 5s);
  ASSERT_TRUE(link_->commandP(4));
  EXPECT_TRUE(link_->commandR());
  // The next command's reply is its own: "r" left nothing unread.
  EXPECT_TRUE(link_->commandX(2));
  EXPECT_EQ(projector_.received(), "p4\rr\rx2\r");
}

TEST_F(ZpjSockTest, InjectedDelayIsWaitedFor) {
  Watchdog dog(*link_, 5s);
  sim::ProjectorFaults slow;
  slow.replyDelayMs = 150;
  projector_.setFaults(slow);
  EXPECT_TRUE(link_->commandP(1));
}

TEST_F(ZpjSockTest, DroppedConnectionMidCommandFailsAndNeverHangs) {
  Watchdog dog(*link_, 5s);
  sim::ProjectorFaults drop;
  drop.drop = sim::ProjectorFaults::Drop::AfterPartialReply;
  projector_.setFaults(drop);
  EXPECT_FALSE(link_->commandZ(13));  // first "seq" line, then the link is gone
  EXPECT_FALSE(link_->isOpen());
  // A closed link fails at once, nothing is sent.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(link_->commandP(1));
  EXPECT_EQ(link_->diag(), -1);
  EXPECT_LT(msSince(t0), 100.0);
}

TEST_F(ZpjSockTest, DroppedConnectionAtEachCommand) {
  Watchdog dog(*link_, 10s);
  sim::ProjectorFaults drop;
  drop.drop = sim::ProjectorFaults::Drop::AtCommand;
  for (int op = 0; op < 4; ++op) {
    ZpjSock link(ZpjWaits().scaled(0.02), static_cast<std::uint16_t>(projector_.tcpPort()));
    CaptureStdout();
    ASSERT_TRUE(link.open(kLoopback));
    projector_.setFaults(drop);
    switch (op) {
      case 0: EXPECT_FALSE(link.commandP(1)); break;
      case 1: EXPECT_EQ(link.diag(), -1); break;
      case 2: EXPECT_FALSE(link.setLight(3)); break;
      case 3: EXPECT_FALSE(link.commandX(3)); break;
    }
    GetCapturedStdout();
    EXPECT_FALSE(link.isOpen());
  }
}

TEST_F(ZpjSockTest, CloseFromAnotherThreadEndsAWaitingReceive) {
  sim::ProjectorFaults mute;
  mute.mute = true;
  projector_.setFaults(mute);
  std::atomic<bool> done{false};
  std::atomic<bool> result{true};
  std::thread host([&] {
    result = link_->commandP(1);
    done = true;
  });
  std::this_thread::sleep_for(100ms);  // well inside the receive by now
  EXPECT_FALSE(done.load());
  auto t0 = std::chrono::steady_clock::now();
  link_->close();
  double closeMs = msSince(t0);
  host.join();
  EXPECT_LT(msSince(t0), 1100.0);
  EXPECT_LT(closeMs, 1100.0);
  EXPECT_FALSE(result.load());
  EXPECT_FALSE(link_->isOpen());
}

TEST(ZpjSockConnect, ClosedLoopbackPortFailsWithinOneSecond) {
  // A port that was just free: nothing listens there.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  ::close(fd);
  ZpjSock link(ZpjWaits(), ntohs(sa.sin_port));
  auto t0 = std::chrono::steady_clock::now();
  CaptureStdout();
  EXPECT_FALSE(link.open(kLoopback));
  EXPECT_EQ(GetCapturedStdout(), "openPort ret=-1\n");
  EXPECT_LT(msSince(t0), 1100.0);
  EXPECT_FALSE(link.isOpen());
  expectEveryCommandRefused(link);
}

TEST(ZpjSockConnect, UnansweredConnectGivesUpAfterOneSecond) {
  // A listener with a full accept queue drops further handshakes, as a host
  // that does not answer would.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t len = sizeof sa;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);

  ZpjSock link(ZpjWaits(), ntohs(sa.sin_port));
  auto t0 = std::chrono::steady_clock::now();
  CaptureStdout();
  bool opened = link.open(kLoopback);
  std::string out = GetCapturedStdout();
  double ms = msSince(t0);
  ::close(filler);
  ::close(listener);
  if (opened) GTEST_SKIP() << "this kernel accepted beyond the backlog";
  EXPECT_EQ(out, "openPort ret=-1\n");
  EXPECT_GE(ms, 900.0);
  EXPECT_LT(ms, 1500.0);
}

}  // namespace
}  // namespace camera
