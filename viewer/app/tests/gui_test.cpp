// End-to-end tests of nubiview under a (virtual) X display: the program runs
// with --screenshot or --script, and the tests look at its PNGs, its state
// dumps and the files it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <stb_image.h>

#include "viewer/app/camera.h"
#include "viewer/cloud/point_files.h"

namespace nubiview {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Point {
  float x, y, z;
  int r, g, b;
};

void writeAsciiPly(const fs::path& path, const std::vector<Point>& pts,
                   const std::vector<std::array<int, 3>>& faces = {}) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << "ply\nformat ascii 1.0\nelement vertex " << pts.size()
    << "\nproperty float x\nproperty float y\nproperty float z\n"
       "property uchar red\nproperty uchar green\nproperty uchar blue\n";
  if (!faces.empty()) f << "element face " << faces.size() << "\nproperty list uchar int vertex_indices\n";
  f << "end_header\n";
  for (const Point& p : pts) f << p.x << " " << p.y << " " << p.z << " " << p.r << " " << p.g << " " << p.b << "\n";
  for (const auto& t : faces) f << "3 " << t[0] << " " << t[1] << " " << t[2] << "\n";
}

// True when text matches pattern, where '#' stands for one decimal digit.
bool matchesDigits(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (pattern[i] == '#' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != pattern[i]) return false;
  }
  return true;
}

std::map<std::string, std::string> readDump(const fs::path& path) {
  std::map<std::string, std::string> m;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return m;
}

struct Image {
  int w = 0, h = 0;
  std::vector<unsigned char> rgb;
  bool load(const fs::path& p) {
    int n = 0;
    unsigned char* data = stbi_load(p.c_str(), &w, &h, &n, 3);
    if (!data) return false;
    rgb.assign(data, data + std::size_t(w) * h * 3);
    stbi_image_free(data);
    return true;
  }
  const unsigned char* at(int x, int y) const { return &rgb[(std::size_t(y) * w + x) * 3]; }
  // True when a pixel within one pixel of (x, y) has the colour (each channel within tol).
  bool near(float fx, float fy, int r, int g, int b, int tol = 3) const {
    const int cx = int(std::floor(fx)), cy = int(std::floor(fy));
    for (int y = cy - 1; y <= cy + 1; ++y)
      for (int x = cx - 1; x <= cx + 1; ++x) {
        if (x < 0 || y < 0 || x >= w || y >= h) continue;
        const unsigned char* p = at(x, y);
        if (std::abs(p[0] - r) <= tol && std::abs(p[1] - g) <= tol && std::abs(p[2] - b) <= tol) return true;
      }
    return false;
  }
  // Pixels within 60 of the colour in every channel (anti-aliased text).
  int countLike(int r, int g, int b, int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) {
        const unsigned char* p = at(x, y);
        if (std::abs(p[0] - r) < 60 && std::abs(p[1] - g) < 60 && std::abs(p[2] - b) < 60) ++n;
      }
    return n;
  }
  int count(int r, int g, int b, int x0 = 0, int y0 = 0, int x1 = -1, int y1 = -1) const {
    if (x1 < 0) x1 = w;
    if (y1 < 0) y1 = h;
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) {
        const unsigned char* p = at(x, y);
        if (p[0] == r && p[1] == g && p[2] == b) ++n;
      }
    return n;
  }
};

