#include "camera/ace/tests/host_fixture.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace acetest {
namespace {

std::vector<char*> argvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

pid_t spawn(const std::vector<std::string>& args, int outFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
  }
  std::vector<char*> argv = argvOf(args);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& args, const std::string& logPath) {
  int fd = logPath.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                           : ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = spawn(args, fd);
  if (fd >= 0) ::close(fd);
}

BackgroundProcess::~BackgroundProcess() { stop(); }

void BackgroundProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  // A peer that ignores SIGTERM for 3 s is killed.
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    ::usleep(10'000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

int BackgroundProcess::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  int status = 0;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::usleep(10'000);
  }
  stop();
  return -1;
}

int runProgram(const std::vector<std::string>& args, std::string* output) {
  char name[] = "/tmp/acetest_out_XXXXXX";
  int fd = ::mkstemp(name);
  if (fd < 0) return -1;
  ::unlink(name);
  pid_t pid = spawn(args, fd);
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  if (output) {
    output->clear();
    ::lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) output->append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (pid <= 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

LoadedPlugin::LoadedPlugin(const std::string& path) {
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) error_ = ::dlerror();
}

LoadedPlugin::~LoadedPlugin() {
  if (handle_) ::dlclose(handle_);
}

IZelcam3D* LoadedPlugin::create() {
  if (!handle_) return nullptr;
  auto factory = reinterpret_cast<CreateIZelcam3DInstanceFn>(::dlsym(handle_, "CreateIZelcam3DInstance"));
  if (!factory) {
    error_ = "no CreateIZelcam3DInstance";
    return nullptr;
  }
  return factory();
}

IZelcam3DRev23* LoadedPlugin::create23() {
  if (!handle_) return nullptr;
  auto factory = reinterpret_cast<CreateIZelcam3DRev23InstanceFn>(::dlsym(handle_, "CreateIZelcam3DInstance"));
  if (!factory) {
    error_ = "no CreateIZelcam3DInstance";
    return nullptr;
  }
  return factory();
}

FrameSink& FrameSink::instance() {
  static FrameSink sink;
  return sink;
}

void FrameSink::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_[0].clear();
  frames_[1].clear();
}

int FrameSink::callback(int camera, std::uint32_t frameIndex, std::int32_t width, std::int32_t height,
                        unsigned char* buffer) {
  FrameSink& sink = instance();
  {
    std::lock_guard<std::mutex> lock(sink.mutex_);
    if (camera < 0 || camera > 1) return 0;
    ReceivedFrame f{frameIndex, width, height, {}};
    f.pixels.assign(buffer, buffer + static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    sink.frames_[camera].push_back(std::move(f));
  }
  sink.cv_.notify_all();
  return 0;
}

bool FrameSink::waitFor(int camera, std::size_t n, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return frames_[camera].size() >= n; });
}

std::vector<ReceivedFrame> FrameSink::frames(int camera) {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_[camera];
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool waitForReady(const std::string& logPath, int timeoutMs) {
  for (int waited = 0;; waited += 50) {
    if (readText(logPath).find("ready\n") != std::string::npos) return true;
    if (waited >= timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace acetest
