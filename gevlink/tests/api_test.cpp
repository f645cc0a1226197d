// The GDev functions over a fake transport: argument checks, discovery
// records, open with XML retrieval, waits and cancels, the ordinal table.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "fake_device.h"
#include "gevlink.h"
#include "gevlink/library.h"
#include "gevlink/trace_reader.h"

namespace gevlink {
namespace {

using testing::FakeTransport;

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr uint32_t kDevice = 0x0200007F;    // 127.0.0.2

class GDevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = std::make_shared<FakeTransport::State>();
    std::string xml = testing::smallGenicamXml();
    state_->putText(0x0200, "Local:fake.xml;30000;" + hex(xml.size()), 512);
    state_->putText(0x0400, "", 512);
    state_->putBytes(0x30000, xml.data(), xml.size());
    state_->putRegister(0x10000, 640);
    state_->putRegister(0x10004, 512);
    state_->putRegister(0x10008, 640 * 512);
    state_->refused.push_back(0x20000);
    reset(Settings{});
  }
  void TearDown() override { Library::resetForTesting(std::make_unique<FakeTransport>(state_), Settings{}); }
  void reset(Settings settings, bool trace = false) {
    if (!trace) settings.traceDirectory.clear();  // no trace files from unit tests
    Library::resetForTesting(std::make_unique<FakeTransport>(state_), settings);
  }
  static std::string hex(std::size_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%zX", v);
    return s;
  }
  uint64_t open(INodeMap** map = nullptr) {
    uint64_t device = 0;
    INodeMap* m = nullptr;
    GDevErrInfo err{};
    EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, &device, &m, &err), 0u) << std::hex << err.code;
    if (map) *map = m;
    return device;
  }
  std::shared_ptr<FakeTransport::State> state_;
};

// One discovery acknowledge as a device sends it, built field by field.
DiscoveryAnswer answerFor(uint8_t lastOctet, const char* name) {
  DiscoveryAnswer a{};
  uint8_t header[8] = {0, 0, 0, 3, 0, 248, 0, 1};
  std::memcpy(a.data(), header, 8);
  uint8_t* p = a.data() + 8;
  p[1] = 2;  // version 2.1
  p[3] = 1;
  p[4] = 0x80, p[7] = 1;  // device mode
  uint8_t mac[6] = {0x00, 0x0C, 0xDF, 0x01, 0x02, lastOctet};
  std::memcpy(p + 10, mac, 6);
  p[19] = 7;  // IP options
  p[23] = 4;  // current IP configuration
  uint8_t ip[4] = {127, 0, 0, lastOctet}, mask[4] = {255, 0, 0, 0}, gw[4] = {127, 0, 0, 254};
  std::memcpy(p + 36, ip, 4);
  std::memcpy(p + 52, mask, 4);
  std::memcpy(p + 68, gw, 4);
  std::memcpy(p + 72, "Zelcam", 6);
  std::memcpy(p + 104, "Stereo head", 11);
  std::memcpy(p + 136, "1.2.3", 5);
  std::memcpy(p + 168, "made for tests", 14);
  std::memcpy(p + 216, "SN0001", 6);
  std::memcpy(p + 232, name, std::strlen(name));
  return a;
}

