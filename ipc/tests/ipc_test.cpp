// Server and clients in separate processes, talking through the shared
// library exactly as applications do.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "ipc.h"
#include "ipc/tests/test_support.h"

namespace {

using ipctest::Child;
using ipctest::countOf;
using ipctest::readFile;
using ipctest::waitFor;

template <typename T>
std::uintptr_t slotOf(T member) {
  // Itanium ABI: a pointer to a virtual member holds 1 + its vtable offset.
  std::uintptr_t raw[2];
  static_assert(sizeof member == sizeof raw);
  std::memcpy(raw, &member, sizeof raw);
  return (raw[0] - 1) / sizeof(void*);
}

TEST(IpcInterface, SlotsInBinaryOrder) {
  // The destructor takes two vtable entries (complete and deleting).
  EXPECT_EQ(slotOf(&IIpcCallback::onMessage), 0u);
  EXPECT_EQ(slotOf(&IIpcCallback::create), 1u);

  EXPECT_EQ(slotOf(&IIpcServer::setLog), 0u);
  EXPECT_EQ(slotOf(&IIpcServer::start), 3u);
  EXPECT_EQ(slotOf(&IIpcServer::stop), 4u);
  EXPECT_EQ(slotOf(&IIpcServer::setCallback), 5u);
  EXPECT_EQ(slotOf(&IIpcServer::notify), 6u);
  EXPECT_EQ(slotOf(&IIpcServer::notifyValue), 7u);
  EXPECT_EQ(slotOf(&IIpcServer::notifyData), 8u);
  EXPECT_EQ(slotOf(&IIpcServer::getClientCount), 9u);
  EXPECT_EQ(slotOf(&IIpcServer::createSharedMemory), 10u);
  EXPECT_EQ(slotOf(&IIpcServer::releaseSharedMemory), 11u);

  EXPECT_EQ(slotOf(&IIpcClient::setLog), 0u);
  EXPECT_EQ(slotOf(&IIpcClient::connect), 3u);
  EXPECT_EQ(slotOf(&IIpcClient::disconnect), 4u);
  EXPECT_EQ(slotOf(&IIpcClient::getInt), 5u);
  EXPECT_EQ(slotOf(&IIpcClient::getFloat), 6u);
  EXPECT_EQ(slotOf(&IIpcClient::getDouble), 7u);
  EXPECT_EQ(slotOf(&IIpcClient::getData), 8u);
  EXPECT_EQ(slotOf(&IIpcClient::setInt), 9u);
  EXPECT_EQ(slotOf(&IIpcClient::setFloat), 10u);
  EXPECT_EQ(slotOf(&IIpcClient::setDouble), 11u);
  EXPECT_EQ(slotOf(&IIpcClient::setData), 12u);
  EXPECT_EQ(slotOf(&IIpcClient::setCmd), 13u);
  EXPECT_EQ(slotOf(&IIpcClient::setCallback), 14u);
  EXPECT_EQ(slotOf(&IIpcClient::clearCallback), 15u);
  EXPECT_EQ(slotOf(&IIpcClient::MapMemory), 16u);
  EXPECT_EQ(slotOf(&IIpcClient::UnmapMemory), 17u);
}

class IpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = ipctest::uniqueName("ipc");
    log_ = ipctest::tempPath(name_ + ".log");
  }

  // A server process with the scripted callback; it logs to serverLog_ and
  // runs until killed, after telling "up" (or "down" when start failed).
  std::unique_ptr<Child> serverProcess(int maxConnections = 4, std::function<void(IIpcServer&)> then = nullptr) {
    serverLog_ = ipctest::tempPath(name_ + ".server.log");
    auto child = std::make_unique<Child>([=, this] {
      std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
      server->setLog(1, serverLog_.c_str());
      ipctest::ScriptedCallback cb;
      server->setCallback(&cb);
      if (!server->start(name_.c_str(), maxConnections)) {
        Child::tell("down");
        return 1;
      }
      if (then) then(*server);
      Child::tell("up");
      for (;;) ::pause();
    });
    child->go();
    EXPECT_EQ(child->hear(), "up");
    return child;
  }

  std::unique_ptr<IIpcClient> client() {
    std::unique_ptr<IIpcClient> c(CreateIpcClientInstance());
    c->setLog(1, log_.c_str());
    return c;
  }

  std::string name_;
  std::string log_;
  std::string serverLog_;
};

