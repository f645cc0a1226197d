#include "sim/scene/scene_file.h"

#include <filesystem>

#include <opencv2/imgcodecs.hpp>

namespace sim {
namespace {

struct ParseError {
  std::string text;
};

cv::Vec3d readVec3(const cv::FileNode& n, const char* key, const cv::Vec3d& def, bool required = false) {
  cv::FileNode v = n[key];
  if (v.empty()) {
    if (required) throw ParseError{std::string("missing '") + key + "'"};
    return def;
  }
  if (!v.isSeq() || v.size() != 3) throw ParseError{std::string("'") + key + "' must be a list of 3 numbers"};
  cv::Vec3d out;
  for (int i = 0; i < 3; ++i) {
    if (!v[i].isReal() && !v[i].isInt()) throw ParseError{std::string("'") + key + "' must hold numbers"};
    out[i] = static_cast<double>(v[i]);
  }
  return out;
}

double readNumber(const cv::FileNode& n, const char* key, double def, double lo, double hi) {
  cv::FileNode v = n[key];
  if (v.empty()) return def;
  if (!v.isReal() && !v.isInt()) throw ParseError{std::string("'") + key + "' must be a number"};
  double x = static_cast<double>(v);
  if (!(x >= lo && x <= hi))
    throw ParseError{std::string("'") + key + "' out of range [" + std::to_string(lo) + ", " + std::to_string(hi) +
                     "]"};
  return x;
}

Material readMaterial(const cv::FileNode& n, const std::string& baseDir) {
  Material m;
  m.albedo = readNumber(n, "albedo", m.albedo, 0.0, 1.0);
  cv::FileNode t = n["texture"];
  if (t.empty()) return m;
  if (!t.isMap()) throw ParseError{"'texture' must be a map"};
  std::string type = static_cast<std::string>(t["type"]);
  if (type == "noise") {
    m.texture.kind = Texture::Kind::Noise;
    m.texture.scale = readNumber(t, "scale", 5.0, 1e-3, 1e6);
    m.texture.contrast = readNumber(t, "contrast", 0.4, 0.0, 2.0);
    m.texture.seed = static_cast<uint32_t>(readNumber(t, "seed", 1, 0, 4294967295.0));
  } else if (type == "image") {
    std::string path = static_cast<std::string>(t["path"]);
    if (path.empty()) throw ParseError{"image texture without 'path'"};
    std::filesystem::path p(path);
    if (p.is_relative()) p = std::filesystem::path(baseDir) / p;
    cv::Mat img = cv::imread(p.string(), cv::IMREAD_GRAYSCALE);
    if (img.empty()) throw ParseError{"cannot read texture image " + p.string()};
    img.convertTo(m.texture.image, CV_32F, 1.0 / 255.0);
    m.texture.kind = Texture::Kind::Image;
    m.texture.mmPerPixel = readNumber(t, "mm_per_pixel", 1.0, 1e-4, 1e4);
  } else if (!type.empty() && type != "none") {
    throw ParseError{"unknown texture type '" + type + "'"};
  }
  return m;
}

BoardSpec readBoard(const cv::FileNode& n, BoardSpec spec) {
  if (n.empty()) return spec;
  spec.nCirclesX = static_cast<int>(readNumber(n, "n_circles_x", spec.nCirclesX, 3, 200));
  spec.nCirclesY = static_cast<int>(readNumber(n, "n_circles_y", spec.nCirclesY, 3, 200));
  spec.originX = static_cast<int>(readNumber(n, "origin_x", spec.originX, 0, spec.nCirclesX - 3));
  spec.originY = static_cast<int>(readNumber(n, "origin_y", spec.originY, 0, spec.nCirclesY - 2));
  spec.unitleng = readNumber(n, "unitleng", spec.unitleng, 1e-3, 1e5);
  spec.circleRadius = readNumber(n, "circle_radius", spec.circleRadius, 0.05, 0.49);
  spec.innerRadius = readNumber(n, "inner_radius", spec.innerRadius, 0.1, 0.9);
  return spec;
}

void readRender(const cv::FileNode& n, RenderSettings& s) {
  if (n.empty()) return;
  s.supersample = static_cast<int>(readNumber(n, "supersample", s.supersample, 1, 16));
  s.sensor.blurSigma = readNumber(n, "blur_sigma", s.sensor.blurSigma, 0, 20);
  s.sensor.exposure = readNumber(n, "exposure", s.sensor.exposure, 0, 1e3);
  s.sensor.gain = readNumber(n, "gain", s.sensor.gain, 0, 1e3);
  s.sensor.readNoise = readNumber(n, "read_noise", s.sensor.readNoise, 0, 100);
  s.sensor.noise = readNumber(n, "noise", s.sensor.noise ? 1 : 0, 0, 1) != 0;
  s.lighting.ambient = readNumber(n, "ambient", s.lighting.ambient, 0, 100);
  s.lighting.projectorGain = readNumber(n, "projector_gain", s.lighting.projectorGain, 0, 100);
}

void readObject(const cv::FileNode& n, SceneDescription& d, const std::string& baseDir) {
  if (!n.isMap()) throw ParseError{"every entry of 'objects' must be a map"};
  std::string type = static_cast<std::string>(n["type"]);
  std::string name = n["name"].empty() ? type : static_cast<std::string>(n["name"]);
  cv::Vec3d rot = readVec3(n, "rotation", {0, 0, 0});
  cv::Matx33d axes = rotationFromEulerDeg(rot[0], rot[1], rot[2]);
  Material m = readMaterial(n, baseDir);
  if (type == "plane") {
    cv::Vec3d normal = readVec3(n, "normal", {0, 0, -1});
    if (cv::norm(normal) < 1e-9) throw ParseError{"plane normal must not be zero"};
    d.scene.addPlane(readVec3(n, "point", {}, true), normal, m).name = name;
  } else if (type == "rect") {
    cv::FileNode sz = n["size"];
    if (!sz.isSeq() || sz.size() != 2) throw ParseError{"rect 'size' must be [width, height]"};
    double w = static_cast<double>(sz[0]), h = static_cast<double>(sz[1]);
    if (!(w > 0 && h > 0)) throw ParseError{"rect size must be positive"};
    d.scene.addRect(readVec3(n, "center", {}, true), w, h, axes, m).name = name;
  } else if (type == "sphere") {
    double r = readNumber(n, "radius", 0, 0, 1e7);
    if (!(r > 0)) throw ParseError{"sphere 'radius' must be positive"};
    d.scene.addSphere(readVec3(n, "center", {}, true), r, m).name = name;
  } else if (type == "box") {
    cv::Vec3d size = readVec3(n, "size", {}, true);
    if (!(size[0] > 0 && size[1] > 0 && size[2] > 0)) throw ParseError{"box size must be positive"};
    d.scene.addBox(readVec3(n, "center", {}, true), size, axes, m).name = name;
  } else if (type == "board") {
    BoardSpec spec = readBoard(n["board"], d.board);
    d.scene.addBoard(spec, axes, readVec3(n, "origin", {}, true)).name = name;
  } else {
    throw ParseError{"unknown object type '" + type + "'"};
  }
}

}  // namespace

bool loadSceneFile(const std::string& path, SceneDescription& out, std::string* error) {
  try {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      if (error) *error = "cannot open scene file " + path;
      return false;
    }
    cv::FileStorage fs(path, cv::FileStorage::READ);
    if (!fs.isOpened()) {
      if (error) *error = "cannot open scene file " + path;
      return false;
    }
    SceneDescription d;
    const std::string baseDir = std::filesystem::path(path).parent_path().string();
    std::string type = fs["type"].empty() ? "pattern" : static_cast<std::string>(fs["type"]);
    if (type == "pattern")
      d.kind = SceneDescription::Kind::Pattern;
    else if (type == "boards")
      d.kind = SceneDescription::Kind::Boards;
    else
      throw ParseError{"unknown scene type '" + type + "' (pattern or boards)"};
    d.board = readBoard(fs["board"], d.board);
    readRender(fs["render"], d.settings);
    d.poses = static_cast<int>(readNumber(fs.root(), "poses", 0, 0, 1000));
    cv::FileNode objects = fs["objects"];
    if (!objects.empty()) {
      if (!objects.isSeq()) throw ParseError{"'objects' must be a list"};
      for (const cv::FileNode& o : objects) readObject(o, d, baseDir);
    }
    if (d.kind == SceneDescription::Kind::Pattern && d.scene.objects.empty())
      throw ParseError{"a pattern scene needs at least one object"};
    d.scene.name = std::filesystem::path(path).stem().string();
    out = std::move(d);
    return true;
  } catch (const ParseError& e) {
    if (error) *error = path + ": " + e.text;
  } catch (const cv::Exception& e) {
    if (error) *error = path + ": " + e.what();
  }
  return false;
}

}  // namespace sim
