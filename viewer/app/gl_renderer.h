#pragma once
// OpenGL 3.3 core drawing of the cloud (1-pixel points), its triangles, the
// axis gizmo and the pick line. Needs a current context for every call.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "viewer/app/cloud_vertices.h"
#include "viewer/app/vertex.h"
#include "viewer/app/view_math.h"

namespace nubiview {

class GlRenderer {
 public:
  GlRenderer() = default;
  GlRenderer(const GlRenderer&) = delete;
  GlRenderer& operator=(const GlRenderer&) = delete;
  ~GlRenderer();

  // Compiles the shaders and makes the buffers; false with error set on failure.
  bool create(std::string& error);
  void destroy();

  // Replaces the cloud's vertex buffer.
  void uploadCloud(const std::vector<Vertex>& vertices);
  // Rewrites the colour of single vertices in the cloud buffer.
  void patchColour(std::uint32_t index, const Vertex& v);
  void uploadTriangles(const std::vector<std::uint32_t>& indices);
  void uploadGizmo(const Gizmo& gizmo);
  void setPickLine(bool shown, Vec3 a = {}, Vec3 b = {});

  // Clears to the 0xRRGGBB background and the depth buffer.
  void clear(std::uint32_t bgColor, int width, int height);
  // Draws points, then the mesh (behind the points at equal depth), the gizmo
  // and the pick line.
  void draw(const Mat4& worldViewProj, bool drawCloud, bool drawMesh);

  std::size_t pointCount() const { return pointCount_; }
  std::size_t triangleIndexCount() const { return triangleIndices_; }

 private:
  unsigned program_ = 0;
  int wvpLocation_ = -1;
  unsigned cloudVao_ = 0, cloudVbo_ = 0, meshIbo_ = 0;
  unsigned gizmoVao_ = 0, gizmoVbo_ = 0, gizmoIbo_ = 0;
  unsigned lineVao_ = 0, lineVbo_ = 0;
  std::size_t pointCount_ = 0, triangleIndices_ = 0;
  bool pickLine_ = false;
};

}  // namespace nubiview
