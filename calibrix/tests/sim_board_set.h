#pragma once
// A board image set of the virtual head (zelsim render --scene boards), made
// once per test program. CALIBRIX_BOARD_SET may name an already rendered set
// (a folder holding boards/, board.yaml and truth/) to save the rendering.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <opencv2/core.hpp>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "calibrix/tests/run_calibrix.h"
#include "calibrix/tests/test_dir.h"

namespace calibrix::test {

constexpr int kSimPoses = 40;

inline std::string simBoardSet(std::string* why) {
  namespace fs = std::filesystem;
  if (const char* given = std::getenv("CALIBRIX_BOARD_SET")) {
    if (fs::exists(std::string(given) + "/truth/boards.yaml")) return given;
    *why = std::string("CALIBRIX_BOARD_SET has no truth/boards.yaml: ") + given;
    return {};
  }
#ifdef ZELSIM_PROGRAM
  // Rendered once into the build tree and reused by every test process
  // (ctest runs each test on its own) until zelsim is rebuilt.
  const std::string cache = std::string(CALIBRIX_SIM_CACHE) + "/sim_boards_p" + std::to_string(kSimPoses) + "_s7";
  const std::string stamp = cache + "/truth/boards.yaml";
  std::error_code ec;
  auto isFresh = [&] {
    return fs::exists(stamp) && fs::last_write_time(stamp, ec) >= fs::last_write_time(ZELSIM_PROGRAM, ec);
  };
  if (isFresh()) return cache;
  // One process renders while the others wait for it (ctest runs the test
  // cases as processes side by side, and each would otherwise render the
  // same set at once). The lock goes with the descriptor at any exit.
  struct RenderLock {
    int fd;
    ~RenderLock() {
      if (fd >= 0) ::close(fd);
    }
  } lock{::open((cache + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)};
  if (lock.fd >= 0) {
    while (::flock(lock.fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  if (isFresh()) return cache;
  // Render beside the cache and rename it into place, so a second test
  // process never sees a half-written set.
  std::string tmpl = cache + ".XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    *why = "cannot create " + tmpl;
    return {};
  }
  const std::string cmd = shellQuote(ZELSIM_PROGRAM) + " render --scene boards --out " + shellQuote(tmpl) +
                          " --poses " + std::to_string(kSimPoses) + " --seed 7 --quiet";
  if (std::system(cmd.c_str()) != 0 || !fs::exists(tmpl + "/truth/boards.yaml")) {
    fs::remove_all(tmpl, ec);
    *why = "zelsim render failed";
    return {};
  }
  // Another test process may have placed a fresh set while this one
  // rendered; it may be reading it now, so it must not be replaced.
  if (isFresh()) {
    fs::remove_all(tmpl, ec);
    return cache;
  }
  fs::remove_all(cache, ec);  // a stale set from an older zelsim
  fs::rename(tmpl, cache, ec);
  if (ec) fs::remove_all(tmpl, ec);  // another process got there first
  if (fs::exists(stamp)) return cache;
  *why = "cannot place the rendered set at " + cache;
#else
  *why = "zelsim is not part of this build";
#endif
  return {};
}

}  // namespace calibrix::test
