#include "platform/named_event.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

std::string uniqueName(const char* what) { return std::string("ZEL_TEST_") + what + "_" + std::to_string(::getpid()); }

// Runs body in a child process with the event opened there by name; the
// child exits with what body returns (2 when the open fails) and uses no
// test assertions. The parent gets the child's pid (-1 when fork fails).
template <class Body>
pid_t inChild(const std::string& name, Body body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    auto child = platform::NamedEvent::open(name);
    ::_exit(child ? body(*child) : 2);
  }
  return pid;
}

TEST(NamedEvent, SetResetWaitInOneProcess) {
  auto ev = platform::NamedEvent::create(uniqueName("local"));
  ASSERT_TRUE(ev);
  EXPECT_FALSE(ev->isSet());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(ev->wait(50));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));
  ev->set();
  EXPECT_TRUE(ev->wait(0));
  EXPECT_TRUE(ev->wait(-1));  // manual reset: stays set
  ev->reset();
  EXPECT_FALSE(ev->isSet());
}

TEST(NamedEvent, OpenFindsOnlyLiveEvents) {
  std::string name = uniqueName("open");
  EXPECT_FALSE(platform::NamedEvent::open(name));
  {
    auto created = platform::NamedEvent::create(name, true);
    ASSERT_TRUE(created);
    auto opened = platform::NamedEvent::open(name);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->isSet());
    opened->reset();
    EXPECT_FALSE(created->isSet());
  }
  // Gone with its last holder, like the Windows object.
  EXPECT_FALSE(platform::NamedEvent::open(name));
  auto again = platform::NamedEvent::create(name);
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->isSet());
}

TEST(NamedEvent, SetInChildWakesParent) {
  std::string name = uniqueName("fork");
  auto ev = platform::NamedEvent::create(name);
  ASSERT_TRUE(ev);
  pid_t pid = inChild(name, [](platform::NamedEvent& child) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    child.set();
    return 0;
  });
  ASSERT_GE(pid, 0);
  EXPECT_TRUE(ev->wait(5000));
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NamedEvent, ParentSetReleasesWaitingChild) {
  std::string name = uniqueName("wake");
  auto ev = platform::NamedEvent::create(name);
  ASSERT_TRUE(ev);
  pid_t pid = inChild(name, [](platform::NamedEvent& child) { return child.wait(5000) ? 0 : 3; });
  ASSERT_GE(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ev->set();
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NamedEvent, HolderKilledWhileHoldingDoesNotBlockOthers) {
  std::string name = uniqueName("crash");
  auto ev = platform::NamedEvent::create(name);
  ASSERT_TRUE(ev);
  // Die while waiting (inside the condition wait, between lock hand-offs).
  pid_t pid = inChild(name, [](platform::NamedEvent& child) {
    child.wait(-1);
    return 0;
  });
  ASSERT_GE(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ev->set();
  EXPECT_TRUE(ev->wait(1000));
  ev->reset();
  EXPECT_FALSE(ev->wait(10));
}

TEST(NamedEvent, EmptyNameFails) { EXPECT_FALSE(platform::NamedEvent::create("")); }

}  // namespace
