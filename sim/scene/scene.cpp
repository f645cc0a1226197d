#include "sim/scene/scene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sim {
namespace {

constexpr double kParallel = 1e-12;

inline uint32_t hash3(int32_t x, int32_t y, uint32_t seed) {
  uint32_t h = static_cast<uint32_t>(x) * 0x8da6b343u ^ static_cast<uint32_t>(y) * 0xd8163841u ^ seed * 0xcb1ab31fu;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return h;
}

inline double lattice(int32_t x, int32_t y, uint32_t seed) {
  return (hash3(x, y, seed) & 0xffffff) / static_cast<double>(0xffffff);
}

inline double smooth(double t) { return t * t * (3 - 2 * t); }

double noiseOctave(double x, double y, uint32_t seed) {
  double fx = std::floor(x), fy = std::floor(y);
  int32_t ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy);
  double tx = smooth(x - fx), ty = smooth(y - fy);
  double a = lattice(ix, iy, seed), b = lattice(ix + 1, iy, seed);
  double c = lattice(ix, iy + 1, seed), d = lattice(ix + 1, iy + 1, seed);
  return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
}

bool intersectPlane(const Object& o, const Ray& ray, double& t) {
  double denom = o.n.dot(ray.dir);
  if (std::abs(denom) < kParallel) return false;
  t = o.n.dot(o.centre - ray.origin) / denom;
  return true;
}

bool intersectSphere(const Object& o, const Ray& ray, double tMin, double tMax, double& t) {
  cv::Vec3d oc = ray.origin - o.centre;
  double b = oc.dot(ray.dir);
  double c = oc.dot(oc) - o.radius * o.radius;
  double disc = b * b - c;
  if (disc < 0) return false;
  double sq = std::sqrt(disc);
  t = -b - sq;
  if (t > tMin && t < tMax) return true;
  t = -b + sq;
  return t > tMin && t < tMax;
}

// Slab test in the box's local frame; `face` is the axis*2 + side of entry.
bool intersectBox(const Object& o, const Ray& ray, double tMin, double tMax, double& t, int& face) {
  cv::Vec3d rel = ray.origin - o.centre;
  const cv::Vec3d* axes[3] = {&o.u, &o.v, &o.n};
  double t0 = tMin, t1 = tMax;
  int f0 = -1, f1 = -1;
  for (int a = 0; a < 3; ++a) {
    double org = axes[a]->dot(rel);
    double dir = axes[a]->dot(ray.dir);
    double h = o.half[a];
    if (std::abs(dir) < kParallel) {
      if (org < -h || org > h) return false;
      continue;
    }
    double ta = (-h - org) / dir, tb = (h - org) / dir;
    int fa = a * 2, fb = a * 2 + 1;
    if (ta > tb) {
      std::swap(ta, tb);
      std::swap(fa, fb);
    }
    if (ta > t0) {
      t0 = ta;
      f0 = fa;
    }
    if (tb < t1) {
      t1 = tb;
      f1 = fb;
    }
    if (t0 > t1) return false;
  }
  if (f0 >= 0 && t0 > tMin) {
    t = t0;
    face = f0;
    return true;
  }
  if (f1 >= 0 && t1 < tMax) {  // origin inside the box
    t = t1;
    face = f1;
    return true;
  }
  return false;
}

// Distance along the ray to object o, or false.
bool hitObject(const Object& o, const Ray& ray, double tMin, double tMax, double& t, int& face) {
  face = 0;
  switch (o.kind) {
    case Object::Kind::Plane: return intersectPlane(o, ray, t) && t > tMin && t < tMax;
    case Object::Kind::Rect: {
      if (!intersectPlane(o, ray, t) || !(t > tMin && t < tMax)) return false;
      cv::Vec3d d = ray.origin + t * ray.dir - o.centre;
      return std::abs(d.dot(o.u)) <= o.half[0] && std::abs(d.dot(o.v)) <= o.half[1];
    }
    case Object::Kind::Sphere: return intersectSphere(o, ray, tMin, tMax, t);
    case Object::Kind::Box: return intersectBox(o, ray, tMin, tMax, t, face);
  }
  return false;
}

}  // namespace

