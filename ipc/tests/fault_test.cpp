// Faults across processes: peers that die, peers that lie, and load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ipc.h"
#include "ipc/tests/test_support.h"

namespace {

using ipctest::Child;
using ipctest::readFile;
using ipctest::waitFor;

class IpcFault : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = ipctest::uniqueName("fault");
    log_ = ipctest::tempPath(name_ + ".log");
  }
  std::string name_;
  std::string log_;
};

TEST_F(IpcFault, ServerKilledDuringAWaitingRequest) {
  Child server([this] {
    std::unique_ptr<IIpcServer> s(CreateIpcServerInstance());
    ipctest::ScriptedCallback cb;
    s->setCallback(&cb);
    if (!s->start(name_.c_str(), 4)) return 1;
    Child::tell("up");
    for (;;) ::pause();
  });
  server.go();
  ASSERT_EQ(server.hear(), "up");

  ipctest::RecordingCallback rec;  // outlives the client's read thread
  std::unique_ptr<IIpcClient> c(CreateIpcClientInstance());
  c->setLog(1, log_.c_str());
  c->setCallback(&rec);
  ASSERT_TRUE(c->connect(name_.c_str()));
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.kill9();
  });
  int ok = -1;
  EXPECT_EQ(c->getInt("hang", &ok, 1), 0);  // the callback would block 30 s
  killer.join();
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(rec.countOp('Q'), 1);
  EXPECT_TRUE(ipctest::logHas(log_, "[client] end of thread_read.\n"));
  EXPECT_NE(readFile(log_).find("[client] disconnected\n"), std::string::npos);
  EXPECT_EQ(server.wait(), 128 + SIGKILL);

  // The dead server left no guard: the name starts again at once.
  std::unique_ptr<IIpcServer> again(CreateIpcServerInstance());
  ipctest::ScriptedCallback cb;
  again->setCallback(&cb);
  ASSERT_TRUE(again->start(name_.c_str(), 4));
  ASSERT_TRUE(c->connect(name_.c_str()));
  EXPECT_EQ(c->getInt("answer", &ok, 1), 42);
}

TEST_F(IpcFault, ClientsKilledMidRequestStallNothing) {
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  server->setLog(1, log_.c_str());
  ipctest::ScriptedCallback cb;
  server->setCallback(&cb);
  ASSERT_TRUE(server->start(name_.c_str(), 8));
  std::unique_ptr<IIpcClient> good(CreateIpcClientInstance());
  ASSERT_TRUE(good->connect(name_.c_str()));

  // One dies inside the server's callback, one after half a message.
  Child slow([this] {
    std::unique_ptr<IIpcClient> c(CreateIpcClientInstance());
    if (!c->connect(name_.c_str())) return 1;
    Child::tell("asking");
    c->getInt("slow", nullptr, 1);
    return 0;
  });
  Child partial([this] {
    ipctest::RawPeer peer(name_);
    if (!peer.accepted()) return 1;
    auto msg = ipctest::makeMessage(1, 'S', 'A', "part", "0123456789", 10);
    std::uint32_t len = 1000;  // announces more than it sends
    std::memcpy(msg.data() + 28, &len, 4);
    peer.send(msg.data(), msg.size());
    Child::tell("sent");
    for (;;) ::pause();
  });
  slow.go();
  partial.go();
  ASSERT_EQ(slow.hear(), "asking");
  ASSERT_EQ(partial.hear(), "sent");
  ASSERT_TRUE(waitFor([&] { return server->getClientCount() == 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  slow.kill9();
  partial.kill9();
  // The good client is served while the dead ones are cleaned up.
  int ok = 0;
  for (int i = 0; i < 50; ++i) ASSERT_EQ(good->getInt("answer", &ok, 1), 42);
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 1; }));
  EXPECT_TRUE(ipctest::logHas(log_, "message cut short"));
  EXPECT_EQ(good->getInt("answer", &ok, 1), 42);
  // The connection is idle again once its thread has finished the reply.
  EXPECT_TRUE(waitFor([&] { return server->notifyValue("alive", 'I', 1); }));
}