class Viewer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (run under xvfb-run)";
    dir_ = fs::temp_directory_path() / ("nubiview_gui_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "config");
  }
  void TearDown() override {
    if (!dir_.empty() && !std::getenv("NUBIVIEW_KEEP")) fs::remove_all(dir_);
  }

  // Starts nubiview with args; XDG_CONFIG_HOME points into the test folder so
  // the program INI is the test's own.
  pid_t start(const std::vector<std::string>& args, const fs::path& errorLog = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (!errorLog.empty()) {
        const int fd = ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
          ::dup2(fd, 2);
          ::close(fd);
        }
      }
      ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
      ::setenv("NUBIVIEW_NO_GTK", "1", 1);
      // The GL driver keeps a few bytes to the end; LeakSanitizer would turn that into a failed run.
      ::setenv("ASAN_OPTIONS", "detect_leaks=0", 0);
      std::vector<char*> argv;
      std::string exe = NUBIVIEW_EXE;
      argv.push_back(exe.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::chdir(dir_.c_str());
      ::execv(exe.c_str(), argv.data());
      std::_Exit(127);
    }
    return pid;
  }
  // Waits for the program to end (killing it after the time-out); its exit status.
  int finish(pid_t pid, std::chrono::seconds timeout = 120s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Runs nubiview to its end. A display server under load can refuse a new
  // client now and then; a start that fails only for want of a display is
  // tried again, so that the test judges the program, not the server.
  int run(const std::vector<std::string>& args) {
    const fs::path log = dir_ / "stderr.txt";
    int status = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
      fs::remove(log);
      status = finish(start(args, log));
      std::ifstream in(log);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::fputs(text.c_str(), stderr);
      if (status != 1 || text.find("cannot initialise GLFW") == std::string::npos) break;
      std::this_thread::sleep_for(500ms);
    }
    return status;
  }
  fs::path script(const std::string& text) {
    const fs::path p = dir_ / "script.txt";
    std::ofstream(p) << text;
    return p;
  }
  static bool waitFor(const fs::path& p, std::chrono::seconds timeout = 60s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!fs::exists(p)) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(50ms);  // the dump is written in one go; let it finish
    return true;
  }
  // Where a file point lands in the 800 x 600 window after the start-up view
  // (default coordinate system: Y reversed, eye along Y, up Z).
  static ScreenPoint screenOf(const Point& p, float scale, Vec3 centre = {}) {
    ViewCamera cam;
    cam.setWindow(800, 600);
    cam.resetView(CoordinateSystem{}, centre);
    return project(cam.worldViewProjection(), {p.x * scale, -p.y * scale, p.z * scale}, 800, 600);
  }
  void keepAsDoc(const fs::path& png, const char* name) {
    // Refreshes the screenshots shown in the README when asked to.
    if (const char* doc = std::getenv("NUBIVIEW_DOC_DIR"))
      fs::copy_file(png, fs::path(doc) / name, fs::copy_options::overwrite_existing);
  }

  fs::path dir_;
};

const std::vector<Point> kKnown = {{50, 0, 0, 230, 40, 40},
                                   {0, 0, 50, 40, 220, 40},
                                   {-40, 0, -30, 40, 60, 230},
                                   {100, 0, -50, 250, 250, 250},
                                   {-60, 0, 0, 200, 200, 0}};

TEST_F(Viewer, ScreenshotShowsPointsInTheirColoursAndTheGizmo) {
  writeAsciiPly(dir_ / "known.ply", kKnown);
  ASSERT_EQ(run({"--screenshot", (dir_ / "shot.png").string(), "--frames", "3", (dir_ / "known.ply").string()}), 0);
  Image img;
  ASSERT_TRUE(img.load(dir_ / "shot.png"));
  ASSERT_EQ(img.w, 800);
  ASSERT_EQ(img.h, 600);
  for (const Point& p : kKnown) {
    const ScreenPoint s = screenOf(p, 0.01f);
    ASSERT_TRUE(s.visible);
    EXPECT_TRUE(img.near(s.x, s.y, p.r, p.g, p.b)) << "point " << p.x << "," << p.z << " at " << s.x << "," << s.y;
  }
  // background black; the X shaft red and the Z shaft green around the origin
  EXPECT_TRUE(img.near(200, 500, 0, 0, 0, 0));
  EXPECT_GT(img.count(255, 0, 0, 300, 250, 420, 350), 10);
  EXPECT_GT(img.count(0, 255, 0, 300, 250, 420, 350), 10);

  // Turned by the arrow keys the Y shaft shows too (yellow).
  ASSERT_EQ(run({"--script",
                 script("key Down\nkey Down\nkey Down\nkey Left\nkey Left\nframes 2\nscreenshot " +
                        (dir_ / "turned.png").string() + "\n")
                     .string(),
                 (dir_ / "known.ply").string()}),
            0);
  Image turned;
  ASSERT_TRUE(turned.load(dir_ / "turned.png"));
  EXPECT_GT(turned.count(255, 255, 0, 300, 200, 500, 400), 3);
  EXPECT_GT(turned.count(255, 0, 0, 300, 200, 500, 400), 3);
  EXPECT_GT(turned.count(0, 255, 0, 300, 200, 500, 400), 3);
}