TEST_F(GDevTest, EnumDeviceFillsCapacityAndCountsEveryAnswer) {
  state_->answers = {answerFor(2, "11"), answerFor(3, "12"), answerFor(4, "head")};
  DeviceInfo infos[3];
  std::memset(infos, 0xAB, sizeof infos);
  uint32_t found = 99;
  GDevErrInfo err{1, 1};
  ASSERT_EQ(GDevEnumDevice(&kLoopback, infos, 2, &found, &err), 0u);
  EXPECT_EQ(found, 3u);
  EXPECT_EQ(err.code, 0u);
  // Record 1, byte for byte at the table's offsets.
  const uint8_t* r = reinterpret_cast<const uint8_t*>(&infos[1]);
  EXPECT_EQ(r[0] | r[1] << 8, 2);  // major, host order
  EXPECT_EQ(r[2] | r[3] << 8, 1);
  EXPECT_EQ(infos[1].deviceMode, 0x80000001u);
  EXPECT_EQ(r[8] | r[9], 0);
  const uint8_t mac[6] = {0x00, 0x0C, 0xDF, 0x01, 0x02, 3};
  EXPECT_EQ(std::memcmp(r + 10, mac, 6), 0);
  EXPECT_EQ(infos[1].ipConfigOptions, 7u);
  EXPECT_EQ(infos[1].ipConfigCurrent, 4u);
  const uint8_t ip[4] = {127, 0, 0, 3}, mask[4] = {255, 0, 0, 0}, gw[4] = {127, 0, 0, 254};
  EXPECT_EQ(std::memcmp(r + 24, ip, 4), 0);  // network order kept
  EXPECT_EQ(std::memcmp(r + 28, mask, 4), 0);
  EXPECT_EQ(std::memcmp(r + 32, gw, 4), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 36), "Zelcam");
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 68), "Stereo head");
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 100), "1.2.3");
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 132), "made for tests");
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 180), "SN0001");
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 196), "12");
  EXPECT_STREQ(infos[0].userDefinedName, "11");
  // The third record is beyond the capacity: untouched.
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&infos[2])[0], 0xAB);
}

TEST_F(GDevTest, BadPointersGive87AndTouchNothing) {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  auto* none = static_cast<uint32_t*>(page);
  GDevErrInfo err{};
  uint32_t found = 5;
  DeviceInfo info;
  EXPECT_EQ(GDevEnumDevice(nullptr, &info, 1, &found, &err), 87u);
  EXPECT_EQ(GDevEnumDevice(&kLoopback, reinterpret_cast<DeviceInfo*>(page), 1, &found, &err), 87u);
  EXPECT_EQ(found, 5u);
  EXPECT_EQ(GDevEnumDevice(&kLoopback, &info, 1, &found, nullptr), 87u);
  EXPECT_EQ(GDevFoceIP(&kLoopback, nullptr, &kDevice, &kDevice, &kDevice, &err), 87u);
  uint64_t device = 77;
  INodeMap* map = reinterpret_cast<INodeMap*>(0x1);
  EXPECT_EQ(GDevOpen(&kLoopback, none, &device, &map, &err), 87u);
  EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, reinterpret_cast<uint64_t*>(page), &map, &err), 87u);
  EXPECT_EQ(device, 77u);
  EXPECT_EQ(map, reinterpret_cast<INodeMap*>(0x1));
  EXPECT_EQ(state_->opens, 0);

  uint64_t dev = open();
  // A buffer that ends on an unreadable page is not zero-filled at all.
  uint8_t* two = static_cast<uint8_t*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  mprotect(two + 4096, 4096, PROT_READ);
  std::memset(two, 0x5A, 4096);
  EXPECT_EQ(GDevQueBuffer(dev, 0x100, two, 8192, &err), 87u);
  EXPECT_EQ(two[0], 0x5A);
  uint32_t values[2] = {9, 9};
  EXPECT_EQ(GDevDirectRegRead(dev, none, values, 2, &err), 87u);
  EXPECT_EQ(values[0], 9u);
  EXPECT_EQ(GDevDirectRegWrite(dev, nullptr, 1, values, &err), 87u);
  uint32_t channel = 3;
  void* buffer = &channel;
  EXPECT_EQ(GDevWaitStream(dev, none, 1, &channel, &buffer, &err), 87u);
  EXPECT_EQ(GDevWaitStream(dev, none, 0, &channel, &buffer, &err), 87u);
  EXPECT_EQ(channel, 3u);
  EXPECT_EQ(GDevWaitEvent(dev, page, &found, &err), 87u);
  EXPECT_EQ(GDevGetVersion(nullptr, values, values, &err), 87u);
  EXPECT_EQ(GDevDirectMemRead(dev, 0x10000, nullptr, 4, &err), 87u);
  munmap(two, 8192);
  munmap(page, 4096);
  // A handle that is not open: 6.
  EXPECT_EQ(GDevDirectRegRead(dev + 1, &kDevice, values, 1, &err), 6u);
  EXPECT_EQ(GDevClose(0, &err), 6u);
}