double valueNoise(double x, double y, uint32_t seed) {
  return 0.65 * noiseOctave(x, y, seed) + 0.35 * noiseOctave(x * 2.37 + 17.1, y * 2.37 - 5.3, seed + 1);
}

bool BoardSpec::isDoubleCircle(int r, int c) const {
  const int orow = offsetY(), ocol = offsetX();
  return (r == orow && c == ocol) || (r == orow && c == ocol + 2) || (r == orow + 1 && c == ocol);
}

double BoardSpec::albedoAt(double x, double y) const {
  // Nearest grid position.
  double gc = x / unitleng + offsetX(), gr = y / unitleng + offsetY();
  int c = static_cast<int>(std::lround(gc)), r = static_cast<int>(std::lround(gr));
  if (c < 0 || r < 0 || c >= nCirclesX || r >= nCirclesY) return whiteAlbedo;
  double dx = gc - c, dy = gr - r;
  double d2 = dx * dx + dy * dy;
  if (d2 > circleRadius * circleRadius) return whiteAlbedo;
  if (isDoubleCircle(r, c)) {
    double ri = circleRadius * innerRadius;
    if (d2 < ri * ri) return whiteAlbedo;
  }
  return darkAlbedo;
}

bool Scene::intersect(const Ray& ray, double tMin, double tMax, Hit& hit) const {
  double best = tMax;
  int bestObject = -1, bestFace = 0;
  for (size_t i = 0; i < objects.size(); ++i) {
    double t;
    int face;
    if (hitObject(objects[i], ray, tMin, best, t, face) && t < best) {
      best = t;
      bestObject = static_cast<int>(i);
      bestFace = face;
    }
  }
  if (bestObject < 0) return false;
  const Object& o = objects[static_cast<size_t>(bestObject)];
  hit.t = best;
  hit.object = bestObject;
  hit.face = bestFace;
  hit.point = ray.origin + best * ray.dir;
  cv::Vec3d rel = hit.point - o.centre;
  cv::Vec3d normal;
  switch (o.kind) {
    case Object::Kind::Plane:
    case Object::Kind::Rect:
      normal = o.n;
      hit.s = rel.dot(o.u);
      hit.q = rel.dot(o.v);
      break;
    case Object::Kind::Sphere: {
      normal = rel / o.radius;
      double lon = std::atan2(normal[0], -normal[2]);
      double lat = std::asin(std::clamp(normal[1], -1.0, 1.0));
      hit.s = lon * o.radius;
      hit.q = lat * o.radius;
      break;
    }
    case Object::Kind::Box: {
      const cv::Vec3d* axes[3] = {&o.u, &o.v, &o.n};
      int a = bestFace / 2;
      normal = (bestFace % 2) ? *axes[a] : -*axes[a];
      const cv::Vec3d& s1 = *axes[(a + 1) % 3];
      const cv::Vec3d& s2 = *axes[(a + 2) % 3];
      hit.s = rel.dot(s1) + 1000.0 * a;
      hit.q = rel.dot(s2);
      break;
    }
  }
  if (normal.dot(ray.dir) > 0) normal = -normal;
  hit.normal = normal;
  hit.s += o.texOffset.x;
  hit.q += o.texOffset.y;
  return true;
}

bool Scene::occluded(const Ray& ray, double tMin, double tMax) const {
  for (const Object& o : objects) {
    double t;
    int face;
    if (hitObject(o, ray, tMin, tMax, t, face)) return true;
  }
  return false;
}

double Scene::distanceToSurface(const cv::Vec3d& p) const {
  double best = std::numeric_limits<double>::infinity();
  for (const Object& o : objects) {
    const cv::Vec3d r = p - o.centre;
    const cv::Vec3d q(r.dot(o.u), r.dot(o.v), r.dot(o.n));  // in the object's frame
    double d = 0;
    switch (o.kind) {
      case Object::Kind::Plane: d = std::abs(q[2]); break;
      case Object::Kind::Rect: {
        const double a = std::max(std::abs(q[0]) - o.half[0], 0.0);
        const double b = std::max(std::abs(q[1]) - o.half[1], 0.0);
        d = std::sqrt(a * a + b * b + q[2] * q[2]);
        break;
      }
      case Object::Kind::Sphere: d = std::abs(cv::norm(r) - o.radius); break;
      case Object::Kind::Box: {
        const cv::Vec3d e(std::abs(q[0]) - o.half[0], std::abs(q[1]) - o.half[1], std::abs(q[2]) - o.half[2]);
        const cv::Vec3d out(std::max(e[0], 0.0), std::max(e[1], 0.0), std::max(e[2], 0.0));
        const double outside = cv::norm(out);
        // Inside, the nearest face is the one with the least depth below it.
        d = outside > 0 ? outside : -std::max({e[0], e[1], e[2]});
        break;
      }
    }
    best = std::min(best, d);
  }
  return best;
}

