#pragma once
// Picking points under the mouse and the two-point pick queue with its text.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "viewer/app/vertex.h"
#include "viewer/app/view_math.h"
#include "viewer/app/viewer_settings.h"

namespace nubiview {

// Picks count only closer than this many pixels to the mouse.
constexpr float kPickRadius = 16.0f;

// Index of the vertex whose projection lies nearest to (mouseX, mouseY), the
// lower index winning ties, if it is closer than kPickRadius. Points at or
// behind the eye plane are never picked.
std::optional<std::uint32_t> FindNearestVertex(const std::vector<Vertex>& vertices, const Mat4& wvp, float width,
                                               float height, float mouseX, float mouseY);

struct PickedPoint {
  float x = 0, y = 0, z = 0;  // display coordinates / view scale
  std::uint32_t savedColour = 0;
  std::uint32_t vertexIndex = 0;
  float screenDistance = 0;
};

// A colour to put back into (or onto) one vertex of the displayed buffer.
struct ColourPatch {
  std::uint32_t index;
  std::uint32_t colour;
};

class PickQueue {
 public:
  // Applies a found vertex (or nothing) to the queue. display holds the
  // vertices as drawn (their colours are saved and marked); base positions
  // give the coordinates. Returns the colour changes for the display buffer
  // (restore of a replaced pick first, then magenta for the new one); empty
  // when nothing changed.
  std::vector<ColourPatch> pick(std::optional<std::uint32_t> found, const std::vector<Vertex>& display, const Mat4& wvp,
                                float width, float height, float mouseX, float mouseY, float viewScale);
  // Forgets every pick; returns the colours to restore.
  std::vector<ColourPatch> clear();
  // Picks forgotten without restoring (the buffer is rebuilt anyway).
  void forget() { points_.clear(); }
  // After the display colours were rebuilt: remember the new colours and
  // return the magenta marks to put back.
  std::vector<ColourPatch> remark(const std::vector<Vertex>& display);

  const std::vector<PickedPoint>& points() const { return points_; }
  std::size_t size() const { return points_.size(); }

 private:
  std::vector<PickedPoint> points_;  // oldest first, at most two
};

// The pick text: one line per pick, then the "diff:" line for two picks.
std::string PickText(const std::vector<PickedPoint>& points, const CoordinateSystem& cs);

}  // namespace nubiview
