#include "camera/ace/tests/head_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace acetest {
namespace {

std::string binDir() {
  const char* b = std::getenv("ZEL_BINARY_DIR");
  return b ? std::string(b) + "/bin" : std::string("bin");
}

}  // namespace

std::string headCacheDir() {
  return (std::filesystem::temp_directory_path() / ("zel_plugin_head_cache-" + std::to_string(::getuid()))).string();
}

sim::head::SceneImageOptions headSceneOptions(int width, int height) {
  sim::head::SceneImageOptions o;
  o.sceneName = "plane";
  o.width = width;
  o.height = height;
  o.supersample = 1;
  o.noise = 0;
  o.cacheDir = headCacheDir();
  return o;
}

bool HeadServer::start(const std::vector<std::string>& names, const std::vector<std::string>& extra,
                       std::string* error) {
  if (!sim::head::loadSceneImages(headSceneOptions(kWidth, kHeight), images_, error)) return false;
  std::vector<std::string> args = {binDir() + "/zelsim",
                                   "serve",
                                   "--scene",
                                   "plane",
                                   "--head",
                                   "cameras",
                                   "--size",
                                   std::to_string(kWidth) + "x" + std::to_string(kHeight),
                                   "--supersample",
                                   "1",
                                   "--noise",
                                   "0",
                                   "--cache",
                                   headCacheDir(),
                                   "--tcp",
                                   "127.0.0.1:" + std::to_string(kProjectorPort),
                                   "--no-publish"};
  for (const std::string& n : names) {
    args.push_back("--name");
    args.push_back(n);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  log_ = (std::filesystem::temp_directory_path() / ("zel_plugin_head_" + std::to_string(::getpid()) + ".log")).string();
  server_ = std::make_unique<BackgroundProcess>(args, log_);
  if (!waitForReady(log_, 30000)) {
    *error = "zelsim serve did not come up: " + readText(log_);
    return false;
  }
  projector_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kProjectorPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (projector_ < 0 || ::connect(projector_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    *error = "cannot reach the virtual projector";
    return false;
  }
  return true;
}

void HeadServer::stop() {
  if (projector_ >= 0) ::close(projector_);
  projector_ = -1;
  server_.reset();
  // The server's log is kept for a run that failed, else removed.
  if (!log_.empty() && !::testing::UnitTest::GetInstance()->Failed()) std::filesystem::remove(log_);
}

bool HeadServer::showPattern(int pattern) {
  const std::string command = "p" + std::to_string(pattern) + "\r";
  if (::send(projector_, command.data(), command.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(command.size()))
    return false;
  std::string reply;
  pollfd p{projector_, POLLIN, 0};
  while (reply.find(":OK") == std::string::npos && reply.find(":ERR") == std::string::npos) {
    if (::poll(&p, 1, 2000) != 1) return false;
    char buf[256];
    ssize_t n = ::recv(projector_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    reply.append(buf, static_cast<std::size_t>(n));
  }
  return reply.find(":OK") != std::string::npos;
}

}  // namespace acetest
