#include "apps/zelscan/subprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace zelscan {

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
                         const std::string& logPath) {
  ProcessResult result;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // fork + exec rather than posix_spawn: the child must change directory
  // before exec, which posix_spawn of glibc 2.36 cannot do portably.
  int errPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    result.error = std::strerror(errno);
    ::close(errPipe[0]);
    ::close(errPipe[1]);
    return result;
  }
  if (pid == 0) {
    ::close(errPipe[0]);
    int err = 0;
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) err = errno;
    if (!err && !logPath.empty()) {
      int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) {
        err = errno;
      } else {
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
      }
    }
    if (!err) {
      int devnull = ::open("/dev/null", O_RDONLY);
      if (devnull >= 0) {
        ::dup2(devnull, STDIN_FILENO);
        ::close(devnull);
      }
      ::execv(program.c_str(), argv.data());
      err = errno;
    }
    (void)!::write(errPipe[1], &err, sizeof err);
    ::_exit(127);
  }
  ::close(errPipe[1]);
  int childErr = 0;
  ssize_t got = ::read(errPipe[0], &childErr, sizeof childErr);
  ::close(errPipe[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof childErr)) {
    result.error = std::string(std::strerror(childErr));
    return result;
  }
  result.started = true;
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitStatus = 128 + WTERMSIG(status);
  }
  return result;
}

std::string executableDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

std::string tailOfFile(const std::string& path, int lines) {
  std::ifstream in(path);
  std::deque<std::string> last;
  std::string line;
  while (std::getline(in, line)) {
    last.push_back(line);
    if (static_cast<int>(last.size()) > lines) last.pop_front();
  }
  std::string out;
  for (const std::string& l : last) out += "    " + l + "\n";
  return out;
}

}  // namespace zelscan