TEST_F(IpcTest, RepliesOnTheWire) {
  auto server = serverProcess();
  ipctest::RawPeer peer(name_);
  ASSERT_TRUE(peer.connected());
  ASSERT_TRUE(peer.accepted());

  auto get = ipctest::makeMessage(0xBEEF, 'G', 'I', "answer", nullptr, 0);
  ASSERT_TRUE(peer.send(get.data(), get.size()));
  auto reply = peer.receive();
  ASSERT_EQ(reply.size(), 36u);
  EXPECT_EQ(reply[2], 'R');
  EXPECT_EQ(reply[3], 'I');
  EXPECT_EQ(reply[0] | (reply[1] << 8), 0xBEEF);
  std::int32_t status, len, value;
  std::memcpy(&status, &reply[24], 4);
  std::memcpy(&len, &reply[28], 4);
  std::memcpy(&value, &reply[32], 4);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&reply[4])), "answer");

  double d = -7.75;
  auto accept = ipctest::makeMessage(2, 'S', 'D', "gain", &d, 8);
  auto refuse = ipctest::makeMessage(3, 'S', 'D', "refuse_gain", &d, 8);
  // Joined in one write: the server must still see two messages.
  std::vector<std::uint8_t> both(accept);
  both.insert(both.end(), refuse.begin(), refuse.end());
  ASSERT_TRUE(peer.send(both.data(), both.size()));
  auto r1 = peer.receive();
  auto r2 = peer.receive();
  ASSERT_EQ(r1.size(), 40u);
  ASSERT_EQ(r2.size(), 40u);
  std::memcpy(&status, &r1[24], 4);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(std::memcmp(&r1[32], &d, 8), 0);
  std::memcpy(&status, &r2[24], 4);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(r2.begin() + 32, r2.end()), std::vector<std::uint8_t>(8, 0));

  // The server logs after it sends: give it the moment.
  EXPECT_TRUE(ipctest::logHas(serverLog_, "[server] 36 bytes sended\n"));
  EXPECT_TRUE(ipctest::logHas(serverLog_, "[server] send 36 bytes\n"));
  std::string log = readFile(serverLog_);
  EXPECT_NE(log.find("[server] wait client connection...\n"), std::string::npos);
  EXPECT_NE(log.find("connected\n"), std::string::npos);
  EXPECT_NE(log.find("[server] id[48879] 32 bytes received\n"), std::string::npos);
}

