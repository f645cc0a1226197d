// Settings limits, the trace files (generations, header and record layout)
// and what gevlink-trace makes of them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gevlink/settings.h"
#include "gevlink/trace.h"
#include "gevlink/trace_reader.h"

namespace gevlink {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/gevlink-test-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

TEST(GevlinkSettings, DefaultsAndLimits) {
  TempDir dir;
  std::string ini = dir.path() + "/gevlink.conf";
  {
    std::ofstream out(ini);
    out << "[SOFTWARE\\KTS\\ZazAVir]\nDefaultCCP=7\nXMLNoErase=5\n"
        << "[SOFTWARE\\RivUZ\\ZazAVir\\Trace]\nTraceFileDirectory=" << dir.path()
        << "\nTraceFileSize=0x12345\nTraceFileCount=2\nTraceDataSize=1000\n";
  }
  Settings s = readSettings(ini);
  EXPECT_EQ(s.defaultCcp, 1u);
  EXPECT_TRUE(s.xmlNoErase);
  EXPECT_FALSE(s.xmlUseLocal);
  EXPECT_EQ(s.traceDirectory, dir.path());
  EXPECT_EQ(s.traceFileSize, 0x12000u);
  EXPECT_EQ(s.traceFileCount, 4u);
  EXPECT_EQ(s.traceDataSize, 992u);
  Settings d = readSettings(dir.path() + "/missing.conf");
  EXPECT_EQ(d.defaultCcp, 1u);
  EXPECT_EQ(d.traceFileSize, 0x80000u);
  EXPECT_EQ(d.traceFileCount, 10u);
  EXPECT_EQ(d.traceDataSize, 128u);
  Settings raw;
  raw.traceFileSize = 100;
  raw.traceFileCount = 500;
  raw.traceDataSize = 7;
  limitTraceSettings(raw);
  EXPECT_EQ(raw.traceFileSize, 0x10000u);
  EXPECT_EQ(raw.traceFileCount, 100u);
  EXPECT_EQ(raw.traceDataSize, 16u);
}

TEST(GevlinkTrace, CountOfTwoKeepsFourGenerations) {
  TempDir dir;
  Settings s;
  s.traceDirectory = dir.path();
  s.traceFileSize = 0x10000;
  s.traceFileCount = 2;
  limitTraceSettings(s);
  for (int run = 0; run < 6; ++run) {
    Trace t(s);  // each one the first process: rotates
    ASSERT_TRUE(t.on());
    uint8_t mark = uint8_t(run);
    t.write(traceEvent(kTrOpen, kStepDetail), &mark, 1);
  }
  for (int g = 0; g < 4; ++g) {
    char name[32];
    std::snprintf(name, sizeof name, "/Gevlink.%03d", g);
    auto bytes = readAll(dir.path() + name);
    ASSERT_EQ(bytes.size(), 0x10000u + 32) << name;
    EXPECT_EQ(bytes[32 + 20], 5 - g) << name;  // newest in 000
  }
  EXPECT_FALSE(fs::exists(dir.path() + "/Gevlink.004"));
}

TEST(GevlinkTrace, RecordLayoutSharedWritersAndReader) {
  TempDir dir;
  Settings s;
  s.traceDirectory = dir.path();
  s.traceFileSize = 0x10000;
  s.traceDataSize = 16;
  Trace first(s);
  Trace second(s);  // attaches: the first still holds the files
  ASSERT_TRUE(second.on());
  const char payload[] = "abc";  // 3 bytes: odd, so one zero byte follows
  first.write(traceEvent(kTrOpen, kStepEntry), payload, 3);
  second.writeHandle(traceEvent(kTrClose, kStepEntry), 0x1122334455667788ull, payload, 3);
  uint8_t big[40];
  std::memset(big, 0xEE, sizeof big);
  first.writeHandleCount(traceEvent(kTrRegRead, kStepDetail), 7, 2, big, sizeof big);  // cut to 16
  first.writeExit(kTrOpen, 1208, 0x20000084, 0, 321);

  auto f = readAll(dir.path() + "/Gevlink.000");
  ASSERT_EQ(f.size(), 0x10000u + 32);
  EXPECT_EQ(std::memcmp(f.data(), "Gevlink", 8), 0);
  EXPECT_EQ(le32(&f[20]), 0x10000u);
  EXPECT_EQ(le32(&f[28]), 16u);
  const uint8_t* r = &f[32];
  EXPECT_EQ(r[0] | r[1] << 8, 0xCEFA);
  EXPECT_EQ(r[2] | r[3] << 8, 0x1201);
  EXPECT_EQ(le32(r + 12), uint32_t(getpid()));
  EXPECT_EQ(le32(r + 16), 3u);
  EXPECT_EQ(std::memcmp(r + 20, "abc\0", 4), 0);
  r += 24;  // handle record: 28-byte header, length = payload + 4
  EXPECT_EQ(r[2] | r[3] << 8, 0x1301);
  EXPECT_EQ(le32(r + 16), 7u);
  EXPECT_EQ(le32(r + 20), 0x55667788u);
  EXPECT_EQ(std::memcmp(r + 28, "abc\0", 4), 0);
  r += 32;  // handle and count: 36-byte header, length = payload + 8
  EXPECT_EQ(le32(r + 16), 16u + 8);
  EXPECT_EQ(le32(r + 28), 2u);
  EXPECT_EQ(r[36], 0xEE);
  EXPECT_EQ(r[36 + 16], 0xFA);  // the exit record follows
  uint32_t end = uint32_t(r + 36 + 16 + 20 + 16 - &f[32]);
  EXPECT_EQ(le32(&f[24]), end);

  std::string text;
  ASSERT_TRUE(formatTrace(f.data(), f.size(), text));
  EXPECT_NE(text.find("event 1201 GDevOpen entry : 61 62 63 00"), std::string::npos) << text;
  EXPECT_NE(text.find("event 1301 GDevClose entry : 88 77 66 55 44 33 22 11 61 62 63 00"), std::string::npos) << text;
  EXPECT_NE(text.find("GDevOpen exit status 1208 code 0x20000084 info 0x00000000 at 321"), std::string::npos) << text;

  // The tool prints the same.
  std::string command = std::string(GEVLINK_TRACE_TOOL) + " " + dir.path() + "/Gevlink.000";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char line[512];
  while (std::fgets(line, sizeof line, p)) out += line;
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(out, text);
}

TEST(GevlinkTrace, RingWrapsAndReaderSurvivesDamage) {
  TempDir dir;
  Settings s;
  s.traceDirectory = dir.path();
  s.traceFileSize = 0x10000;
  s.traceDataSize = 64;
  Trace t(s);
  uint8_t payload[64] = {};
  for (int i = 0; i < 2000; ++i) {  // 84 bytes each: wraps the 64 KiB ring twice
    payload[0] = uint8_t(i);
    t.write(traceEvent(kTrWaitStream, kStepDetail), payload, sizeof payload);
  }
  auto f = readAll(dir.path() + "/Gevlink.000");
  std::string text;
  ASSERT_TRUE(formatTrace(f.data(), f.size(), text));
  // The newest record comes last.
  EXPECT_NE(text.rfind(": CF 00"), std::string::npos);  // 1999 & 0xFF = 0xCF
  EXPECT_GT(text.size(), 1000u);
  f[24] = 0xFF, f[25] = 0xFF, f[26] = 0xFF;  // write position beyond the ring
  EXPECT_FALSE(formatTrace(f.data(), f.size(), text));
  EXPECT_FALSE(formatTrace(f.data(), 20, text));
}

TEST(GevlinkTrace, UnusableFolderTurnsTracingOff) {
  Settings s;
  s.traceDirectory = "/proc/gevlink-cannot-be-here";
  Trace t(s);
  EXPECT_FALSE(t.on());
  t.write(1, "x", 1);  // a no-op, not a crash
  s.traceDirectory.clear();
  EXPECT_FALSE(Trace(s).on());
}

}  // namespace
}  // namespace gevlink