// One NaN or infinite point no longer blanks the view, and a screenshot
// that cannot be written whole (a device that takes no data) fails.
TEST_F(Viewer, NonFinitePointsAndFailedScreenshots) {
  std::vector<Point> pts = kKnown;
  pts.push_back({std::numeric_limits<float>::quiet_NaN(), 0, 0, 255, 255, 255});
  pts.push_back({0, std::numeric_limits<float>::infinity(), 0, 255, 255, 255});
  writeAsciiPly(dir_ / "nan.ply", pts);
  ASSERT_EQ(run({"--screenshot", (dir_ / "nan.png").string(), "--frames", "3", (dir_ / "nan.ply").string()}), 0);
  Image img;
  ASSERT_TRUE(img.load(dir_ / "nan.png"));
  for (const Point& p : kKnown) {
    const ScreenPoint s = screenOf(p, 0.01f);
    EXPECT_TRUE(img.near(s.x, s.y, p.r, p.g, p.b)) << "point " << p.x << "," << p.z;
  }
  if (fs::exists("/dev/full")) {
    EXPECT_NE(run({"--screenshot", "/dev/full", "--frames", "1", (dir_ / "nan.ply").string()}), 0);
  }
}

TEST_F(Viewer, RightClicksPickPointsAndTwoGiveTheDiffLine) {
  writeAsciiPly(dir_ / "known.ply", kKnown);
  const ScreenPoint a = screenOf(kKnown[0], 0.01f);
  const ScreenPoint b = screenOf(kKnown[2], 0.01f);
  const ScreenPoint c = screenOf(kKnown[4], 0.01f);
  char text[4096];
  std::snprintf(text, sizeof text,
                "frames 2\n"
                "click right %.1f %.1f\n"
                "dump %s/one.txt\n"
                "click right 20 580\n"  // far from every point: nothing changes
                "dump %s/miss.txt\n"
                "click right %.1f %.1f\n"
                "frames 2\n"
                "screenshot %s/two.png\n"
                "dump %s/two.txt\n"
                "click right %.1f %.1f\n"  // nearer to the second pick: replaces it
                "dump %s/three.txt\n"
                "key F2\n"
                "dump %s/cleared.txt\n",
                a.x + 4, a.y - 3, dir_.c_str(), dir_.c_str(), b.x, b.y, dir_.c_str(), dir_.c_str(), c.x, c.y,
                dir_.c_str(), dir_.c_str());
  ASSERT_EQ(run({"--script", script(text).string(), (dir_ / "known.ply").string()}), 0);
  EXPECT_EQ(readDump(dir_ / "one.txt")["pick_text"], "1st: |  50.000   0.000   0.000|=50.000");
  EXPECT_EQ(readDump(dir_ / "miss.txt")["pick_text"], "1st: |  50.000   0.000   0.000|=50.000");
  EXPECT_EQ(readDump(dir_ / "two.txt")["pick_text"],
            "1st: |  50.000   0.000   0.000|=50.000\\n"
            "2nd: | -40.000   0.000 -30.000|=50.000\\n"
            "diff:| -90.000   0.000 -30.000|=94.868");
  EXPECT_EQ(readDump(dir_ / "three.txt")["pick_text"],
            "1st: |  50.000   0.000   0.000|=50.000\\n"
            "2nd: | -60.000   0.000   0.000|=60.000\\n"
            "diff:|-110.000   0.000   0.000|=110.000");
  EXPECT_EQ(readDump(dir_ / "cleared.txt")["pick_text"], "");
  EXPECT_EQ(readDump(dir_ / "cleared.txt")["picks"], "0");

  Image img;
  ASSERT_TRUE(img.load(dir_ / "two.png"));
  // picked points are marked magenta, and the magenta pick line joins them
  EXPECT_TRUE(img.near(a.x, a.y, 255, 0, 255, 0));
  EXPECT_TRUE(img.near(b.x, b.y, 255, 0, 255, 0));
  EXPECT_TRUE(img.near((a.x + b.x) / 2, (a.y + b.y) / 2, 255, 0, 255, 0));
  EXPECT_GT(img.countLike(255, 255, 0, 0, 18, 400, 80), 20);  // the pick text in yellow
}

