// The virtual projector seen from a raw client: command meanings, state,
// listeners, the shared-memory mirror, the command line.
#include "sim/projector/virtual_projector.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sim/projector/projector_command.h"
#include "sim/projector/projector_state.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~Client() { ::close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }
  // Reads until text ends with `until` or limit passes; "" plus EOF marker on close.
  std::string readUntil(const std::string& until, std::chrono::milliseconds limit = 2000ms) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < until.size() || got.compare(got.size() - until.size(), until.size(), until) != 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[256];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        got += "<closed>";
        break;
      }
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class VirtualProjectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProjectorOptions options;
    options.tcpPort = 0;
    options.sequenceStepMs = 5;
    options.diagPauseMs = 30;
    std::string error;
    ASSERT_TRUE(projector_.start(options, &error)) << error;
    ASSERT_GT(projector_.tcpPort(), 0);
  }
  VirtualProjector projector_;
};

TEST_F(VirtualProjectorTest, CommandsAndTheirReplies) {
  Client c(projector_.tcpPort());
  ASSERT_TRUE(c.connected());
  c.send("p3\r");
  EXPECT_EQ(c.readUntil(":OK\r\n"), ":OK\r\n");
  EXPECT_EQ(projector_.state().snapshot().pattern, 3);
  c.send("p13\r");
  EXPECT_EQ(c.readUntil("\r\n"), ":ERR\r\n");
  c.send("x42\r");
  EXPECT_EQ(c.readUntil(":OK\r\n"), "42\r\n:OK\r\n");
  c.send("i0a0B0c\r");
  EXPECT_EQ(c.readUntil("\r\n"), ":OK\r\n");
  ProjectorSnapshot s = projector_.state().snapshot();
  EXPECT_EQ(s.red, 0x0a);
  EXPECT_EQ(s.green, 0x0b);
  EXPECT_EQ(s.blue, 0x0c);
  c.send("d\r");
  EXPECT_EQ(c.readUntil("c\r\n"), "diag\r\n//diag.rgb: a.b.c\r\n");
  for (const char* bad : {"iFFFF\r", "ixxxxxx\r", "q\r", "z0\r", "z14\r", "x\r", "p-1\r"}) {
    c.send(bad);
    EXPECT_EQ(c.readUntil("\r\n"), ":ERR\r\n") << bad;
  }
  // r answers nothing; the next reply is the next command's own.
  c.send("r\rx1\r");
  EXPECT_EQ(c.readUntil(":OK\r\n"), "1\r\n:OK\r\n");
  EXPECT_EQ(projector_.state().snapshot().pattern, 0);
}

TEST_F(VirtualProjectorTest, CommandsSplitAcrossWritesAndNoiseLines) {
  Client c(projector_.tcpPort());
  c.send("x");
  std::this_thread::sleep_for(10ms);
  c.send("7\r\n");  // a LF after the CR is ignored
  EXPECT_EQ(c.readUntil(":OK\r\n"), "7\r\n:OK\r\n");
  c.send(std::string(300, 'a'));  // no command is that long
  EXPECT_EQ(c.readUntil("\r\n"), ":ERR\r\n");
  c.send("\rx8\r");
  EXPECT_EQ(c.readUntil(":OK\r\n"), "8\r\n:OK\r\n");
}

// A client that floods without line ends: what the projector keeps stays
// bounded (it used to keep every byte), and it still answers afterwards.
TEST_F(VirtualProjectorTest, FloodWithoutLineEndsIsBounded) {
  Client c(projector_.tcpPort());
  ASSERT_TRUE(c.connected());
  const std::string chunk(64 * 1024, 'a');
  for (int i = 0; i < 48; ++i) {  // 3 MiB
    c.send(chunk);
    c.readUntil("\x01", 1ms);  // drains the ":ERR" answers as they come
  }
  c.send("\rx9\r");
  const std::string tail = c.readUntil("9\r\n:OK\r\n", 5000ms);
  EXPECT_TRUE(tail.ends_with("9\r\n:OK\r\n")) << tail.substr(0, 100);
  EXPECT_LE(projector_.received().size(), VirtualProjector::kMaxReceivedLog);
  EXPECT_TRUE(projector_.received().ends_with("a\rx9\r"));
}

TEST_F(VirtualProjectorTest, SequenceShowsEachPatternAndFiresListeners) {
  std::atomic<int> fired{0};
  std::atomic<int> last{-1};
  int id = projector_.state().addListener([&](const ProjectorSnapshot& s) {
    ++fired;
    last = s.pattern;
  });
  Client c(projector_.tcpPort());
  c.send("z13\r");
  std::string reply = c.readUntil(":OK\r\n");
  EXPECT_EQ(reply.substr(0, 7), "seq 0\r\n");
  EXPECT_NE(reply.find("seq 12\r\n:OK\r\n"), std::string::npos);
  EXPECT_EQ(fired.load(), 13);
  EXPECT_EQ(last.load(), 12);
  projector_.state().removeListener(id);
  c.send("p1\r");
  c.readUntil("\r\n");
  EXPECT_EQ(fired.load(), 13);
}

