#pragma once
// For host tests of the USB camera plug-ins: a 13-pattern shot against
// `zelsim serve`, in software trigger (projector command, then capture) and
// in hardware trigger (the projector's pulse alone), every frame compared
// byte for byte with the images the head publishes (read with the head's own
// reader, not the cameras').
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "camera/sdk/simhead/testing/host_frames.h"
#include "camera/sdk/simhead/testing/zelsim_serve.h"
#include "sim/head/published_images.h"

namespace zeltest {

inline void expectHeadImages(const std::vector<Frame>& frames, const sim::head::PublishedImages& head, int pattern,
                             std::uint32_t index) {
  ASSERT_EQ(frames.size(), 2u) << "pattern " << pattern;
  ASSERT_EQ(head.pattern, pattern);
  bool seen[2] = {false, false};
  for (const Frame& f : frames) {
    ASSERT_TRUE(f.camera == 0 || f.camera == 1);
    seen[f.camera] = true;
    EXPECT_EQ(f.index, index) << "pattern " << pattern;
    ASSERT_EQ(f.width, head.width);
    ASSERT_EQ(f.height, head.height);
    const std::vector<std::uint8_t>& expected = f.camera == 0 ? head.left : head.right;
    EXPECT_TRUE(f.pixels == expected) << "camera " << f.camera << " pattern " << pattern;
  }
  EXPECT_TRUE(seen[0] && seen[1]);
}

// cam: open, both callbacks registered to HostFrames::callback.
template <class Interface>
void shootAgainstServe(Interface& cam, ZelsimServe& serve, const std::string& publishName) {
  auto reader = sim::head::ImagesReader::open(publishName);
  ASSERT_NE(reader, nullptr);
  sim::head::PublishedImages head;
  HostFrames& frames = HostFrames::instance();
  frames.clear();

  ASSERT_TRUE(cam.setTriggerMode(1));
  for (int p = 0; p < 13; ++p) {
    ASSERT_TRUE(serve.showPattern(p)) << serve.output();
    ASSERT_TRUE(cam.capture());
    ASSERT_TRUE(reader->read(&head));
    expectHeadImages(frames.take(2), head, p, 0);
  }

  ASSERT_TRUE(cam.setTriggerMode(0));
  cam.resetFrameCount();
  for (int p = 0; p < 13; ++p) {
    ASSERT_TRUE(serve.showPattern(p)) << serve.output();
    std::vector<Frame> got = frames.take(2);
    ASSERT_TRUE(reader->read(&head));
    expectHeadImages(got, head, p, static_cast<std::uint32_t>(p));
  }
}

}  // namespace zeltest
