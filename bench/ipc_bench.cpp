// Round trip of getInt with wait (median, p99) and setData of 65503 bytes
// (MB/s) through OrvComIpc, server and client in two processes; in the same
// run the floor: a plain Unix-socket ping-pong of the same message sizes
// between two processes. Rounds alternate between the two so that load from
// other users of the machine falls on both alike.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ipc.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kHeader = 32;
constexpr std::size_t kBigData = 65503;
constexpr int kRounds = 20;
constexpr int kSmallPerRound = 1000;
constexpr int kBigPerRound = 100;

class BenchCallback : public IIpcCallback {
 public:
  int onMessage(std::uint16_t, char op, const char*, char type, std::int32_t* status, void* data,
                std::int32_t*) override {
    if (op == 'G' && type == 'I') *static_cast<std::int32_t*>(data) = 42;
    *status = 1;
    return 0;
  }
  IIpcCallback* create() override { return nullptr; }
};

bool writeAll(int fd, const void* buf, std::size_t n) {
  auto* p = static_cast<const std::uint8_t*>(buf);
  while (n > 0) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// Reads one whole message (header and len bytes) into buf, asking for as
// much as the socket has, as a careful hand-written peer would.
bool readMessage(int fd, std::uint8_t* buf, std::size_t room) {
  std::size_t have = 0;
  std::size_t need = kHeader;
  while (have < need) {
    ssize_t r = ::recv(fd, buf + have, room - have, 0);
    if (r <= 0) return false;
    have += static_cast<std::size_t>(r);
    if (have >= kHeader) {
      std::uint32_t len;
      std::memcpy(&len, buf + 28, 4);
      if (len > kBigData) return false;
      need = kHeader + len;
    }
  }
  return true;
}

// Floor peer: answers each message with the reply sizes the IPC server
// sends (4 bytes for the int get, the echoed data for the set).
void floorPeer(int fd) {
  std::vector<std::uint8_t> buf(kHeader + kBigData);
  for (;;) {
    if (!readMessage(fd, buf.data(), buf.size())) return;
    std::uint32_t len;
    std::memcpy(&len, buf.data() + 28, 4);
    std::uint32_t replyLen = len == 0 ? 4 : len;
    std::memcpy(buf.data() + 28, &replyLen, 4);
    if (!writeAll(fd, buf.data(), kHeader + replyLen)) return;
  }
}

double floorRoundTrip(int fd, std::uint32_t len, std::vector<std::uint8_t>& buf) {
  auto t0 = Clock::now();
  std::memset(buf.data(), 0, kHeader);
  std::memcpy(buf.data() + 28, &len, 4);
  writeAll(fd, buf.data(), kHeader + len);
  readMessage(fd, buf.data(), buf.size());
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  return v[i];
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/ipcbench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  ::setenv("XDG_RUNTIME_DIR", tmpl, 1);
  const std::string name = "bench" + std::to_string(::getpid());

  int ready[2];
  if (::pipe(ready) != 0) return 1;
  pid_t server = ::fork();
  if (server == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::unique_ptr<IIpcServer> s(CreateIpcServerInstance());
    BenchCallback cb;
    s->setCallback(&cb);
    char ok = s->start(name.c_str(), 4) ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char ok = 0;
  if (::read(ready[0], &ok, 1) != 1 || ok != 'y') {
    std::fprintf(stderr, "ipc_bench: server did not start\n");
    return 1;
  }

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 1;
  pid_t floor = ::fork();
  if (floor == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::close(pair[0]);
    floorPeer(pair[1]);
    ::_exit(0);
  }
  ::close(pair[1]);
  const int floorFd = pair[0];

  std::unique_ptr<IIpcClient> client(CreateIpcClientInstance());
  if (!client->connect(name.c_str())) {
    std::fprintf(stderr, "ipc_bench: connect failed\n");
    return 1;
  }
  std::vector<std::uint8_t> buf(kHeader + kBigData);
  std::vector<std::uint8_t> payload(kBigData, 0x5A);
  for (int i = 0; i < 1000; ++i) {  // warm-up
    client->getInt("v", nullptr, 1);
    floorRoundTrip(floorFd, 0, buf);
  }

  std::vector<double> ipcSmall, floorSmall;
  double ipcBigSeconds = 0, floorBigSeconds = 0;
  int bigCount = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kSmallPerRound; ++i) {
      auto t0 = Clock::now();
      int good = 0;
      client->getInt("v", &good, 1);
      ipcSmall.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      if (!good) return 2;
    }
    for (int i = 0; i < kSmallPerRound; ++i) floorSmall.push_back(floorRoundTrip(floorFd, 0, buf));
    auto t0 = Clock::now();
    for (int i = 0; i < kBigPerRound; ++i) {
      if (!client->setData("blk", payload.data(), static_cast<int>(kBigData), 1)) return 3;
    }
    auto t1 = Clock::now();
    for (int i = 0; i < kBigPerRound; ++i) floorRoundTrip(floorFd, kBigData, buf);
    auto t2 = Clock::now();
    ipcBigSeconds += std::chrono::duration<double>(t1 - t0).count();
    floorBigSeconds += std::chrono::duration<double>(t2 - t1).count();
    bigCount += kBigPerRound;
  }

  const double mb = static_cast<double>(kBigData) * bigCount / 1e6;
  const double ipcMedian = percentile(ipcSmall, 0.5), floorMedian = percentile(floorSmall, 0.5);
  const double ipcP99 = percentile(ipcSmall, 0.99), floorP99 = percentile(floorSmall, 0.99);
  std::printf("ipc_bench: %zu round trips, %d setData of %zu bytes (each echoed back)\n", ipcSmall.size(), bigCount,
              kBigData);
  std::printf("getInt wait      : median %7.2f us  p99 %7.2f us\n", ipcMedian, ipcP99);
  std::printf("floor 32/36 bytes: median %7.2f us  p99 %7.2f us\n", floorMedian, floorP99);
  std::printf("round trip ratio : median %.2fx  p99 %.2fx  (target <= 1.30x)\n", ipcMedian / floorMedian,
              ipcP99 / floorP99);
  std::printf("setData 65503    : %8.1f MB/s\n", mb / ipcBigSeconds);
  std::printf("floor 65535 bytes: %8.1f MB/s\n", mb / floorBigSeconds);
  std::printf("throughput ratio : %.2fx of the floor\n", (mb / ipcBigSeconds) / (mb / floorBigSeconds));

  client.reset();
  ::close(floorFd);
  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
  ::waitpid(floor, nullptr, 0);
  std::error_code ec;
  std::filesystem::remove_all(tmpl, ec);
  return 0;
}