TEST_F(VirtualProjectorTest, ResetStopsARunningSequence) {
  Client c(projector_.tcpPort());
  c.send("z13\r");
  c.readUntil("seq 1\r\n");
  c.send("r\r");
  std::string rest = c.readUntil(":OK\r\n", 300ms);
  EXPECT_EQ(rest.find(":OK"), std::string::npos);
  EXPECT_EQ(projector_.state().snapshot().pattern, 0);
}

TEST_F(VirtualProjectorTest, Faults) {
  Client c(projector_.tcpPort());
  ProjectorFaults f;
  f.garble = true;
  projector_.setFaults(f);
  c.send("p1\r");
  EXPECT_EQ(c.readUntil("\r\n"), ";NJ\r\n");

  f = ProjectorFaults();
  f.replyDelayMs = 80;
  projector_.setFaults(f);
  auto t0 = std::chrono::steady_clock::now();
  c.send("p1\r");
  EXPECT_EQ(c.readUntil("\r\n"), ":OK\r\n");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 75ms);

  f = ProjectorFaults();
  f.mute = true;
  projector_.setFaults(f);
  c.send("p2\r");
  EXPECT_EQ(c.readUntil("\r\n", 100ms), "");
  EXPECT_EQ(projector_.state().snapshot().pattern, 2);  // carried out all the same

  f = ProjectorFaults();
  f.drop = ProjectorFaults::Drop::AfterPartialReply;
  projector_.setFaults(f);
  c.send("x5\r");
  EXPECT_EQ(c.readUntil("<closed>"), "5\r\n<closed>");

  Client d(projector_.tcpPort());
  f.drop = ProjectorFaults::Drop::AtCommand;
  projector_.setFaults(f);
  d.send("x5\r");
  EXPECT_EQ(d.readUntil("<closed>"), "<closed>");
  // One-shot: the next connection is served again.
  Client e(projector_.tcpPort());
  e.send("x6\r");
  EXPECT_EQ(e.readUntil(":OK\r\n"), "6\r\n:OK\r\n");
  EXPECT_EQ(projector_.connectionsAccepted(), 3);
}

TEST_F(VirtualProjectorTest, DiagTextOverride) {
  Client c(projector_.tcpPort());
  projector_.setDiagText("//diag.rgb: 10.20.ff");
  c.send("d\r");
  EXPECT_EQ(c.readUntil("ff\r\n"), "diag\r\n//diag.rgb: 10.20.ff\r\n");
}

TEST(ProjectorState, SharedMemoryMirrorIsReadableByName) {
  std::string name = "zelsim_projector_test_" + std::to_string(::getpid());
  EXPECT_FALSE(ProjectorStateReader::open(name));
  {
    ProjectorState state;
    ASSERT_TRUE(state.mirrorTo(name));
    auto reader = ProjectorStateReader::open(name);
    ASSERT_TRUE(reader);
    ProjectorSnapshot s;
    ASSERT_TRUE(reader->read(&s));
    EXPECT_EQ(s.pattern, 0);
    EXPECT_EQ(s.generation, 0u);
    state.showPattern(9);
    state.setLight(1, 2, 3);
    ASSERT_TRUE(reader->read(&s));
    EXPECT_EQ(s.pattern, 9);
    EXPECT_EQ(s.generation, 1u);
    EXPECT_EQ(s.red, 1);
    EXPECT_EQ(s.green, 2);
    EXPECT_EQ(s.blue, 3);
  }
  EXPECT_FALSE(ProjectorStateReader::open(name));  // removed with its writer
}

TEST(ProjectorCommand, HelpAndUsageErrors) {
  char name[] = "projector";
  char help[] = "--help";
  char* helpArgs[] = {name, help};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(runProjectorCommand(2, helpArgs), 0);
  std::string text = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(text.find("usage: zelsim projector [--tcp ADDR:PORT] [--pty]"), std::string::npos);

  char bogus[] = "--bogus";
  char* bogusArgs[] = {name, bogus};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runProjectorCommand(2, bogusArgs), 2);
  char tcp[] = "--tcp";
  char noPort[] = "127.0.0.1";
  char* tcpArgs[] = {name, tcp, noPort};
  EXPECT_EQ(runProjectorCommand(3, tcpArgs), 2);
  char* missing[] = {name, tcp};
  EXPECT_EQ(runProjectorCommand(2, missing), 2);
  ::testing::internal::GetCapturedStderr();
}

TEST(ProjectorCommand, ServesUntilInterrupted) {
  char name[] = "projector";
  char tcp[] = "--tcp";
  char where[] = "127.0.0.1:0";
  char pty[] = "--pty";
  char* args[] = {name, tcp, where, pty};
  // Blocked before the stopper runs, so the signal can only end the wait.
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &term, &previous);
  ::testing::internal::CaptureStdout();
  pthread_t self = ::pthread_self();
  std::thread stopper([self] {
    std::this_thread::sleep_for(100ms);
    ::pthread_kill(self, SIGTERM);
  });
  int rc = runProjectorCommand(4, args);
  stopper.join();
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out.rfind("projector: tcp 127.0.0.1:", 0), 0u) << out;
  EXPECT_NE(out.find("projector: pty /dev/"), std::string::npos) << out;
}

}  // namespace
}  // namespace sim