TEST_F(IpcFault, MalformedPeersLoseOnlyTheirConnection) {
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  server->setLog(1, log_.c_str());
  ipctest::ScriptedCallback cb;
  server->setCallback(&cb);
  ASSERT_TRUE(server->start(name_.c_str(), 8));
  std::unique_ptr<IIpcClient> good(CreateIpcClientInstance());
  ASSERT_TRUE(good->connect(name_.c_str()));

  {
    ipctest::RawPeer oversized(name_);
    ASSERT_TRUE(oversized.accepted());
    auto msg = ipctest::makeMessage(1, 'S', 'A', "huge", nullptr, 0);
    std::uint32_t len = 70000;
    std::memcpy(msg.data() + 28, &len, 4);
    std::vector<std::uint8_t> junk(msg);
    junk.resize(4096, 0x41);
    ASSERT_TRUE(oversized.send(junk.data(), junk.size()));
    EXPECT_TRUE(oversized.closedByServer());
  }
  {
    ipctest::RawPeer shortHeader(name_);
    ASSERT_TRUE(shortHeader.accepted());
    std::uint8_t bytes[20] = {1, 0, 'G', 'I', 'x'};
    ASSERT_TRUE(shortHeader.send(bytes, sizeof bytes));
    shortHeader.shutdownWrite();
    EXPECT_TRUE(shortHeader.closedByServer());
  }
  {
    // Garbage that happens to frame: answered, not trusted.
    ipctest::RawPeer garbage(name_);
    ASSERT_TRUE(garbage.accepted());
    std::vector<std::uint8_t> msg(32, 0xFF);
    std::memset(msg.data() + 28, 0, 4);
    ASSERT_TRUE(garbage.send(msg.data(), msg.size()));
    auto reply = garbage.receive();
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(reply[2], 'R');
  }
  std::string log = readFile(log_);
  EXPECT_NE(log.find("len[70000] exceeds 65503 bytes, connection closed\n"), std::string::npos);
  EXPECT_NE(log.find("message cut short, connection closed\n"), std::string::npos);
  int ok = 0;
  EXPECT_EQ(good->getInt("answer", &ok, 1), 42);
  EXPECT_EQ(ok, 1);
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 1; }));
}

TEST_F(IpcFault, EightClientsTenThousandRequestsEach) {
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  server->setLog(0, nullptr);  // silent: 80,000 requests, not a log test
  ipctest::ScriptedCallback cb;
  server->setCallback(&cb);
  ASSERT_TRUE(server->start(name_.c_str(), 8));
  constexpr int kClients = 8;
  constexpr int kRequests = 10000;
  std::vector<std::unique_ptr<Child>> children;
  for (int k = 0; k < kClients; ++k) {
    children.push_back(std::make_unique<Child>([this, k] {
      ipctest::RecordingCallback rec;  // outlives the client's read thread
      std::unique_ptr<IIpcClient> c(CreateIpcClientInstance());
      c->setCallback(&rec);
      if (!c->connect(name_.c_str())) return 1;
      char name[20];
      for (int i = 0; i < kRequests; ++i) {
        std::snprintf(name, sizeof name, "c%d_%d", k, i);
        int ok = 0;
        int v = c->getInt(name, &ok, 1);
        if (!ok) return 2;
        if (v != k * 100000 + i) return 3;  // lost or mismatched reply
      }
      return 0;
    }));
  }
  for (auto& c : children) c->go();
  // Notifications flow meanwhile; they must never be taken for a reply.
  std::atomic<bool> done{false};
  std::thread notifier([&] {
    while (!done) {
      server->notifyValue("tick", 'I', 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int k = 0; k < kClients; ++k) EXPECT_EQ(children[k]->wait(120000), 0) << "client " << k;
  done = true;
  notifier.join();
  EXPECT_GE(cb.count.load(), kClients * kRequests);
}

}  // namespace
