#include "sim/scene/render_fingerprint.h"

#include <cstdio>

namespace sim {

void RenderHash::bytes(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < n; ++i) {
    a_ = (a_ ^ p[i]) * 0x100000001b3ULL;
    b_ = (b_ ^ p[i]) * 0x100000001b3ULL;
    b_ ^= b_ >> 29;
  }
}

void RenderHash::text(const std::string& s) {
  uint64_t n = s.size();
  bytes(&n, sizeof n);
  bytes(s.data(), s.size());
}

void RenderHash::mat(const cv::Mat& m) {
  value(m.rows);
  value(m.cols);
  value(m.type());
  if (m.empty()) return;
  cv::Mat c = m.isContinuous() ? m : m.clone();
  bytes(c.data, c.total() * c.elemSize());
}

std::string RenderHash::hex() const {
  char out[33];
  std::snprintf(out, sizeof out, "%016llx%016llx", static_cast<unsigned long long>(a_),
                static_cast<unsigned long long>(b_));
  return out;
}

namespace {

void hashPose(RenderHash& h, const Pose& p) {
  for (int i = 0; i < 9; ++i) h.value(p.R.val[i]);
  for (int i = 0; i < 3; ++i) h.value(p.t[i]);
}

void hashCamera(RenderHash& h, const Camera& c) {
  h.value(c.width);
  h.value(c.height);
  for (double v : {c.fx, c.fy, c.cx, c.cy, c.k1, c.k2, c.p1, c.p2, c.k3}) h.value(v);
  hashPose(h, c.pose);
}

void hashScene(RenderHash& h, const Scene& scene) {
  h.text(scene.name);
  h.value(static_cast<uint64_t>(scene.objects.size()));
  for (const Object& o : scene.objects) {
    h.value(static_cast<int>(o.kind));
    for (const cv::Vec3d* v : {&o.centre, &o.u, &o.v, &o.n, &o.half})
      for (int i = 0; i < 3; ++i) h.value((*v)[i]);
    h.value(o.radius);
    h.value(o.texOffset.x);
    h.value(o.texOffset.y);
    const Material& m = o.material;
    h.value(m.albedo);
    const Texture& t = m.texture;
    h.value(static_cast<int>(t.kind));
    h.value(t.scale);
    h.value(t.contrast);
    h.value(t.seed);
    h.mat(t.image);
    h.value(t.mmPerPixel);
    const BoardSpec& b = t.board;
    for (int v : {b.nCirclesX, b.nCirclesY, b.originX, b.originY}) h.value(v);
    for (double v : {b.unitleng, b.circleRadius, b.innerRadius, b.margin, b.whiteAlbedo, b.darkAlbedo}) h.value(v);
    h.text(o.name);
  }
}

void hashSettings(RenderHash& h, const RenderSettings& s) {
  const Lighting& l = s.lighting;
  for (double v : {l.ambient, l.projectorGain, l.referenceDistance, l.blackLevel}) h.value(v);
  const SensorModel& m = s.sensor;
  for (double v : {m.exposure, m.gain, m.fullScale, m.readNoise, m.electronsPerDn, m.blurSigma}) h.value(v);
  h.value(m.noise);
  h.value(s.supersample);
  h.value(s.seed);
}

}  // namespace

void hashRender(RenderHash& h, const StereoRig& rig, const Scene& scene, const RenderSettings& settings) {
  hashScene(h, scene);
  hashCamera(h, rig.left);
  hashCamera(h, rig.right);
  const Projector& pj = rig.projector;
  h.value(pj.width);
  h.value(pj.height);
  for (double v : {pj.fx, pj.fy, pj.cx, pj.cy}) h.value(v);
  h.value(pj.periods);
  hashPose(h, pj.pose);
  hashSettings(h, settings);
}

std::string renderFingerprint(const StereoRig& rig, const Scene& scene, const RenderSettings& settings) {
  RenderHash h;
  h.text("zelsim render 1");
  hashRender(h, rig, scene, settings);
  return h.hex();
}

}  // namespace sim
