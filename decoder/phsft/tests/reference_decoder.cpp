#include "decoder/phsft/tests/reference_decoder.h"

#include "decoder/common/point_output.h"

#include <cmath>
#include <cstdlib>

namespace zel::test {

namespace {

FiledImages fileImages(const StereoCamera& stereo, int c, int w, int h, const std::uint8_t* set) {
  FiledImages f;
  f.width = w;
  f.height = h;
  const UndistortCamera& cam = c == 0 ? stereo.left : stereo.right;
  const std::size_t n = static_cast<std::size_t>(w) * h;
  for (int k = 0; k < 13; ++k) {
    cv::Mat raw(h, w, CV_8UC1, const_cast<std::uint8_t*>(set + k * n));
    cv::Mat rect;
    cam.rectify(raw, rect);
    const std::uint8_t* p = rect.ptr<std::uint8_t>(0);
    if (k == 0) {
      f.black.assign(p, p + n);
    } else if (k == 1) {
      f.white.assign(p, p + n);
    } else if (k <= 8) {
      std::vector<std::uint8_t>& g = f.gray[k - 2];
      g.assign(p, p + n);
      for (std::size_t i = 0; i < n; ++i) g[i] = g[i] > f.black[i] ? g[i] - f.black[i] : 0;
    } else {
      std::vector<double>& fr = f.fringe[k - 9];
      fr.resize(n);
      for (std::size_t i = 0; i < n; ++i) fr[i] = p[i];
    }
  }
  return f;
}

}  // namespace

void referencePhase(const FiledImages& in, const Thresholds& t, std::vector<std::uint8_t>& mask,
                    std::vector<std::uint8_t>& code, std::vector<double>& phase) {
  const int W = in.width, H = in.height;
  const std::size_t n = static_cast<std::size_t>(W) * H;
  // Mask.
  mask.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const int w = in.white[i], b = in.black[i];
    if (std::abs(w - b) < t.bwDiff || w > t.brightness || w < t.darkness) mask[i] = 201;
  }
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      if (x < 5 || x >= W - 5) mask[y * W + x] = 202;
    }
  }
  // Code.
  std::vector<std::uint8_t> thr(n);
  for (std::size_t i = 0; i < n; ++i) thr[i] = static_cast<std::uint8_t>(in.white[i] - in.black[i]) / 2;
  code.assign(n, 0);
  for (int i = 0; i < 7; ++i) {
    for (std::size_t p = 0; p < n; ++p) {
      if (in.gray[i][p] > thr[p]) code[p] |= static_cast<std::uint8_t>(64 >> i);
    }
  }
  for (std::size_t p = 0; p < n; ++p) {
    const int g = code[p];
    code[p] = static_cast<std::uint8_t>(g ^ (g >> 1) ^ (g >> 2) ^ (g >> 3) ^ (g >> 4) ^ (g >> 5) ^ (g >> 6));
  }
  // Wrapped phase.
  phase.assign(n, 0.0);
  const std::vector<double>& F0 = in.fringe[0];
  const std::vector<double>& F1 = in.fringe[1];
  const std::vector<double>& F2 = in.fringe[2];
  const std::vector<double>& F3 = in.fringe[3];
  for (std::size_t p = 0; p < n; ++p) {
    double ph = std::atan2(F3[p] - F1[p], F2[p] - F0[p]);
    if (!std::isfinite(ph)) {
      ph = 0;
      mask[p] = 203;
    }
    phase[p] = ph;
  }
  // Alignment.
  const double s = t.stepDiff;
  for (int y = 0; y < H; ++y) {
    const std::size_t o = static_cast<std::size_t>(y) * W;
    auto cd = [&](int x) -> std::uint8_t& { return code[o + x]; };
    auto ph = [&](int x) -> double& { return phase[o + x]; };
    int x = 2;
    while (x < W - 2) {
      int next = x + 1;
      if (mask[o + x] == 0 && cd(x - 1) + 1 == cd(x) && ph(x) > s) {
        next = x + 3;  // the moved step (now at x + 2) is not moved again
        for (int j = x; j <= x + 1; ++j) {
          if (ph(j) < -s) {
            next = j + 1;
            break;
          }
          cd(j) = cd(x - 1);
          if (std::fabs(F2[o + j] - F3[o + j]) < 20 && F1[o + j] - F2[o + j] > 30) {
            ph(j) = -2.3562;
            cd(j) = cd(j + 1);
          }
        }
      }
      x = next;
    }
    x = W - 2;
    while (x > 2) {
      int next = x - 1;
      if (cd(x + 1) == cd(x) + 1 && ph(x) < -s) {
        next = x - 3;  // the moved step (now at x - 2) is not moved again
        for (int j = x; j >= x - 1; --j) {
          if (ph(j) > s) {
            next = j - 1;
            break;
          }
          cd(j) = cd(x + 1);
          if (std::fabs(F1[o + j] - F3[o + j]) < 20 && F0[o + j] - F2[o + j] > 30) {
            ph(j) = M_PI;
            cd(j) = cd(j - 1);
          }
        }
      }
      x = next;
    }
  }
  for (std::size_t p = 0; p < n; ++p) phase[p] = code[p] * M_PI * 2 + phase[p];
}

