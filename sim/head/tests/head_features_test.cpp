// Feature registers of both device kinds and the head's projector channel,
// driven directly (no network): refusals, triggers, frame contents.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim/head/camera_features.h"
#include "sim/head/head_projector_channel.h"
#include "sim/head/published_images.h"
#include "sim/head/register_map.h"
#include "sim/head/stereo_head_features.h"
#include "sim/projector/projector_state.h"

namespace sim::head {
namespace {

// 16 x 8 images whose bytes tell camera, pattern and position apart.
SceneImages syntheticImages() {
  SceneImages s;
  s.width = 16;
  s.height = 8;
  for (int c = 0; c < 2; ++c)
    for (int k = 0; k < 14; ++k)
      for (size_t i = 0; i < s.frameBytes(); ++i) s.images[c].push_back(static_cast<uint8_t>(c * 100 + k * 7 + i % 5));
  return s;
}

template <typename F>
bool waitFor(F done) {
  for (int i = 0; i < 400 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

uint32_t channelWord(char c) {
  uint32_t code = static_cast<uint8_t>(c);
  return ((~code & 0xFFFFu) << 16) | code;
}

TEST(CameraFeaturesTest, RefusalsAndFramesOfThePatternShown) {
  SceneImages images = syntheticImages();
  sim::ProjectorState projector;
  CameraFeatures cam(1, images, projector);
  cam.start();
  uint32_t v = 0;
  EXPECT_EQ(cam.writeRegister(camreg::kPixelFormat, camreg::kMono16), kStatusInvalidParameter);
  EXPECT_EQ(cam.writeRegister(camreg::kPixelFormat, camreg::kMono8), kStatusSuccess);
  EXPECT_EQ(cam.writeRegister(camreg::kWidth, 17), kStatusInvalidParameter);
  EXPECT_EQ(cam.writeRegister(camreg::kPayloadSize, 1), kStatusWriteProtect);
  EXPECT_EQ(cam.readRegister(camreg::kEnd, v), kStatusInvalidAddress);
  ASSERT_EQ(cam.readRegister(camreg::kPayloadSize, v), kStatusSuccess);
  EXPECT_EQ(v, 128u);
  EXPECT_EQ(cam.writeRegister(camreg::kTLParamsLocked, 1), kStatusSuccess);
  EXPECT_EQ(cam.writeRegister(camreg::kWidth, 16), kStatusAccessDenied);
  EXPECT_EQ(cam.writeRegister(camreg::kTLParamsLocked, 0), kStatusSuccess);

  // Software trigger: before any pattern the textured image, then the pattern shown.
  ASSERT_EQ(cam.writeRegister(camreg::kAcquisitionStart, 1), kStatusSuccess);
  ASSERT_EQ(cam.writeRegister(camreg::kTriggerSoftware, 1), kStatusSuccess);
  ASSERT_TRUE(waitFor([&] { return cam.framesMade() == 1; }));
  EXPECT_EQ(cam.lastFrame(),
            std::vector<uint8_t>(images.image(1, kTexturePattern), images.image(1, kTexturePattern) + 128));
  projector.showPattern(3);  // software trigger: showing a pattern fires nothing
  EXPECT_EQ(cam.writeRegister(camreg::kExposureTimeRaw, 20000), kStatusSuccess);
  ASSERT_EQ(cam.writeRegister(camreg::kTriggerSoftware, 1), kStatusSuccess);
  ASSERT_TRUE(waitFor([&] { return cam.framesMade() == 2; }));
  std::vector<uint8_t> expected(128);
  applyExposure(images.image(1, 3), expected.data(), 128, 2.0);
  EXPECT_EQ(cam.lastFrame(), expected);

  // Hardware trigger on Line1: each pattern shown fires one frame; software trigger refused.
  EXPECT_EQ(cam.writeRegister(camreg::kExposureTimeRaw, 10000), kStatusSuccess);
  EXPECT_EQ(cam.writeRegister(camreg::kTriggerSource, camreg::kSourceLine1), kStatusSuccess);
  EXPECT_EQ(cam.writeRegister(camreg::kTriggerSoftware, 1), kStatusAccessDenied);
  projector.showPattern(7);
  ASSERT_TRUE(waitFor([&] { return cam.framesMade() == 3; }));
  EXPECT_EQ(cam.lastFrame(), std::vector<uint8_t>(images.image(1, 7), images.image(1, 7) + 128));
  // Source Hardware (the eBUS cameras): patterns fire; TriggerSoftware is
  // accepted and sends nothing.
  EXPECT_EQ(cam.writeRegister(camreg::kTriggerSource, camreg::kSourceHardware), kStatusSuccess);
  EXPECT_EQ(cam.writeRegister(camreg::kTriggerSoftware, 1), kStatusSuccess);
  projector.showPattern(11);
  ASSERT_TRUE(waitFor([&] { return cam.framesMade() == 4; }));
  EXPECT_EQ(cam.lastFrame(), std::vector<uint8_t>(images.image(1, 11), images.image(1, 11) + 128));
  // Control lost: acquisition ends, patterns fire nothing, the lock clears.
  EXPECT_EQ(cam.writeRegister(camreg::kTLParamsLocked, 1), kStatusSuccess);
  cam.controlLost();
  projector.showPattern(8);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(cam.framesMade(), 4u);
  ASSERT_EQ(cam.readRegister(camreg::kTLParamsLocked, v), kStatusSuccess);
  EXPECT_EQ(v, 0u);
  cam.stop();
}

class RecordingActions : public HeadProjectorActions {
 public:
  void showPattern(int pattern) override { shown.push_back(pattern); }
  void setLight(uint8_t r, uint8_t, uint8_t) override { light = r; }
  void runSequence(int count) override { sequence = count; }
  std::vector<int> shown;
  int light = -1, sequence = 0;
};

TEST(HeadProjectorChannelTest, TextsComplementsAndReplies) {
  RecordingActions actions;
  HeadProjectorChannel channel(actions);
  auto send = [&](const std::string& text) {
    for (char c : text) ASSERT_EQ(channel.write(channelWord(c)), kStatusSuccess);
  };
  EXPECT_EQ(channelWord('i'), 0xFF960069u);
  send("o5\r");
  send("o44\r");  // out of range: no pattern
  send("z13\r");
  EXPECT_EQ(actions.shown, std::vector<int>{5});
  EXPECT_EQ(actions.sequence, 13);
  EXPECT_EQ(channel.badCommands(), 1u);
  // A wrong complement and a code above 0xFF are refused and counted.
  EXPECT_EQ(channel.write(0x00000069), kStatusInvalidParameter);
  EXPECT_EQ(channel.write(0xFEFF0100), kStatusInvalidParameter);
  EXPECT_EQ(channel.refusedWrites(), 2u);
  EXPECT_EQ(channel.read(), 0u);
  send("i\r");
  EXPECT_EQ(channel.read(), 255u);
  EXPECT_EQ(channel.read(), 0u);
  send("i1A1A1A\r");
  EXPECT_EQ(actions.light, 0x1A);
  send("i\r");
  EXPECT_EQ(channel.read(), 0x1Au);
  send(std::string(100, 'o') + "\r");  // overlong: dropped whole
  send("x7\r");
  EXPECT_EQ(channel.badCommands(), 2u);
  EXPECT_EQ(actions.shown, std::vector<int>{5});
}

TEST(StereoHeadFeaturesTest, SideBySideFramesPerPatternAndRegisterTable) {
  SceneImages images = syntheticImages();
  sim::ProjectorState projector;
  StereoHeadFeatures head(images, projector, 0, /*sequenceStepMs=*/5);
  head.start();
  uint32_t v = 0;
  ASSERT_EQ(head.readRegister(headreg::kFirmware, v), kStatusSuccess);
  EXPECT_EQ(v, 0x01040207u);
  EXPECT_EQ(head.writeRegister(headreg::kFirmware, 1), kStatusWriteProtect);
  for (uint32_t reg : {headreg::kExposure, headreg::kGain, headreg::kTransferMode, headreg::kPixelClockDelay}) {
    ASSERT_EQ(head.writeRegister(reg, 321), kStatusSuccess);
    ASSERT_EQ(head.readRegister(reg, v), kStatusSuccess);
    EXPECT_EQ(v, 321u);
  }
  EXPECT_EQ(head.writeRegister(headreg::kAnalogGain, 4), kStatusInvalidParameter);
  EXPECT_EQ(head.writeRegister(headreg::kExposure, 10000), kStatusSuccess);
  EXPECT_EQ(head.writeRegister(headreg::kGain, 100), kStatusSuccess);
  ASSERT_EQ(head.readRegister(headreg::kWidth, v), kStatusSuccess);
  EXPECT_EQ(v, 32u);

  // Trigger 1: the projector text through the channel shows pattern 4 and
  // fires one side-by-side frame.
  ASSERT_EQ(head.writeRegister(headreg::kTrigger, 1), kStatusSuccess);
  ASSERT_EQ(head.writeRegister(headreg::kStreamStart, 0), kStatusSuccess);
  ASSERT_EQ(head.writeRegister(headreg::kAcquisitionStart, 1), kStatusSuccess);
  for (char c : std::string("o4\r")) ASSERT_EQ(head.writeRegister(headreg::kProjectorChannel, channelWord(c)), 0);
  ASSERT_TRUE(waitFor([&] { return head.framesMade() == 1; }));
  EXPECT_EQ(projector.snapshot().pattern, 4);
  std::vector<uint8_t> frame = head.lastFrame();
  ASSERT_EQ(frame.size(), 32u * 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) {
      ASSERT_EQ(frame[y * 32 + x], images.image(0, 4)[y * 16 + x]);
      ASSERT_EQ(frame[y * 32 + 16 + x], images.image(1, 4)[y * 16 + x]);
    }
  EXPECT_EQ(head.writeRegister(headreg::kProjectorChannel, 0x1234), kStatusInvalidParameter);
  EXPECT_EQ(head.refusedChannelWrites(), 1u);
  // "z3": patterns 0, 1, 2 one per step, a frame each.
  for (char c : std::string("z3\r")) ASSERT_EQ(head.writeRegister(headreg::kProjectorChannel, channelWord(c)), 0);
  ASSERT_TRUE(waitFor([&] { return head.framesMade() == 4; }));
  EXPECT_EQ(projector.snapshot().pattern, 2);
  const std::vector<uint8_t> last = head.lastFrame();
  ASSERT_EQ(last.size(), 32u * 8);
  EXPECT_EQ(std::vector<uint8_t>(last.begin(), last.begin() + 16),
            std::vector<uint8_t>(images.image(0, 2), images.image(0, 2) + 16));

  // Another size: halves resized; the payload follows.
  ASSERT_EQ(head.writeRegister(headreg::kAcquisitionStop, 1), kStatusSuccess);
  EXPECT_EQ(head.writeRegister(headreg::kWidth, 63), kStatusInvalidParameter);
  ASSERT_EQ(head.writeRegister(headreg::kWidth, 64), kStatusSuccess);
  ASSERT_EQ(head.writeRegister(headreg::kHeight, 16), kStatusSuccess);
  ASSERT_EQ(head.readRegister(headreg::kPayloadSize, v), kStatusSuccess);
  EXPECT_EQ(v, 64u * 16);
  ASSERT_EQ(head.writeRegister(headreg::kAcquisitionStart, 1), kStatusSuccess);
  projector.showPattern(2);
  ASSERT_TRUE(waitFor([&] { return head.framesMade() == 5; }));
  EXPECT_EQ(head.lastFrame().size(), 64u * 16);

  // Trigger 0: frames flow without any pattern until AcquisitionStop.
  ASSERT_EQ(head.writeRegister(headreg::kTrigger, 0), kStatusSuccess);
  ASSERT_TRUE(waitFor([&] { return head.framesMade() >= 6; }));
  ASSERT_EQ(head.writeRegister(headreg::kAcquisitionStop, 1), kStatusSuccess);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a frame under way may still finish
  const uint64_t stopped = head.framesMade();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(head.framesMade(), stopped);
  head.stop();
}

}  // namespace
}  // namespace sim::head

namespace sim::head {
namespace {

TEST(PublishedImagesTest, ReaderSeesTheLatestImagesAndAReplacedNameSurvives) {
  const std::string name = "zel_head_pub_" + std::to_string(::getpid());
  std::vector<uint8_t> left(6, 1), right(6, 2);
  auto first = ImagesPublisher::create(name, 3, 2);
  ASSERT_TRUE(first);
  first->publish(7, 42, left.data(), right.data());
  auto reader = ImagesReader::open(name);
  ASSERT_TRUE(reader);
  PublishedImages got;
  ASSERT_TRUE(reader->read(&got));
  EXPECT_EQ(got.width, 3);
  EXPECT_EQ(got.height, 2);
  EXPECT_EQ(got.pattern, 7);
  EXPECT_EQ(got.triggerCount, 42u);
  EXPECT_EQ(got.left, left);
  EXPECT_EQ(got.right, right);

  // A second publisher takes the name; the first one going away leaves it.
  auto second = ImagesPublisher::create(name, 4, 4);
  ASSERT_TRUE(second);
  first.reset();
  auto again = ImagesReader::open(name);
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->read(&got));
  EXPECT_EQ(got.width, 4);
  second.reset();
  EXPECT_FALSE(ImagesReader::open(name));
  EXPECT_FALSE(ImagesPublisher::create("a/b", 4, 4));
}

}  // namespace
}  // namespace sim::head