TEST_F(GDevTest, InvalidAddressesAreNamed) {
  const uint32_t zero = 0, ones = 0xFFFFFFFF;
  uint64_t device = 0;
  INodeMap* map = nullptr;
  GDevErrInfo err{};
  EXPECT_EQ(GDevOpen(&ones, &kDevice, &device, &map, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000005u);
  EXPECT_EQ(err.info, 0xFFFFFFFFu);
  EXPECT_EQ(GDevOpen(&kLoopback, &zero, &device, &map, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000005u);
  EXPECT_EQ(err.info, 0u);
}

TEST_F(GDevTest, OpenLoadsNodeMapAndChoosesControlAccess) {
  INodeMap* map = nullptr;
  uint64_t dev = open(&map);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(state_->privilege, 2u);  // ControlAccess preferred
  EXPECT_EQ(map->getInteger("Width"), 640);
  EXPECT_EQ(map->getInteger("PayloadSize"), 640 * 512);
  map->setInteger("Width", 1280);
  EXPECT_EQ(map->getInteger("Width"), 1280);
  EXPECT_THROW(map->setInteger("Width", 8), GDevException);  // below Min: range checked
  EXPECT_THROW(map->getInteger("NoSuchNode"), GDevException);
  map->execute("AcquisitionStart");
  uint32_t address = 0x1000C, value = 0;
  GDevErrInfo err{};
  ASSERT_EQ(GDevDirectRegRead(dev, &address, &value, 1, &err), 0u);
  EXPECT_EQ(value, 1u);
  auto entries = map->enumEntries("GevCCP");
  ASSERT_EQ(entries.size(), 3u);  // in the file's order
  EXPECT_EQ(entries[2].first, "ControlAccess");
  EXPECT_EQ(entries[2].second, 2);
  try {
    map->getInteger("Broken");
    FAIL() << "no exception";
  } catch (const GDevExceptionI& e) {
    EXPECT_EQ(e.kind(), 1u);
    EXPECT_STREQ(e.what(), "Error CommandPort Read. Code:0x00008003 Info:0x00020000");
  }
  try {
    map->setInteger("Broken", 1);
    FAIL() << "no exception";
  } catch (const GDevExceptionI& e) {
    EXPECT_EQ(e.kind(), 2u);
    EXPECT_STREQ(e.message(), "Error CommandPort Write. Code:0x00008004 Info:0x00020000");
  }
  uint32_t keys[4], count = 0;
  ASSERT_EQ(GDevEnumStream(dev, keys, 1, &count, &err), 0u);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(keys[0], 0x100u);
  ASSERT_EQ(GDevClose(dev, &err), 0u);
  EXPECT_EQ(GDevClose(dev, &err), 6u);
  EXPECT_EQ(state_->closes, 1);
}

TEST_F(GDevTest, MixedCaseLocalNameFallsBackToSecondUrl) {
  std::string xml = testing::smallGenicamXml();
  std::vector<uint8_t> zip = testing::zipOf("inner.xml", xml);
  state_->putText(0x0200, "Local:fake.Xml;30000;" + hex(xml.size()), 512);
  state_->putText(0x0400, "Local:FAKE.ZIP;40000;" + hex(zip.size()), 512);
  state_->putBytes(0x40000, zip.data(), zip.size());
  INodeMap* map = nullptr;
  open(&map);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->getInteger("Height"), 512);
  EXPECT_NE(std::find(state_->reads.begin(), state_->reads.end(), 0x0400u), state_->reads.end());
  EXPECT_EQ(std::find(state_->reads.begin(), state_->reads.end(), 0x30000u), state_->reads.end());

  // Both refused: 0x20000084, and the device is closed again.
  state_->putText(0x0400, "Local:fake.Zip;40000;10", 512);
  uint64_t device = 0;
  GDevErrInfo err{};
  EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, &device, &map, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000084u);
  EXPECT_EQ(device, 0u);
  EXPECT_EQ(state_->closes, 1);
}

