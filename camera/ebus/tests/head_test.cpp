// OrvCameBUS and OrvCamStGigE against the virtual head (`zelsim serve --head
// cameras`, cameras "1" and "2"), through include/ and dlopen only: no frame
// before the first setTriggerMode, shots in software trigger (the counter set
// to 0 at each capture) and hardware trigger (counted 0..12) equal to the
// head's images byte for byte, the inter-packet delay, colour refused.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "camera/ace/tests/head_server.h"
#include "sim/gige/testing/private_netns.h"

namespace {

using acetest::FrameSink;
using acetest::HeadServer;

constexpr int kW = HeadServer::kWidth, kH = HeadServer::kHeight;

class EbusOnHead : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEL_REQUIRE_PRIVATE_NETNS();
    std::string error;
    ASSERT_TRUE(head_.start({"1", "2"}, {}, &error)) << error;
  }

  template <class Cam>
  void shotsEqualTheHead(Cam& cam, const std::string& log) {
    cam.setLog(1, log.c_str());
    FrameSink::instance().attach(cam, kW, kH);
    EXPECT_EQ(cam.open(0, 1), 0u);  // colour is refused
    ASSERT_EQ(cam.open(0, 0), 3u) << acetest::readText(log);
    // The receivers start at the first setTriggerMode: nothing before.
    ASSERT_TRUE(head_.showPattern(1));
    cam.capture();
    EXPECT_FALSE(FrameSink::instance().waitFor(0, 1, 300));

    ASSERT_TRUE(cam.setTriggerMode(1));
    shoot(cam, true);
    ASSERT_TRUE(cam.setTriggerMode(0));
    EXPECT_EQ(cam.getTriggerMode(), 0);
    EXPECT_FALSE(cam.setTriggerMode(2));
    ASSERT_TRUE(cam.setTriggerMode(0));
    shoot(cam, false);
    cam.close();
    const std::string text = acetest::readText(log);
    EXPECT_NE(text.find("error: camera-1 not support color.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("try to open camera-2 deviceUserId=2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("camera-1 PacketSize = 1500\ncamera-1 GevSCPD = 1788\n"), std::string::npos) << text;
    EXPECT_NE(text.find("error: camera-1 invalid trigger mode: 2\n"), std::string::npos) << text;
  }

  template <class Cam>
  void shoot(Cam& cam, bool software) {
    FrameSink::instance().clear();
    cam.resetFrameCount();
    for (int p = 0; p < 13; ++p) {
      ASSERT_TRUE(head_.showPattern(p));
      if (software) {
        EXPECT_TRUE(cam.capture());
      }
      for (int c = 0; c < 2; ++c) ASSERT_TRUE(FrameSink::instance().waitFor(c, p + 1, 5000)) << "pattern " << p;
    }
    for (int c = 0; c < 2; ++c) {
      auto frames = FrameSink::instance().frames(c);
      ASSERT_EQ(frames.size(), 13u);
      for (int p = 0; p < 13; ++p) {
        EXPECT_EQ(frames[p].index, software ? 0u : static_cast<std::uint32_t>(p));
        EXPECT_EQ(std::memcmp(frames[p].pixels.data(), head_.images().image(c, p), kW * kH), 0)
            << "camera " << c << " pattern " << p;
      }
    }
  }

  HeadServer head_;
};

TEST_F(EbusOnHead, CameBUSShotsEqualTheHeadsImages) {
  acetest::LoadedPlugin lib(ZEL_EBUS_LIBRARY);
  std::unique_ptr<IZelcam3D> cam(lib.create());
  ASSERT_NE(cam, nullptr) << lib.error();
  EXPECT_EQ(cam->getAnalogGain(0), 0);
  EXPECT_TRUE(cam->setAnalogGain(0, 5));
  shotsEqualTheHead(*cam, ::testing::TempDir() + "ebus_head.log");
}

TEST_F(EbusOnHead, CamStGigEShotsEqualTheHeadsImages) {
  acetest::LoadedPlugin lib(ZEL_STGIGE_LIBRARY);
  std::unique_ptr<IZelcam3DRev23> cam(lib.create23());
  ASSERT_NE(cam, nullptr) << lib.error();
  shotsEqualTheHead(*cam, ::testing::TempDir() + "stgige_head.log");
}

}  // namespace