TEST_F(Viewer, DoubleClickPivotKeysWheelPanAndDrop) {
  writeAsciiPly(dir_ / "known.ply", kKnown);
  writeAsciiPly(dir_ / "other.ply", {{0, 0, 4, 1, 1, 1}, {0, 0, 0, 1, 1, 1}});
  const ScreenPoint a = screenOf(kKnown[1], 0.01f);
  const std::string d = dir_.string();
  char text[4096];
  std::snprintf(text, sizeof text,
                "frames 2\ndblclick right %.1f %.1f\ndump %s/d.txt\nkey 0\ndump %s/o.txt\n"
                "wheel 1\nframes 1\ndump %s/w.txt\nkey S\nframes 1\ndump %s/s.txt\n"
                "key alt+Left\ndump %s/p.txt\nkey F3\n"
                "down middle 400 300\nmove 400 280\nup middle 400 280\ndump %s/m.txt\n"
                "drop %s/other.ply\ndump %s/drop.txt\n",
                a.x, a.y, d.c_str(), d.c_str(), d.c_str(), d.c_str(), d.c_str(), d.c_str(), d.c_str(), d.c_str());
  ASSERT_EQ(run({"--script", script(text).string(), (dir_ / "known.ply").string()}), 0);
  EXPECT_EQ(readDump(dir_ / "d.txt")["pivot"], "0.000000 0.000000 0.500000");
  EXPECT_EQ(readDump(dir_ / "d.txt")["picks"], "1");
  EXPECT_EQ(readDump(dir_ / "o.txt")["pivot"], "0.000000 0.000000 0.000000");
  EXPECT_EQ(readDump(dir_ / "w.txt")["radius"], "2.250000");  // one notch: 10 % closer
  EXPECT_EQ(readDump(dir_ / "s.txt")["radius"], "2.475000");
  // Alt+Left pans: the pivot moves to what was 10 pixels right of the centre
  // (display -X with the default view)
  const std::string pan = readDump(dir_ / "p.txt")["pivot"];
  EXPECT_LT(std::stof(pan), -0.001f) << pan;
  // a middle-button drag upwards moves the pivot to what was above the centre (+Z)
  const std::string mid = readDump(dir_ / "m.txt")["pivot"];
  float mx = 0, my = 0, mz = 0;
  ASSERT_EQ(std::sscanf(mid.c_str(), "%f %f %f", &mx, &my, &mz), 3);
  EXPECT_NEAR(mx, 0, 1e-4);
  EXPECT_GT(mz, 0.01f) << mid;
  // a dropped file becomes the current one with a new view scale and no picks
  auto drop = readDump(dir_ / "drop.txt");
  EXPECT_EQ(drop["points"], "2");
  EXPECT_EQ(drop["view_scale"], "0.25");
  EXPECT_EQ(drop["picks"], "0");
  EXPECT_EQ(drop["title"], "Nubiview11 - " + (dir_ / "other.ply").string() + " (2)");
  EXPECT_EQ(drop["pivot"], "0.000000 0.000000 0.000000");  // the file centre: eye axis Y, all y = 0
}

