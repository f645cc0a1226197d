#include "viewer/cloud/cloud_store.h"

#include <gtest/gtest.h>

namespace {

using cloud::CloudStore;

TEST(CloudStore, ClearReleasesThenReservesTenMillionPoints) {
  CloudStore store;
  store.appendPoint(1, 2, 3, 4, 5, 6);
  store.appendTriangle(0, 0, 0);
  store.clear();
  EXPECT_EQ(store.pointCount(), 0u);
  EXPECT_EQ(store.triangleCount(), 0u);
  EXPECT_GE(store.pointCapacity(), CloudStore::kReservedPoints);
  EXPECT_EQ(store.triangleIndexCapacity(), 0u);  // triangle memory given back
}

TEST(CloudStore, FirstTriangleReservesTenMillionIndices) {
  CloudStore store;
  store.appendTriangle(1, 2, 3);
  EXPECT_GE(store.triangleIndexCapacity(), CloudStore::kReservedIndices);
  EXPECT_EQ(store.triangleCount(), 1u);
  ASSERT_EQ(store.triangles().size(), 3u);
  EXPECT_EQ(store.triangles()[2], 3);
}

TEST(CloudStore, EveryPointHasAColour) {
  CloudStore store;
  store.appendPoint(1.5f, 2, 3);
  CloudStore::PointRoom room = store.appendPoints(2);
  for (int i = 0; i < 6; ++i) {
    room.positions[i] = static_cast<float>(i);
    room.colours[i] = static_cast<std::uint8_t>(i);
  }
  EXPECT_EQ(store.pointCount(), 3u);
  EXPECT_EQ(store.positions().size(), 9u);
  EXPECT_EQ(store.colours().size(), 9u);
  EXPECT_EQ(store.colours()[0], 255);  // white by default
  EXPECT_EQ(store.positions()[0], 1.5f);
  EXPECT_EQ(store.positions()[8], 5.0f);
  store.truncatePoints(1);
  EXPECT_EQ(store.pointCount(), 1u);
  EXPECT_EQ(store.colours().size(), 3u);
}

}  // namespace
