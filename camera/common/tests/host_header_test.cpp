// A host compiles against the public header alone: this file includes
// nothing else of the project.
#include "zelcam3d.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

int hostCallback(int, std::uint32_t, std::int32_t, std::int32_t, unsigned char*) { return 0; }

// The road of one shot, as a host writes it.
bool shoot(IZelcam3D& cam, unsigned char* left, unsigned char* right) {
  cam.setCallback(0, hostCallback, left);
  cam.setCallback(1, hostCallback, right);
  if (cam.open(0, 0) != 3) return false;
  cam.setTriggerMode(1);
  cam.openProjector(0x0A00A8C0);  // 192.168.0.10
  for (int pattern = 0; pattern < 13; ++pattern) {
    cam.projectorCommandP(pattern);
    cam.capture();
  }
  cam.close();
  cam.closeProjector();
  return true;
}

TEST(HostHeader, IsSelfContained) {
  static_assert(std::is_abstract_v<IZelcam3D>);
  static_assert(std::is_abstract_v<IZelcam3DRev23>);
  static_assert(std::has_virtual_destructor_v<IZelcam3D>);
  static_assert(sizeof(ZelcamImageSize) == 8);
  CreateIZelcam3DInstanceFn create = nullptr;
  CreateIZelcam3DRev23InstanceFn create23 = nullptr;
  EXPECT_EQ(create, nullptr);
  EXPECT_EQ(create23, nullptr);
  bool (*road)(IZelcam3D&, unsigned char*, unsigned char*) = shoot;
  EXPECT_NE(road, nullptr);
}

}  // namespace