TEST_F(IpcTest, ClientGetsAndSetsThroughTheServer) {
  auto server = serverProcess();
  auto c = client();
  ASSERT_TRUE(c->connect(name_.c_str()));
  int ok = -1;
  EXPECT_EQ(c->getInt("answer", &ok, 1), 42);
  EXPECT_EQ(ok, 1);
  EXPECT_FLOAT_EQ(c->getFloat("pi", &ok, 1), 3.5f);
  EXPECT_EQ(ok, 1);
  EXPECT_DOUBLE_EQ(c->getDouble("e", &ok, 1), 2.5);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(c->getInt("unknown", &ok, 1), 0);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(c->getInt("answer", nullptr, 1), 42);  // a null flag pointer is allowed

  // getData: a 10-byte destination takes 10 of the 100 bytes
  std::uint8_t small[10];
  int received = -1;
  EXPECT_EQ(c->getData("blob", small, 10, &received, &ok, 1), 10);
  EXPECT_EQ(received, 10);
  EXPECT_EQ(ok, 1);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(small[i], i);
  std::vector<std::uint8_t> large(70000, 0xCC);
  EXPECT_EQ(c->getData("big", large.data(), 70000, &received, &ok, 1), 65503);
  EXPECT_EQ(large[65502], 65502 & 0xff);
  EXPECT_EQ(large[65503], 0xCC);  // nothing past the data
  EXPECT_EQ(c->getData("nothing", small, 10, &received, &ok, 1), 0);
  EXPECT_EQ(ok, 0);

  EXPECT_TRUE(c->setInt("value", 5, 1));
  EXPECT_FALSE(c->setInt("refuse_value", 5, 1));
  EXPECT_TRUE(c->setFloat("f", 1.5f, 1));
  EXPECT_TRUE(c->setDouble("d", 2.0, 1));
  EXPECT_FALSE(c->setDouble("refuse_d", 2.0, 1));
  std::vector<std::uint8_t> payload(65503, 0x5A);
  EXPECT_TRUE(c->setData("data", payload.data(), 65503, 1));
  EXPECT_FALSE(c->setData("data", payload.data(), 65504, 1));  // more than a message holds
  EXPECT_TRUE(c->setCmd("cmd", 1));
  EXPECT_FALSE(c->setCmd("other", 1));

  // Without waiting: 0 and success at once; the late replies must not be
  // taken for the answer of the next waiting request.
  ok = -1;
  EXPECT_EQ(c->getInt("slow", &ok, 0), 0);
  EXPECT_EQ(ok, 1);
  received = -1;
  EXPECT_EQ(c->getData("blob", small, 10, &received, &ok, 0), 0);
  EXPECT_EQ(received, 0);
  EXPECT_TRUE(c->setInt("value", 9, 0));
  EXPECT_EQ(c->getInt("answer", &ok, 1), 42);
  EXPECT_EQ(ok, 1);

  std::string log = readFile(log_);
  EXPECT_NE(log.find("[client] cmd[answer] getInt wait[1] >>>\n[client] wait...\n"), std::string::npos);
  EXPECT_NE(log.find("[client] wait...done\n[client] cmd[answer] getInt wait[1] <<<\n"), std::string::npos);
  EXPECT_NE(log.find("[client] cmd[value] setInt[5] wait[1] >>>\n"), std::string::npos);
  EXPECT_NE(log.find("[client] cmd[data] setData : size[65503] wait[1] >>>\n"), std::string::npos);
  EXPECT_NE(log.find("[client] start thread_read...\n"), std::string::npos);
  c->disconnect();
  EXPECT_NE(readFile(log_).find("[client] end of thread_read.\n"), std::string::npos);
}

TEST_F(IpcTest, ServerSeesTheRequestsAsSent) {
  // Server in this process, client in a child.
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  ipctest::ScriptedCallback cb;
  server->setCallback(&cb);
  // The child is forked before the server starts its threads.
  Child child([this] {
    std::unique_ptr<IIpcClient> c(CreateIpcClientInstance());
    if (!c->connect(name_.c_str())) return 1;
    if (!c->setInt("value", 5, 1)) return 2;
    if (!c->setInt("a_name_much_longer_than_nineteen", 1, 1)) return 3;
    if (!c->setCmd("cmd", 1)) return 4;
    const char text[] = "hello";
    if (!c->setData("text", text, 5, 1)) return 5;
    return 0;
  });
  ASSERT_TRUE(server->start(name_.c_str(), 2));
  child.go();
  ASSERT_EQ(child.wait(), 0);
  auto seen = cb.seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].op, 'S');
  EXPECT_EQ(seen[0].type, 'I');
  EXPECT_EQ(seen[0].name, "value");
  EXPECT_EQ(seen[0].len, 4);
  std::int32_t v;
  std::memcpy(&v, seen[0].data.data(), 4);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(seen[1].id, seen[0].id + 1);
  EXPECT_EQ(seen[1].name, "a_name_much_longer_");  // cut to 19
  EXPECT_EQ(seen[2].op, 'C');
  EXPECT_EQ(seen[2].type, 'I');
  EXPECT_EQ(seen[2].len, 0);
  EXPECT_EQ(seen[3].type, 'A');
  EXPECT_EQ(std::string(seen[3].data.begin(), seen[3].data.end()), "hello");
}