void referenceMatch(const MatchInput& in, const Thresholds& t, std::vector<std::uint8_t>& maskL,
                    std::vector<std::uint8_t>& maskR, std::vector<double>& disp) {
  const int W = in.width, H = in.height;
  const std::size_t n = static_cast<std::size_t>(W) * H;
  const double* phL = in.phaseL;
  const double* phR = in.phaseR;
  const std::uint8_t* wL = in.whiteL;
  const std::uint8_t* wR = in.whiteR;
  disp.assign(n, 0.0);
  const int div = t.searchDiv;
  const int nb = W / div + 1;
  std::vector<double> avg(nb);
  for (int y = 0; y < H; ++y) {
    const std::size_t o = static_cast<std::size_t>(y) * W;
    for (int j = 0; j < nb; ++j) {
      double sum = 0;
      int cnt = 0;
      for (int c = j * div; c < j * div + div && c < W; ++c) {
        if (maskR[o + c] == 0) {
          sum += phR[o + c];
          ++cnt;
        }
      }
      avg[j] = cnt ? sum / cnt : 0.0;
    }
    for (int x = 5; x <= W - 6; ++x) {
      if (maskL[o + x] != 0) continue;
      const double pl = phL[o + x];
      double bestBlock = 1000.0;
      int m = -1;
      for (int j = 0; j < nb; ++j) {
        if (avg[j] == 0.0) continue;
        const double dd = std::fabs(avg[j] - pl);
        if (dd < bestBlock) {
          bestBlock = dd;
          m = j;
        }
      }
      int r = -1;
      double best = 0;
      if (m >= 0) {
        const int start = (m - 1 > 0 ? m - 1 : 0) * div;
        const int end = start + 2 * div < W ? start + 2 * div : W;
        for (int c = start; c < end; ++c) {
          if (!(maskR[o + c] < t.rightDupCnt)) continue;
          const double dd = std::fabs(phR[o + c] - pl);
          if (r < 0 || dd < best) {
            best = dd;
            r = c;
          }
        }
      }
      if (r < 0 || best > t.maxPhDiff) {
        maskL[o + x] = 205;
        continue;
      }
      if (std::fabs(static_cast<double>(wL[o + x]) - static_cast<double>(wR[o + r])) >
          static_cast<double>(wL[o + x]) * t.maxTexDiff)
        maskL[o + x] = 206;
      if (std::abs(static_cast<int>(in.codeL[o + x]) - static_cast<int>(in.codeR[o + r])) > 1) maskL[o + x] = 207;
      // Line fit over the window clipped to the row.
      int cnt = 0;
      double sph = 0, sk = 0;
      const int k0 = r - t.lsPoints / 2;
      for (int k = k0; k < k0 + t.lsPoints; ++k) {
        if (k < 0 || k >= W) continue;
        if (maskR[o + k] < 200) {
          ++cnt;
          sph += phR[o + k];
          sk += k;
        }
      }
      double d;
      if (cnt > 2) {
        const double mph = sph / cnt, mk = sk / cnt;
        double sxy = 0, sxx = 0;
        for (int k = k0; k < k0 + t.lsPoints; ++k) {
          if (k < 0 || k >= W) continue;
          sxy += (phR[o + k] - mph) * (k - mk);
          sxx += (k - mk) * (k - mk);
        }
        const double a = sxy / sxx;
        const double b = mph - a * mk;
        d = static_cast<double>(static_cast<float>(x)) - (pl - b) / a;
      } else {
        d = static_cast<float>(x) - static_cast<float>(r);
      }
      disp[o + x] = d;
      if (std::isnan(d) || std::isinf(d)) {
        disp[o + x] = 0;
        maskL[o + x] = 210;
      } else if (d < t.minParallax || d > t.maxParallax) {
        disp[o + x] = 0;
        maskL[o + x] = 208;
      } else if (std::fabs(disp[o + x - 1] - d) > t.maxStep) {
        maskL[o + x] = 209;
        maskL[o + x - 1] = 209;
      } else {
        const std::size_t up = y > 0 ? o - W + x : o + x;
        if (std::fabs(disp[up] - d) > t.maxStep) {
          maskL[o + x] = 209;
          maskL[up] = 209;
        }
      }
      maskR[o + r] = static_cast<std::uint8_t>(maskR[o + r] + 1);
    }
  }
}