TEST_F(Viewer, RKeyAndFileRewriteReloadKeepingTheScale) {
  const fs::path cloud = dir_ / "live.ply";
  writeAsciiPly(cloud, {{500, 0, 0, 255, 255, 255}, {0, 0, 100, 255, 0, 0}});
  const std::string d = dir_.string();
  const pid_t pid = start({"--script",
                           script("wait 450\ndump " + d + "/s1.txt\nwaitfile " + d + "/go\nwait 200\nframes 1\ndump " +
                                  d + "/s2.txt\nkey R\ndump " + d + "/s3.txt\n")
                               .string(),
                           cloud.string()});
  ASSERT_TRUE(waitFor(dir_ / "s1.txt"));
  auto s1 = readDump(dir_ / "s1.txt");
  EXPECT_EQ(s1["points"], "2");
  EXPECT_EQ(s1["view_scale"], "0.00200000009");
  EXPECT_EQ(s1["title"], "Nubiview11 - " + cloud.string() + " (2)");
  // another program rewrites the file: the viewer reloads it within 200 ms
  writeAsciiPly(dir_ / "next.ply", {{800, 0, 0, 1, 2, 3}, {0, 0, 10, 4, 5, 6}, {0, 0, 20, 7, 8, 9}});
  fs::rename(dir_ / "next.ply", cloud);
  std::ofstream(dir_ / "go") << "";
  ASSERT_EQ(finish(pid), 0);
  auto s2 = readDump(dir_ / "s2.txt");
  EXPECT_EQ(s2["points"], "3");
  EXPECT_EQ(s2["view_scale"], "0.00200000009");
  EXPECT_TRUE(matchesDigits(s2["message"], "update: ##:##:##")) << s2["message"];
  EXPECT_EQ(s2["message_error"], "0");
  auto s3 = readDump(dir_ / "s3.txt");
  EXPECT_EQ(s3["message"], "reread.");
  EXPECT_EQ(s3["points"], "3");
  EXPECT_EQ(s3["view_scale"], "0.00200000009");
}

TEST_F(Viewer, SaveWithStarOutPathWritesADateTimeFileThatReadsBackEqual) {
  const fs::path cloud = dir_ / "src.ply";
  writeAsciiPly(cloud, kKnown, {{0, 1, 2}, {2, 3, 4}});
  fs::create_directories(dir_ / "config" / "nubiview");
  std::ofstream(dir_ / "config" / "nubiview" / "nubiview.ini")
      << "[Setting]\nout_path=" << (dir_ / "out" / "sub" / "scan_").string() << "*\nout_format=ply.bin\n";
  const std::string d = dir_.string();
  ASSERT_EQ(run({"--script", script("frames 2\nkey F4\nwait 500\nframes 2\ndump " + d + "/saved.txt\n").string(),
                 cloud.string()}),
            0);
  auto s = readDump(dir_ / "saved.txt");
  ASSERT_EQ(s["message"].rfind("saved: ", 0), 0u) << s["message"];
  const fs::path written = s["message"].substr(7);
  EXPECT_EQ(written.parent_path(), dir_ / "out" / "sub");
  EXPECT_TRUE(matchesDigits(written.filename().string(), "scan_########_######.ply")) << written.filename();
  cloud::CloudStore original, back;
  cloud::LoadPointFile(original, cloud);
  cloud::LoadPointFile(back, written);
  ASSERT_EQ(back.pointCount(), kKnown.size());
  EXPECT_TRUE(std::equal(original.positions().begin(), original.positions().end(), back.positions().begin()));
  EXPECT_TRUE(std::equal(original.colours().begin(), original.colours().end(), back.colours().begin()));
  ASSERT_EQ(back.triangleCount(), 2u);
  EXPECT_EQ(back.triangles()[3], 2);

  // A folder that cannot be made: the message line says so in red.
  std::ofstream(dir_ / "blocker") << "";
  std::ofstream(dir_ / "config" / "nubiview" / "nubiview.ini")
      << "[Setting]\nout_path=" << (dir_ / "blocker" / "x").string() << "/*\nout_format=3d\n";
  ASSERT_EQ(run({"--script", script("frames 2\nkey F4\nframes 2\ndump " + d + "/err.txt\n").string(), cloud.string()}),
            0);
  auto e = readDump(dir_ / "err.txt");
  EXPECT_EQ(e["message"], "ERROR: create " + (dir_ / "blocker").string());
  EXPECT_EQ(e["message_error"], "1");
}