TEST_F(IpcTest, NotificationsReachIdleClients) {
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  ipctest::ScriptedCallback cb;
  server->setCallback(&cb);
  EXPECT_FALSE(server->notifyData("none", 'A', "abc", 0));  // nobody to receive it
  server->setLog(1, log_.c_str());
  std::vector<char> tooBig(70000, 'x');
  EXPECT_FALSE(server->notifyData("big", 'A', tooBig.data(), 70000));
  EXPECT_FALSE(server->notifyData("null", 'A', nullptr, 10));
  EXPECT_EQ(countOf(readFile(log_), "does not fit a message\n"), 2u);

  // The child is forked before the server starts its threads.
  Child child([this] {
    ipctest::RecordingCallback ra, rb;  // outlive the clients' read threads
    std::unique_ptr<IIpcClient> a(CreateIpcClientInstance());
    std::unique_ptr<IIpcClient> b(CreateIpcClientInstance());
    a->setCallback(&ra);
    b->setCallback(&rb);
    if (!a->connect(name_.c_str()) || !b->connect(name_.c_str())) return 1;
    Child::tell("connected");
    if (!waitFor([&] { return ra.countOp('T') == 4 && rb.countOp('T') == 4; })) return 2;
    for (auto* r : {&ra, &rb}) {
      auto got = r->got();
      const auto& text = got[0];
      if (text.name != "txt" || text.type != 'A' || text.len != 3 || text.status != 1 ||
          std::string(text.data.begin(), text.data.end()) != "abc")
        return 3;
      std::int32_t i;
      std::memcpy(&i, got[1].data.data(), 4);
      if (got[1].type != 'I' || got[1].len != 4 || i != 7) return 4;
      float f;
      std::memcpy(&f, got[2].data.data(), 4);
      if (got[2].type != 'F' || got[2].len != 4 || f != 1.5f) return 5;
      if (got[3].type != 0 || got[3].len != 0 || got[3].name != "bare") return 6;
      if (got[1].id == got[0].id) return 7;  // the counter moves on
    }
    return 0;
  });
  ASSERT_TRUE(server->start(name_.c_str(), 4));
  child.go();
  ASSERT_EQ(child.hear(), "connected");
  ASSERT_TRUE(waitFor([&] { return server->getClientCount() == 2; }));
  EXPECT_TRUE(server->notifyData("txt", 'A', "abc", 0));
  EXPECT_TRUE(server->notifyValue("iv", 'I', 7));
  EXPECT_TRUE(server->notifyValue("fv", 'F', 1.5));
  EXPECT_TRUE(server->notify("bare"));
  EXPECT_EQ(child.wait(), 0);
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }));
}

TEST_F(IpcTest, MaxConnectionsTurnsAwayTheSecondClient) {
  auto server = serverProcess(1);
  auto first = client();
  auto second = client();
  ASSERT_TRUE(first->connect(name_.c_str()));
  EXPECT_FALSE(second->connect(name_.c_str()));
  EXPECT_NE(readFile(log_).find("[client] error: no more connections\n"), std::string::npos);
  EXPECT_EQ(first->getInt("answer", nullptr, 1), 42);
  first->disconnect();
  // The server offers the place again once it has seen the disconnect.
  EXPECT_TRUE(waitFor([&] { return second->connect(name_.c_str()); }));
  int ok = 0;
  EXPECT_EQ(second->getInt("answer", &ok, 1), 42);
  EXPECT_TRUE(waitFor([&] { return countOf(readFile(serverLog_), "[server] wait client connection...\n") >= 2; }));
  std::string log = readFile(serverLog_);
  EXPECT_NE(log.find("[server] warning: server has reached maximum number of simultaneous connection\n"),
            std::string::npos);
  EXPECT_NE(log.find("[server] client[0] disconnected\n"), std::string::npos);
  EXPECT_NE(log.find("clinet[1] pid[0x"), std::string::npos);
}

