#pragma once
// Scene description and ray casting: planes, rectangles, spheres, boxes and
// circle-grid calibration boards, each with a Lambertian albedo that is
// constant, procedural noise, an image, or the board's circle pattern.
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "sim/scene/camera.h"

namespace sim {

// Circle-grid calibration board: dark circles on white, spaced `unitleng`
// apart; the origin circle (column nCirclesX - originX - 1, row
// nCirclesY - originY - 1), its X partner two steps along +x and its Y partner
// one step along +y are double circles (a dark disk with a concentric white
// disk inside). Board coordinates of grid (row r, column c):
// ((c - offsetX) unitleng, (r - offsetY) unitleng, 0).
struct BoardSpec {
  int nCirclesX = 13;
  int nCirclesY = 19;
  int originX = 6;
  int originY = 9;
  double unitleng = 60.0;
  double circleRadius = 0.42;  // in unitleng: diameter 0.84 of the spacing
  double innerRadius = 0.5;    // white disk of a double circle, fraction of the circle radius
  double margin = 1.0;         // white border beyond the outer circle centres, in unitleng
  double whiteAlbedo = 0.85;
  double darkAlbedo = 0.06;

  int offsetX() const { return nCirclesX - originX - 1; }
  int offsetY() const { return nCirclesY - originY - 1; }
  // Board coordinates (mm) of the centre of grid row r, column c.
  cv::Point2d centre(int r, int c) const { return {(c - offsetX()) * unitleng, (r - offsetY()) * unitleng}; }
  bool isDoubleCircle(int r, int c) const;
  // Albedo at board coordinates (x, y) in mm.
  double albedoAt(double x, double y) const;
};

struct Texture {
  enum class Kind { None, Noise, Image, Board };
  Kind kind = Kind::None;
  double scale = 5.0;     // Noise: feature size, mm
  double contrast = 0.4;  // Noise: albedo varies by +-contrast/2 around the base
  uint32_t seed = 1;      // Noise
  cv::Mat image;          // Image: CV_32F, 0..1
  double mmPerPixel = 1;  // Image
  BoardSpec board;        // Board
};

struct Material {
  double albedo = 0.7;
  Texture texture;
};

struct Object {
  enum class Kind { Plane, Rect, Sphere, Box };
  Kind kind = Kind::Plane;
  // Plane and Rect: centre point and orthonormal axes (u, v in the surface,
  // n = u x v the normal). Box: centre and axes of its local frame. Sphere:
  // centre, radius.
  cv::Vec3d centre = {0, 0, 0};
  cv::Vec3d u = {1, 0, 0}, v = {0, 1, 0}, n = {0, 0, 1};
  cv::Vec3d half = {0, 0, 0};  // Rect: half width, half height; Box: half sizes along u, v, n
  double radius = 0;
  cv::Point2d texOffset = {0, 0};  // added to the surface coordinates (boards: board coordinates)
  Material material;
  std::string name;
};

struct Hit {
  double t = 0;
  cv::Vec3d point;
  cv::Vec3d normal;  // unit, facing the ray's origin
  int object = -1;
  int face = 0;         // box face 0..5, else 0
  double s = 0, q = 0;  // surface coordinates in mm (texture lookup)
};

class Scene {
 public:
  std::vector<Object> objects;
  std::string name;

  // Nearest hit with t in (tMin, tMax); false when the ray hits nothing.
  bool intersect(const Ray& ray, double tMin, double tMax, Hit& hit) const;
  // True when something lies on the ray within (tMin, tMax).
  bool occluded(const Ray& ray, double tMin, double tMax) const;
  // Euclidean distance from p to the nearest surface point of any object
  // (infinity for an empty scene): the error measure of a decoded point.
  double distanceToSurface(const cv::Vec3d& p) const;
  // Albedo (0..1) at a hit.
  double albedo(const Hit& hit) const;

  // Builders (angles in degrees, R = Rz Ry Rx applied to the object's axes).
  Object& addPlane(const cv::Vec3d& point, const cv::Vec3d& normal, const Material& m);
  Object& addRect(const cv::Vec3d& centre, double width, double height, const cv::Matx33d& axes, const Material& m);
  Object& addSphere(const cv::Vec3d& centre, double radius, const Material& m);
  Object& addBox(const cv::Vec3d& centre, const cv::Vec3d& size, const cv::Matx33d& axes, const Material& m);
  // A board whose board frame (x, y in the surface, z = x cross y) has the
  // given world axes (columns) and its origin circle at `origin`.
  Object& addBoard(const BoardSpec& spec, const cv::Matx33d& axes, const cv::Vec3d& origin);
};

// Built-in scenes (head world frame, mm).
Scene demoScene();   // tilted plane, sphere and box before a textured backdrop
Scene planeScene();  // one fronto-parallel plane at 700 mm
// Thin upright posts (4 to 14 pixels wide) before a textured backdrop: large
// depth steps and occlusions. Render with offBaselineRig().
Scene postsScene();
// Surfaces at 70 to 80 degrees to the view before a textured backdrop.
// Render with offBaselineRig().
Scene slopesScene();

// Value noise in 0..1 (two octaves), deterministic in (x, y, seed).
double valueNoise(double x, double y, uint32_t seed);

}  // namespace sim