TEST_F(Viewer, OptionsDialogShowsAndWritesTheProgramIni) {
  writeAsciiPly(dir_ / "known.ply", kKnown);
  const fs::path ini = dir_ / "config" / "nubiview" / "nubiview.ini";
  fs::create_directories(ini.parent_path());
  std::ofstream(ini) << "[Setting]\nout_path=/data/scans/scan_*\nout_format=PLY\nbgcolor=202040\n";
  const std::string d = dir_.string();
  ASSERT_EQ(
      run({"--script",
           script("frames 1\nscreenshot " + d + "/bg.png\ndump " + d + "/before.txt\noptions\nframes 3\nscreenshot " +
                  d + "/options.png\noptions-ok\nframes 2\ndump " + d + "/after.txt\n")
               .string(),
           (dir_ / "known.ply").string()}),
      0);
  keepAsDoc(dir_ / "options.png", "options.png");
  auto b = readDump(dir_ / "before.txt");
  EXPECT_EQ(b["out_format"], "ply.asc");  // "PLY" reads as "ply.asc"
  EXPECT_EQ(b["bgcolor"], "202040");
  EXPECT_EQ(b["program_ini"], ini.string());
  Image img, bg;
  ASSERT_TRUE(img.load(dir_ / "options.png"));
  ASSERT_TRUE(bg.load(dir_ / "bg.png"));
  EXPECT_GT(bg.count(0x20, 0x20, 0x40), 100000);  // the background colour of the INI
  // OK writes what the dialog shows, in place of the old values
  std::ifstream in(ini);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "[Setting]\nout_path=/data/scans/scan_*\nout_format=ply.asc\nbgcolor=202040\n");
  auto a = readDump(dir_ / "after.txt");
  EXPECT_EQ(a["out_format"], "ply.asc");
  EXPECT_EQ(a["options_open"], "0");
}

TEST_F(Viewer, ColourPanelAndCompanionIni) {
  // The companion INI enables a red gain of 2: a red of 100 shows as 200.
  writeAsciiPly(dir_ / "c.ply", {{50, 0, 0, 100, 50, 10}, {-50, 0, 0, 100, 50, 10}});
  std::ofstream(dir_ / "c.ini") << "[Adjustment]\nValid=1\n[Gain]\nR=2\n[Offset]\nB=5\n";
  const ScreenPoint p = screenOf({50, 0, 0, 0, 0, 0}, 0.02f);
  const std::string d = dir_.string();
  ASSERT_EQ(
      run({"--script",
           script("frames 2\nscreenshot " + d + "/gain.png\ndump " + d +
                  "/p1.txt\npanel gain-g 2.5\npanel texture 0\nframes 1\nscreenshot " + d + "/tex.png\ndump " + d +
                  "/p2.txt\npanel gain-g 0.5\npanel apply 1\npanel save 1\n"
                  "frames 1\nscreenshot " +
                  d + "/applied.png\ndump " + d + "/p3.txt\n")
               .string(),
           (dir_ / "c.ply").string()}),
      0);
  Image gain, tex, applied;
  ASSERT_TRUE(gain.load(dir_ / "gain.png"));
  ASSERT_TRUE(tex.load(dir_ / "tex.png"));
  ASSERT_TRUE(applied.load(dir_ / "applied.png"));
  EXPECT_TRUE(gain.near(p.x, p.y, 200, 50, 15, 1));
  EXPECT_TRUE(tex.near(p.x, p.y, 255, 255, 255, 0));  // texture off: where there is texture
  EXPECT_TRUE(applied.near(p.x, p.y, 200, 25, 15, 1));
  auto p1 = readDump(dir_ / "p1.txt");
  EXPECT_EQ(p1["valid"], "1");
  EXPECT_EQ(p1["gain_text0"], "2.00");
  EXPECT_EQ(p1["offset_text2"], "5");
  EXPECT_EQ(readDump(dir_ / "p2.txt")["gain_text1"], "1.00");  // "2.5" is out of range: reset
  auto p3 = readDump(dir_ / "p3.txt");
  EXPECT_EQ(p3["message"], "saved: " + (dir_ / "c.ini").string());
  std::ifstream ini(dir_ / "c.ini");
  std::stringstream text;
  text << ini.rdbuf();
  EXPECT_NE(text.str().find("G=0.50"), std::string::npos) << text.str();
}