TEST_F(IpcTest, SecondServerOfTheSameNameIsRefused) {
  auto first = serverProcess();
  std::unique_ptr<IIpcServer> second(CreateIpcServerInstance());
  second->setLog(1, log_.c_str());
  EXPECT_FALSE(second->start(name_.c_str(), 4));
  EXPECT_NE(readFile(log_).find("[server] error: server process already running\n"), std::string::npos);
  // The running server is untouched.
  auto c = client();
  ASSERT_TRUE(c->connect(name_.c_str()));
  EXPECT_EQ(c->getInt("answer", nullptr, 1), 42);

  // Another name starts, stops and starts again in one process.
  std::string other = name_ + "b";
  EXPECT_TRUE(second->start(other.c_str(), 1));
  second->stop();
  EXPECT_TRUE(second->start(other.c_str(), 1));
}

TEST_F(IpcTest, HostPartOfTheName) {
  auto server = serverProcess();
  auto c = client();
  EXPECT_TRUE(c->connect(("\\\\.\\" + name_).c_str()));
  EXPECT_EQ(c->getInt("answer", nullptr, 1), 42);
  c->disconnect();
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_TRUE(c->connect(("\\\\" + std::string(host) + "\\" + name_).c_str()));
  EXPECT_EQ(c->getInt("answer", nullptr, 1), 42);
  c->disconnect();

  EXPECT_FALSE(c->connect(("\\\\no-such-host-here\\" + name_).c_str()));
  EXPECT_FALSE(c->connect((name_ + "_missing").c_str()));
  EXPECT_FALSE(c->connect("../escape"));
  EXPECT_EQ(countOf(readFile(log_), "[client] error: failed to connect named pipe\n"), 3u);
  EXPECT_EQ(c->getInt("answer", nullptr, 1), 0);  // not connected: fails at once
  EXPECT_NE(readFile(log_).find("[client] error: WriteFile\n"), std::string::npos);
}

TEST_F(IpcTest, SharedMemoryViews) {
  std::string shm = ipctest::uniqueName("shm");
  auto server = serverProcess(4, [shm](IIpcServer& s) {
    auto* p = static_cast<std::uint8_t*>(s.createSharedMemory(shm.c_str(), 4096));
    if (p) std::memcpy(p, "pattern", 8);
  });
  auto c = client();
  auto* v1 = static_cast<char*>(c->MapMemory(shm.c_str()));
  auto* v2 = static_cast<char*>(c->MapMemory(shm.c_str()));
  ASSERT_NE(v1, nullptr);
  ASSERT_NE(v2, nullptr);
  EXPECT_NE(v1, v2);
  EXPECT_STREQ(v1, "pattern");
  v1[4095] = 'z';
  EXPECT_EQ(v2[4095], 'z');  // two views of one block
  auto mapped = [&] { return countOf(readFile("/proc/self/maps"), "/dev/shm/" + shm); };
  EXPECT_EQ(mapped(), 2u);
  c->UnmapMemory(nullptr);
  EXPECT_EQ(mapped(), 0u);
  EXPECT_EQ(countOf(readFile(log_), "[client] MapMemory OK.\n"), 2u);
  EXPECT_EQ(c->MapMemory((shm + "x").c_str()), nullptr);
  EXPECT_NE(readFile(log_).find("[client] error: OpenFileMapping [2]\n)"), std::string::npos);

  // The server's own block: released one by one or all at once.
  std::unique_ptr<IIpcServer> s(CreateIpcServerInstance());
  s->setLog(1, log_.c_str());
  std::string own = shm + "s";
  void* a = s->createSharedMemory(own.c_str(), 100);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(s->createSharedMemory("", 100), nullptr);
  EXPECT_NE(readFile(log_).find("[server] error: CreateFileMapping [22]\n)"), std::string::npos);
  void* view = c->MapMemory(own.c_str());
  ASSERT_NE(view, nullptr);
  c->UnmapMemory(view);
  s->releaseSharedMemory(a);
  EXPECT_EQ(c->MapMemory(own.c_str()), nullptr);  // released by its creator: gone
  // The server process is killed, not stopped: remove its block here.
  ::shm_unlink(("/" + shm).c_str());
}