TEST_F(GDevTest, DamagedArchiveAndUnknownLocation) {
  std::vector<uint8_t> zip = testing::zipOf("inner.xml", testing::smallGenicamXml());
  zip[zip.size() / 2] ^= 0xFF;
  zip[40] ^= 0xFF;
  state_->putText(0x0200, "Local:cam.zip;40000;" + hex(zip.size()), 512);
  state_->putBytes(0x40000, zip.data(), zip.size());
  uint64_t device = 0;
  INodeMap* map = nullptr;
  GDevErrInfo err{};
  EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, &device, &map, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000084u);  // second URL empty: nothing fetched, the file is missing
  state_->putText(0x0400, "Local:cam.zip;40000;" + hex(zip.size()), 512);
  EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, &device, &map, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000083u);
  // A port failure while the URL is read reaches the caller as the transport's words.
  state_->refused.push_back(0x0200);
  EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, &device, &map, &err), 31u);
  EXPECT_EQ(err.code, 0x8003u);
  EXPECT_EQ(state_->closes, 3);
}

TEST_F(GDevTest, WaitRulesListLengthSecondWaiterCancelTimeout) {
  uint64_t dev = open();
  uint32_t keys[33];
  for (uint32_t& k : keys) k = 0x100;
  uint32_t channel = 0, extra = 0;
  void* buffer = nullptr;
  GDevErrInfo err{};
  EXPECT_EQ(GDevWaitStream(dev, keys, 33, &channel, &buffer, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000080u);
  EXPECT_EQ(err.info, 33u);
  uint32_t unknown[2] = {0x100, 0x555};
  EXPECT_EQ(GDevWaitStreamEx(dev, unknown, 2, 10, &channel, &buffer, &extra, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000082u);
  EXPECT_EQ(err.info, 1u);

  EXPECT_EQ(GDevWaitStreamEx(dev, keys, 1, 30, &channel, &buffer, &extra, &err), 1208u);
  EXPECT_EQ(err.code, 0x2000000Au);

  // A cancel set before the wait began is not seen.
  ASSERT_EQ(GDevCancelStream(dev, 0x100, &err), 0u);
  EXPECT_EQ(GDevWaitStreamEx(dev, keys, 1, 30, &channel, &buffer, &extra, &err), 1208u);
  EXPECT_EQ(err.code, 0x2000000Au);

  auto waiter = std::async(std::launch::async, [&] {
    uint32_t ch = 0;
    void* b = nullptr;
    GDevErrInfo e{};
    uint32_t status = GDevWaitStream(dev, keys, 1, &ch, &b, &e);
    return std::make_pair(status, e.code);
  });
  // The second waiter on the same stream (at position 1 of its list).
  uint32_t both[2] = {0x101, 0x100};
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(GDevWaitStreamEx(dev, both, 2, 1, &channel, &buffer, &extra, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000086u);
  EXPECT_EQ(err.info, 1u);
  ASSERT_EQ(GDevCancelStream(dev, 0x100, &err), 0u);
  auto [status, code] = waiter.get();
  EXPECT_EQ(status, 1208u);
  EXPECT_EQ(code, 0x20000085u);
}

TEST_F(GDevTest, CompletionsReachTheirStreamInOrder) {
  uint64_t dev = open();
  uint8_t frames[3][2000];
  GDevErrInfo err{};
  Completion top;  // frame-top notice: no buffer
  top.channel = 1;
  top.info = 77;
  state_->push(top);
  Completion good;
  good.kind = GDEV_FRAME_COMPLETE;
  good.channel = 1;
  good.buffer = frames[0];
  state_->push(good);
  Completion bad = good;
  bad.kind = GDEV_FRAME_INCOMPLETE;
  bad.buffer = frames[1];
  bad.code = 2;
  bad.info = 5;
  state_->push(bad);
  uint32_t key = 0x101, channel = 9, extra = 0;
  void* buffer = nullptr;
  // GDevWaitStreamEx hands out the notice; GDevWaitStream would skip it.
  ASSERT_EQ(GDevWaitStreamEx(dev, &key, 1, 1000, &channel, &buffer, &extra, &err), 0u);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(extra, 77u);
  EXPECT_EQ(err.code, 0u);
  ASSERT_EQ(GDevWaitStream(dev, &key, 1, &channel, &buffer, &err), 0u);
  EXPECT_EQ(channel, 1u);
  EXPECT_EQ(buffer, frames[0]);
  EXPECT_EQ(GDevWaitStream(dev, &key, 1, &channel, &buffer, &err), 1208u);
  EXPECT_EQ(buffer, frames[1]);
  EXPECT_EQ(err.info, 5u);
  state_->push(top);
  good.buffer = frames[2];
  state_->push(good);
  ASSERT_EQ(GDevWaitStream(dev, &key, 1, &channel, &buffer, &err), 0u);
  EXPECT_EQ(buffer, frames[2]);
}

TEST_F(GDevTest, CloseWakesEveryWaiter) {
  uint64_t dev = open();
  auto streamWaiter = std::async(std::launch::async, [&] {
    uint32_t key = 0x100, ch = 0;
    void* b = nullptr;
    GDevErrInfo e{};
    uint32_t s = GDevWaitStream(dev, &key, 1, &ch, &b, &e);
    return s == 1208u ? e.code : s;
  });
  auto eventWaiter = std::async(std::launch::async, [&] {
    uint8_t event[548];
    uint32_t length = 0;
    GDevErrInfo e{};
    uint32_t s = GDevWaitEvent(dev, event, &length, &e);
    return s == 1208u ? e.code : s;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  GDevErrInfo err{};
  uint8_t event[548];
  uint32_t length = 0;
  EXPECT_EQ(GDevWaitEventEx(dev, 10, event, &length, &err), 1208u);  // one event waiter per device
  EXPECT_EQ(err.code, 0x20000086u);
  ASSERT_EQ(GDevClose(dev, &err), 0u);
  EXPECT_EQ(streamWaiter.get(), 0x20000085u);
  EXPECT_EQ(eventWaiter.get(), 0x20000085u);
}

TEST_F(GDevTest, XmlNoEraseKeepsTheFileAndXmlUseLocalLoadsIt) {
  char name[] = "/tmp/gevlink-keep-XXXXXX";
  std::string folder = mkdtemp(name);
  Settings keep;
  keep.xmlFolder = folder;
  keep.xmlNoErase = true;
  reset(keep);
  open();
  std::FILE* kept = std::fopen((folder + "/CDF.XML").c_str(), "rb");
  ASSERT_NE(kept, nullptr);
  std::fclose(kept);
  // Nothing is fetched now: the URL registers are empty, the kept file loads.
  state_->putText(0x0200, "", 512);
  Settings local = keep;
  local.xmlUseLocal = true;
  local.xmlNoErase = false;
  reset(local);
  INodeMap* map = nullptr;
  open(&map);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->getInteger("Width"), 640);
  std::FILE* gone = std::fopen((folder + "/CDF.XML").c_str(), "rb");  // erased after loading
  EXPECT_EQ(gone, nullptr);
  if (gone) std::fclose(gone);
  rmdir(folder.c_str());
}

TEST_F(GDevTest, TraceRecordsCallsAndPortAccess) {
  char name[] = "/tmp/gevlink-trace-XXXXXX";
  std::string folder = mkdtemp(name);
  Settings traced;
  traced.traceDirectory = folder;
  reset(traced, true);
  uint64_t dev = open();
  uint32_t address = 0x10000, value = 0;
  GDevErrInfo err{};
  GDevDirectRegRead(dev + 1, &address, &value, 1, &err);
  reset(Settings{});  // closes the device, unmaps the trace
  std::ifstream in(folder + "/Gevlink.000", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  ASSERT_TRUE(formatTrace(bytes.data(), bytes.size(), text));
  EXPECT_NE(text.find("GDevOpen entry"), std::string::npos) << text;
  EXPECT_NE(text.find("port read detail"), std::string::npos);
  EXPECT_NE(text.find("GDevOpen exit status 0 "), std::string::npos);
  EXPECT_NE(text.find("GDevDirectRegRead exit status 6 "), std::string::npos);
  std::filesystem::remove_all(folder);
}

TEST_F(GDevTest, TableHoldsExactly1024Devices) {
  std::vector<uint64_t> handles;
  for (int i = 0; i < 1024; ++i) handles.push_back(open());
  uint64_t device = 0;
  INodeMap* map = nullptr;
  GDevErrInfo err{};
  EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, &device, &map, &err), 1208u);
  EXPECT_EQ(err.code, 0x20000013u);
  EXPECT_EQ(state_->opens, 1024);  // refused before the transport was asked
  ASSERT_EQ(GDevClose(handles[500], &err), 0u);
  EXPECT_EQ(GDevOpen(&kLoopback, &kDevice, &device, &map, &err), 0u);
}

TEST_F(GDevTest, VersionAndParam) {
  uint32_t version = 0, minor = 0, build = 0;
  GDevErrInfo err{};
  ASSERT_EQ(GDevGetVersion(&version, &minor, &build, &err), 0u);
  EXPECT_EQ(version, 0x02000000u);
  EXPECT_EQ(minor, 7u);
  EXPECT_EQ(build, 42u);
}

// The shared library exports the 25 functions under GEVLINK_2.0, and its
// ordinal table names them in ordinal order.
TEST(GevlinkLibrary, OrdinalTableMatchesExports) {
  void* lib = dlopen(GEVLINK_SO, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  const char* names[26] = {nullptr,
                           "GDevEnumDevice",
                           "GDevFoceIP",
                           "GDevOpen",
                           "GDevClose",
                           "GDevEnumStream",
                           "GDevQueBuffer",
                           "GDevFlushBuffer",
                           "GDevStartStream",
                           "GDevStartStreamEx",
                           "GDevSetFrameTopRecvNotify",
                           "GDevWaitStream",
                           "GDevWaitStreamEx",
                           "GDevCancelStream",
                           "GDevWaitEvent",
                           "GDevWaitEventEx",
                           "GDevCancelEvent",
                           "GDevDirectMemRead",
                           "GDevDirectMemWrite",
                           "GDevDirectRegRead",
                           "GDevDirectRegWrite",
                           "GDevGetParam",
                           "GDevBuffLock",
                           "GDevBuffUnlock",
                           "GDevReAcquisition",
                           "GDevGetVersion"};
  auto table = static_cast<const GDevProc*>(dlvsym(lib, "GDevOrdinalTable", "GEVLINK_2.0"));
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0], nullptr);
  for (int i = 1; i <= 25; ++i)
    EXPECT_EQ(reinterpret_cast<void*>(table[i]), dlvsym(lib, names[i], "GEVLINK_2.0")) << names[i];
  // Nothing internal leaks out.
  EXPECT_EQ(dlsym(lib, "_ZN7gevlink7Library8instanceEv"), nullptr);
  dlclose(lib);
}

}  // namespace
}  // namespace gevlink