TEST_F(Viewer, TrianglesDrawnAsAMeshWithAToggle) {
  // One big triangle behind nothing: filled with its corner colours when the
  // mesh is shown, only the three corner points when it is not.
  writeAsciiPly(dir_ / "m.ply", {{-100, 0, -100, 0, 0, 255}, {100, 0, -100, 0, 0, 255}, {0, 0, 100, 0, 0, 255}},
                {{0, 1, 2}, {0, 1, 7}});
  const std::string d = dir_.string();
  ASSERT_EQ(run({"--script",
                 script("frames 2\nscreenshot " + d + "/mesh.png\npanel mesh 0\nframes 1\nscreenshot " + d +
                        "/nomesh.png\ndump " + d + "/m.txt\n")
                     .string(),
                 (dir_ / "m.ply").string()}),
            0);
  Image mesh, none;
  ASSERT_TRUE(mesh.load(dir_ / "mesh.png"));
  ASSERT_TRUE(none.load(dir_ / "nomesh.png"));
  EXPECT_GT(mesh.count(0, 0, 255), 10000);
  EXPECT_LT(none.count(0, 0, 255), 20);
  EXPECT_EQ(readDump(dir_ / "m.txt")["triangles"], "1");  // the one with an index beyond the points is not drawn
}

TEST_F(Viewer, DemoScreenshotAndEmptyStart) {
  // A demo cloud: a coloured hemisphere over a grey grid, turned a little.
  std::vector<Point> pts;
  for (int i = 0; i < 160; ++i)
    for (int j = 0; j < 40; ++j) {
      const float t = float(i) / 160 * 6.2831853f, u = float(j) / 40 * 1.5707963f;
      pts.push_back({60 * std::cos(t) * std::cos(u), 60 * std::sin(t) * std::cos(u), 60 * std::sin(u),
                     int(127 + 120 * std::cos(t)), int(127 + 120 * std::sin(u)), int(127 + 120 * std::sin(t))});
    }
  for (int i = -20; i <= 20; ++i)
    for (int j = -20; j <= 20; ++j) pts.push_back({i * 5.0f, j * 5.0f, 0, 150, 150, 150});
  writeAsciiPly(dir_ / "demo.ply", pts);
  const std::string d = dir_.string();
  ASSERT_EQ(run({"--script",
                 script("key Down\nkey Down\nkey Down\nkey Down\nkey Left\nkey Left\nkey W\nframes 2\n"
                        "move 330 260\nclick right 330 260\nframes 2\nscreenshot " +
                        d + "/demo.png\n")
                     .string(),
                 (dir_ / "demo.ply").string()}),
            0);
  keepAsDoc(dir_ / "demo.png", "demo.png");
  Image img;
  ASSERT_TRUE(img.load(dir_ / "demo.png"));
  EXPECT_GT(img.count(150, 150, 150), 300);

  // No file: background, gizmo and panels; the title stays plain.
  ASSERT_EQ(run({"--script", script("frames 2\ndump " + d + "/empty.txt\n").string()}), 0);
  auto e = readDump(dir_ / "empty.txt");
  EXPECT_EQ(e["points"], "0");
  EXPECT_EQ(e["title"], "Nubiview11");
}

}  // namespace
}  // namespace nubiview
