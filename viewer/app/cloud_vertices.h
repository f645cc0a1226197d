#pragma once
// Turning the point store's arrays into display vertices, and the colour
// mapping applied to the copy that goes to the GPU.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "viewer/app/vertex.h"
#include "viewer/app/view_math.h"
#include "viewer/app/viewer_settings.h"

namespace nubiview {

struct BuiltCloud {
  std::vector<Vertex> vertices;
  Vec3 fileCentre;
};

// Builds display vertices from count points (positions 3 floats, colours 3
// bytes each): coordinates times the display signs and the view scale.
// viewScale: 0 (or NaN) means not set yet; it then becomes 1 / the largest
// absolute coordinate, so the cloud fits into [-1, 1]^3, and is kept as is on
// later calls so reloads stay comparable. A cloud whose points all lie at the
// origin sets it to 1; an empty cloud leaves it untouched (still unset), so a
// file caught empty while being rewritten does not fix a useless scale.
// Non-finite coordinates do not take part in the largest value, and points
// with one take no part in the centre (the renderer does not draw them).
BuiltCloud BuildVertices(const float* positions, const std::uint8_t* colours, std::size_t count,
                         const CoordinateSystem& cs, float& viewScale);

// Recolours vertices in place (alpha untouched). textureOn false: every colour
// byte that is not 0 becomes 255. textureOn true with the adjustment enabled:
// c' = trunc(c * gain + offset) in float, clamped to 0..255. Otherwise
// unchanged. Runs over the vertices with OpenMP.
void ApplyColourMapping(std::vector<Vertex>& vertices, bool textureOn, const ColourAdjustment& adj);

// Triangles whose three indices all lie in 0..pointCount-1, as 32-bit indices
// for drawing; the others are dropped (the file's indices are not checked).
std::vector<std::uint32_t> DrawableTriangles(const std::int32_t* triangles, std::size_t triangleCount,
                                             std::size_t pointCount);

// The axis gizmo: 24 vertices and 34 line-list indices for the display signs.
struct Gizmo {
  Vertex vertices[24];
  std::uint32_t indices[34];
};
Gizmo BuildGizmo(float sx, float sy, float sz);

}  // namespace nubiview