double Scene::albedo(const Hit& hit) const {
  const Material& m = objects[static_cast<size_t>(hit.object)].material;
  const Texture& tx = m.texture;
  switch (tx.kind) {
    case Texture::Kind::None: return m.albedo;
    case Texture::Kind::Noise: {
      double n = valueNoise(hit.s / tx.scale, hit.q / tx.scale, tx.seed);
      return std::clamp(m.albedo * (1.0 + tx.contrast * (n - 0.5) * 2.0), 0.0, 1.0);
    }
    case Texture::Kind::Image: {
      if (tx.image.empty()) return m.albedo;
      // Centred on the surface origin, repeated.
      double px = hit.s / tx.mmPerPixel + tx.image.cols * 0.5;
      double py = hit.q / tx.mmPerPixel + tx.image.rows * 0.5;
      int ix = static_cast<int>(std::floor(px)) % tx.image.cols;
      int iy = static_cast<int>(std::floor(py)) % tx.image.rows;
      if (ix < 0) ix += tx.image.cols;
      if (iy < 0) iy += tx.image.rows;
      return std::clamp(m.albedo * tx.image.at<float>(iy, ix), 0.0, 1.0);
    }
    case Texture::Kind::Board: return tx.board.albedoAt(hit.s, hit.q);
  }
  return m.albedo;
}

Object& Scene::addPlane(const cv::Vec3d& point, const cv::Vec3d& normal, const Material& m) {
  Object o;
  o.kind = Object::Kind::Plane;
  o.centre = point;
  o.n = cv::normalize(normal);
  // Any orthonormal pair in the plane for texture coordinates.
  cv::Vec3d helper = std::abs(o.n[1]) < 0.9 ? cv::Vec3d(0, 1, 0) : cv::Vec3d(1, 0, 0);
  o.u = cv::normalize(helper.cross(o.n));
  o.v = o.n.cross(o.u);
  o.material = m;
  objects.push_back(o);
  return objects.back();
}

Object& Scene::addRect(const cv::Vec3d& centre, double width, double height, const cv::Matx33d& axes,
                       const Material& m) {
  Object o;
  o.kind = Object::Kind::Rect;
  o.centre = centre;
  o.u = cv::Vec3d(axes(0, 0), axes(1, 0), axes(2, 0));
  o.v = cv::Vec3d(axes(0, 1), axes(1, 1), axes(2, 1));
  o.n = o.u.cross(o.v);
  o.half = {width / 2, height / 2, 0};
  o.material = m;
  objects.push_back(o);
  return objects.back();
}

Object& Scene::addSphere(const cv::Vec3d& centre, double radius, const Material& m) {
  Object o;
  o.kind = Object::Kind::Sphere;
  o.centre = centre;
  o.radius = radius;
  o.material = m;
  objects.push_back(o);
  return objects.back();
}

Object& Scene::addBox(const cv::Vec3d& centre, const cv::Vec3d& size, const cv::Matx33d& axes, const Material& m) {
  Object o;
  o.kind = Object::Kind::Box;
  o.centre = centre;
  o.u = cv::Vec3d(axes(0, 0), axes(1, 0), axes(2, 0));
  o.v = cv::Vec3d(axes(0, 1), axes(1, 1), axes(2, 1));
  o.n = cv::Vec3d(axes(0, 2), axes(1, 2), axes(2, 2));
  o.half = size * 0.5;
  o.material = m;
  objects.push_back(o);
  return objects.back();
}

