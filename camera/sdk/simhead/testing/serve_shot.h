#pragma once
// For host tests of the USB camera plug-ins: a 13-pattern shot against
// `zelsim serve`, in software trigger (projector command, then capture) and
// in hardware trigger (the projector's pulse alone), every frame compared
// byte for byte with the images the head publishes (read with the head's own
// reader, not the cameras'); and the same check against a TestHead.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera/sdk/simhead/testing/host_frames.h"
#include "camera/sdk/simhead/testing/test_head.h"
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

// The frames of one pattern of a TestHead: one per camera, each the head's
// image of that camera byte for byte, both with the frame index `index`.
inline void expectTestHeadPattern(const std::vector<Frame>& frames, const TestHead& head, int width, int height,
                                  int pattern, std::uint32_t index) {
  ASSERT_EQ(frames.size(), 2u) << "pattern " << pattern;
  bool seen[2] = {false, false};
  for (const auto& f : frames) {
    ASSERT_TRUE(f.camera == 0 || f.camera == 1);
    seen[f.camera] = true;
    EXPECT_EQ(f.index, index);
    ASSERT_EQ(f.width, width);
    ASSERT_EQ(f.height, height);
    EXPECT_EQ(0, std::memcmp(f.pixels.data(), head.image(f.camera, pattern), head.frameBytes()))
        << "camera " << f.camera << " pattern " << pattern;
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

// The live virtual head as a user runs it: starts `zelsim serve` publishing
// under namePrefix + pid, loads the plug-in at libraryPath with dlopen, makes
// an instance through CreateFn ("CreateIZelcam3DInstance"), opens both
// cameras and shoots against the served head. Call inside the private
// network namespace (ZEL_REQUIRE_PRIVATE_NETNS first).
template <class Interface, class CreateFn>
void shootPluginAgainstServe(const char* libraryPath, const std::string& namePrefix) {
  const std::string name = namePrefix + std::to_string(::getpid());
  ZelsimServe serve;
  std::string error;
  ASSERT_TRUE(serve.start(name, &error)) << error;
  ::setenv("ZELCAM_SIM_HEAD", name.c_str(), 1);
  void* library = ::dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto create = reinterpret_cast<CreateFn>(::dlsym(library, "CreateIZelcam3DInstance"));
  ASSERT_NE(create, nullptr);
  std::unique_ptr<Interface> cam(create());
  ASSERT_NE(cam, nullptr);
  std::vector<unsigned char> buffers[2] = {std::vector<unsigned char>(64 * 48), std::vector<unsigned char>(64 * 48)};
  cam->setCallback(0, HostFrames::callback, buffers[0].data());
  cam->setCallback(1, HostFrames::callback, buffers[1].data());
  ASSERT_EQ(cam->open(0, 0), 3u);
  shootAgainstServe(*cam, serve, name);
  cam.reset();
  HostFrames::instance().clear();
}

}  // namespace zeltest