ReferenceResult referenceDecode(const StereoCamera& stereo, const Thresholds& t, int W, int H, const ImagePair& images,
                                int qEvec) {
  ReferenceResult res;
  const std::size_t n = static_cast<std::size_t>(W) * H;
  FiledImages cams[2] = {fileImages(stereo, 0, W, H, images.left), fileImages(stereo, 1, W, H, images.right)};
  for (int c = 0; c < 2; ++c) referencePhase(cams[c], t, res.mask[c], res.code[c], res.phase[c]);

  std::vector<std::uint8_t> maskL = res.mask[0];
  std::vector<std::uint8_t> maskR = res.mask[1];
  const std::vector<std::uint8_t>& wL = cams[0].white;
  std::vector<double> disp;
  MatchInput mi{W,
                H,
                res.phase[0].data(),
                res.phase[1].data(),
                cams[0].white.data(),
                cams[1].white.data(),
                res.code[0].data(),
                res.code[1].data()};
  referenceMatch(mi, t, maskL, maskR, disp);

  // Points: the shared point methods, then a sequential compaction.
  std::vector<PointRecord> records(n);
  std::vector<int> rowCounts(H + 1);
  PointGrid g;
  g.width = W;
  g.height = H;
  g.disparity = disp.data();
  g.leftMask = maskL.data();
  g.texture = wL.data();
  g.records = records.data();
  g.rowCounts = rowCounts.data();
  if (qEvec == 0) {
    reprojectPoints(stereo.Q, g, 1);
  } else {
    triangulateRays(stereo, t.evecError, g, 1);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (maskL[i] != 0) continue;
    res.points.insert(res.points.end(), {records[i].x, records[i].y, records[i].z});
    res.colors.insert(res.colors.end(), {records[i].color[0], records[i].color[1], records[i].color[2]});
    res.pixelIndices.push_back(static_cast<std::int32_t>(i));
  }
  res.count = static_cast<int>(res.pixelIndices.size());
  res.leftMask = maskL;
  res.disparity = disp;
  return res;
}

}  // namespace zel::test
