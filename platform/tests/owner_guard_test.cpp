#include "platform/owner_guard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

TEST(OwnerGuard, SecondOwnerRefusedUntilFirstGoes) {
  std::string path = (std::filesystem::temp_directory_path() / ("guard_" + std::to_string(::getpid()))).string();
  {
    auto first = platform::OwnerGuard::acquire(path);
    ASSERT_TRUE(first);
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(platform::OwnerGuard::acquire(path) ? 1 : 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process took a held guard";
  }
  EXPECT_TRUE(platform::OwnerGuard::acquire(path));
  std::filesystem::remove(path);
}

TEST(OwnerGuard, OwnerThatDiesReleasesGuard) {
  std::string path = (std::filesystem::temp_directory_path() / ("guard_dead_" + std::to_string(::getpid()))).string();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    auto g = platform::OwnerGuard::acquire(path);
    char c = g ? 1 : 0;
    (void)!::write(ready[1], &c, 1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 1);
  EXPECT_FALSE(platform::OwnerGuard::acquire(path));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(platform::OwnerGuard::acquire(path));
  std::filesystem::remove(path);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(RuntimeDir, PrivateFolderUnderXdgRuntimeDir) {
  auto base = std::filesystem::temp_directory_path() / ("xdg_" + std::to_string(::getpid()));
  std::filesystem::create_directories(base);
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  std::string saved = old ? old : "";
  ::setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
  std::string dir = platform::runtimeDir("orvipc");
  EXPECT_EQ(dir, (base / "orvipc").string());
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A folder others can enter is not used.
  ::chmod(dir.c_str(), 0755);
  EXPECT_EQ(platform::runtimeDir("orvipc"), "");
  if (old)
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
  std::filesystem::remove_all(base);
}

}  // namespace