Object& Scene::addBoard(const BoardSpec& spec, const cv::Matx33d& axes, const cv::Vec3d& origin) {
  // Board extent in board coordinates (mm).
  double x0 = (-spec.offsetX() - spec.margin) * spec.unitleng;
  double x1 = (spec.nCirclesX - 1 - spec.offsetX() + spec.margin) * spec.unitleng;
  double y0 = (-spec.offsetY() - spec.margin) * spec.unitleng;
  double y1 = (spec.nCirclesY - 1 - spec.offsetY() + spec.margin) * spec.unitleng;
  cv::Point2d mid((x0 + x1) / 2, (y0 + y1) / 2);
  cv::Vec3d ax(axes(0, 0), axes(1, 0), axes(2, 0)), ay(axes(0, 1), axes(1, 1), axes(2, 1));
  Material m;
  m.albedo = spec.whiteAlbedo;
  m.texture.kind = Texture::Kind::Board;
  m.texture.board = spec;
  Object& o = addRect(origin + mid.x * ax + mid.y * ay, x1 - x0, y1 - y0, axes, m);
  o.texOffset = mid;
  o.name = "board";
  return o;
}

namespace {

// A matte material with a noise texture: base albedo, feature size (mm),
// contrast and seed.
Material noiseMaterial(double albedo, double scale, double contrast, uint32_t seed) {
  Material m;
  m.albedo = albedo;
  m.texture.kind = Texture::Kind::Noise;
  m.texture.scale = scale;
  m.texture.contrast = contrast;
  m.texture.seed = seed;
  return m;
}

// A scene named `name` with the textured backdrop 950 mm away that the
// demo-like scenes stand before.
Scene withBackdrop(const char* name) {
  Scene s;
  s.name = name;
  s.addPlane({0, 0, 950}, {0, 0, -1}, noiseMaterial(0.7, 7.0, 0.45, 11)).name = "backdrop";
  return s;
}

}  // namespace

Scene demoScene() {
  Scene s = withBackdrop("demo");
  s.addRect({-120, 40, 720}, 190, 300, rotationFromEulerDeg(12, 38, 4), noiseMaterial(0.75, 4.0, 0.3, 23)).name =
      "tilted plane";
  s.addSphere({95, -70, 640}, 80, noiseMaterial(0.8, 3.0, 0.25, 37)).name = "sphere";
  s.addBox({70, 125, 790}, {170, 100, 130}, rotationFromEulerDeg(-20, 30, 10), noiseMaterial(0.65, 5.0, 0.35, 41))
      .name = "box";
  return s;
}

Scene planeScene() {
  Scene s;
  s.name = "plane";
  s.addPlane({0, 0, 700}, {0, 0, -1}, noiseMaterial(0.75, 6.0, 0.3, 5)).name = "plane";
  return s;
}

Scene postsScene() {
  Scene s = withBackdrop("posts");
  // Upright posts 2 to 6 mm wide (4 to 14 pixels at their distance), 300 to
  // 400 mm before the backdrop: disparity steps of 35 to 60 pixels.
  struct Post {
    double x, z, width;
  };
  const Post posts[] = {{-230, 560, 2.0}, {-140, 600, 3.0}, {-40, 640, 4.0},
                        {60, 580, 2.5},   {160, 620, 6.0},  {240, 660, 3.5}};
  uint32_t seed = 51;
  for (const Post& p : posts) {
    s.addBox({p.x, 0, p.z}, {p.width, 520, p.width}, rotationFromEulerDeg(0, 0, 0),
             noiseMaterial(0.75, 2.0, 0.25, seed++))
        .name = "post";
  }
  return s;
}

Scene slopesScene() {
  Scene s = withBackdrop("slopes");
  // Surfaces turned 70 to 80 degrees away from the view: two about the
  // vertical axis (one receding to each side), one about the horizontal axis.
  s.addRect({-120, -60, 740}, 380, 260, rotationFromEulerDeg(0, 72, 0), noiseMaterial(0.8, 4.0, 0.3, 61)).name =
      "slope left";
  s.addRect({130, -40, 720}, 420, 240, rotationFromEulerDeg(0, -78, 0), noiseMaterial(0.8, 4.0, 0.3, 62)).name =
      "slope right";
  s.addRect({0, 200, 760}, 300, 420, rotationFromEulerDeg(75, 0, 0), noiseMaterial(0.8, 4.0, 0.3, 63)).name =
      "slope floor";
  return s;
}

}  // namespace sim