TEST_F(IpcTest, ServerStopReachesTheClient) {
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  server->setLog(1, log_.c_str());
  ipctest::ScriptedCallback cb;
  server->setCallback(&cb);
  // The child is forked before the server starts its threads.
  Child child([this] {
    ipctest::RecordingCallback rec;  // outlives the client's read thread
    std::unique_ptr<IIpcClient> c(CreateIpcClientInstance());
    c->setCallback(&rec);
    if (!c->connect(name_.c_str())) return 1;
    Child::tell("connected");
    if (!waitFor([&] { return rec.countOp('Q') == 1; })) return 2;
    auto q = rec.got().back();
    if (q.type != 'I' || q.status != 0 || q.len != 4 || !q.name.empty()) return 3;
    int ok = 1;
    c->getInt("answer", &ok, 1);  // the server is gone: fails at once
    return ok == 0 ? 0 : 4;
  });
  ASSERT_TRUE(server->start(name_.c_str(), 2));
  child.go();
  ASSERT_EQ(child.hear(), "connected");
  ASSERT_TRUE(waitFor([&] { return server->getClientCount() == 1; }));
  server->stop();
  EXPECT_EQ(server->getClientCount(), 0u);
  EXPECT_EQ(child.wait(), 0);
  EXPECT_NE(readFile(log_).find("[server] error: client[0] wait_event\n"), std::string::npos);
  EXPECT_TRUE(server->start(name_.c_str(), 2));  // listens again after stop
}

// create() per connection: each connection gets its own object, freed when
// the connection is removed.
struct CountingCallback : IIpcCallback {
  static std::atomic<int> created;
  int tag = 0;
  int onMessage(std::uint16_t, char op, const char*, char, std::int32_t* status, void* data, std::int32_t*) override {
    if (op == 'G') *static_cast<std::int32_t*>(data) = tag;
    *status = 1;
    return 0;
  }
  IIpcCallback* create() override {
    auto* c = new CountingCallback;
    c->tag = ++created;
    return c;
  }
};
std::atomic<int> CountingCallback::created{0};

TEST_F(IpcTest, CreatePerConnection) {
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  server->setLog(1, log_.c_str());
  CountingCallback cb;
  server->setCallback(&cb);
  // The child is forked before the server starts its threads.
  Child child([this] {
    std::unique_ptr<IIpcClient> a(CreateIpcClientInstance());
    std::unique_ptr<IIpcClient> b(CreateIpcClientInstance());
    if (!a->connect(name_.c_str()) || !b->connect(name_.c_str())) return 1;
    int ta = a->getInt("tag", nullptr, 1);
    int tb = b->getInt("tag", nullptr, 1);
    return ta != tb && ta > 0 && tb > 0 ? 0 : 2;
  });
  ASSERT_TRUE(server->start(name_.c_str(), 4));
  child.go();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(CountingCallback::created, 2);
  EXPECT_EQ(countOf(readFile(log_), "ipc->on_cbfunc_->create()=0x"), 2u);
  server->stop();  // frees both objects (ASan reports a leak otherwise)
}

}  // namespace

namespace {

// Client callback that tries a request from inside the callback.
struct ReentrantCallback : IIpcCallback {
  IIpcClient* client = nullptr;
  std::atomic<int> refused{0};
  int onMessage(std::uint16_t, char op, const char*, char, std::int32_t*, void*, std::int32_t*) override {
    if (op == 'T') {
      int ok = 1;
      client->getInt("answer", &ok, 1);
      if (ok == 0) ++refused;
    }
    return 0;
  }
  IIpcCallback* create() override { return nullptr; }
};

TEST_F(IpcTest, OneClientManyThreads) {
  ReentrantCallback reentrant;
  auto c = client();  // configures the logger before any thread logs
  std::unique_ptr<IIpcServer> server(CreateIpcServerInstance());
  ipctest::ScriptedCallback cb;
  server->setCallback(&cb);
  ASSERT_TRUE(server->start(name_.c_str(), 2));
  reentrant.client = c.get();
  c->setCallback(&reentrant);
  ASSERT_TRUE(c->connect(name_.c_str()));
  // Requests of one client object are made one at a time, whatever thread
  // calls: every thread gets its own answers.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      char name[20];
      for (int i = 0; i < 300; ++i) {
        std::snprintf(name, sizeof name, "c%d_%d", k, i);
        int ok = 0;
        if (c->getInt(name, &ok, 1) != k * 100000 + i || !ok) ++wrong;
        if (i % 50 == 0) c->setInt("v", i, 0);  // replies nobody waits for
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  // A request from inside the callback fails instead of hanging.
  ASSERT_TRUE(waitFor([&] { return server->notify("n"); }));
  EXPECT_TRUE(waitFor([&] { return reentrant.refused == 1; }));
  EXPECT_TRUE(ipctest::logHas(log_, "[client] error: request from inside the callback\n"));
  EXPECT_EQ(c->getInt("answer", nullptr, 1), 42);
}

}  // namespace

namespace {

// A fake server on the raw socket: accepts one client, reads its request
// and answers with whatever the test gives.
class FakeServer {
 public:
  explicit FakeServer(const std::string& name) {
    std::string dir = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/orvipc";
    ::mkdir(dir.c_str(), 0700);
    path_ = dir + "/" + name;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 4);
  }
  ~FakeServer() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  void answerWith(std::vector<std::uint8_t> bytes) {
    thread_ = std::thread([this, bytes] {
      int c = ::accept(fd_, nullptr, nullptr);
      char accepted = 'A';
      ::send(c, &accepted, 1, MSG_NOSIGNAL);
      std::uint8_t request[32];
      ::recv(c, request, sizeof request, MSG_WAITALL);
      ::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      char rest;
      while (::recv(c, &rest, 1, 0) > 0) {
      }
      ::close(c);
    });
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::thread thread_;
};

TEST_F(IpcTest, ClientRefusesAnOversizedReply) {
  FakeServer fake(name_);
  auto reply = ipctest::makeMessage(0, 'R', 'A', "x", nullptr, 0);
  std::uint32_t len = 1u << 20;
  std::memcpy(reply.data() + 28, &len, 4);
  reply.resize(4096, 0x42);
  fake.answerWith(reply);
  ipctest::RecordingCallback rec;
  auto c = client();
  c->setCallback(&rec);
  ASSERT_TRUE(c->connect(name_.c_str()));
  std::vector<std::uint8_t> dest(100);
  int ok = 1, received = -1;
  EXPECT_EQ(c->getData("x", dest.data(), 100, &received, &ok, 1), 0);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(received, -1);  // untouched on failure
  EXPECT_EQ(rec.countOp('Q'), 1);
  EXPECT_EQ(rec.countOp('R'), 0);  // the broken message never reaches the callback
  EXPECT_NE(readFile(log_).find("[client] error: len[1048576] exceeds 65503 bytes\n"), std::string::npos);
  c->disconnect();  // the fake server's thread ends with the connection
}

}  // namespace
