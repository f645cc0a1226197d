#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

#include "diag/logger.h"
#include "viewer/app/cloud_source.h"
#include "viewer/app/viewer.h"

namespace nubiview {
namespace {

constexpr auto kWatchPeriod = std::chrono::milliseconds(200);
constexpr double kDoubleClickSeconds = 0.5;

}  // namespace

std::tm localNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

void Viewer::applyFileSettings() {
  const std::string ini = CompanionIniPath(path_);
  if (!path_.empty() && IniPresent(ini)) {
    adj_ = ReadColourAdjustment(ini);
    ReadCoordinateSystem(inEffect_, ini);
  } else {
    adj_ = ColourAdjustment{};
    inEffect_ = programDefault_;
  }
}

void Viewer::loadIntoGpu(bool readFile) {
  if (readFile && !path_.empty()) {
    base_.clear();
    base_.shrink_to_fit();
    triangles_.clear();
    ZEL_LOG("open [%s]\n", path_.c_str());
    LoadCloud(path_, [&](const CloudView& c) {
      BuiltCloud built = BuildVertices(c.positions, c.colours, c.count, inEffect_, viewScale_);
      base_ = std::move(built.vertices);
      fileCentre_ = built.fileCentre;
      triangles_ = DrawableTriangles(c.triangles, c.triangleCount, c.count);
    });
    char title[64];
    std::snprintf(title, sizeof title, " (%zu)", base_.size());
    glfwSetWindowTitle(window_, (std::string(kProgramName) + " - " + path_ + title).c_str());
    watching_ = true;
    nextWatch_ = Clock::now() + kWatchPeriod;
  }
  display_ = base_;
  ApplyColourMapping(display_, true, adj_);
  renderer_.uploadCloud(display_);
  renderer_.uploadTriangles(triangles_);
}

void Viewer::reload(bool resetPivot) {
  std::lock_guard<std::mutex> lock(storeLock_);
  saving_ = true;
  applyFileSettings();
  renderer_.uploadGizmo(BuildGizmo(displaySign(inEffect_, 0), displaySign(inEffect_, 1), displaySign(inEffect_, 2)));
  panel_.setFromRecord(adj_);
  loadIntoGpu(true);
  texture_ = true;
  pickText_.clear();
  picks_.forget();
  renderer_.setPickLine(false);
  if (resetPivot) camera_.setPivot(fileCentre_);
  lastWrite_ = 0;
  saving_ = false;
}

void Viewer::openFile(const std::string& path) {
  if (path.empty()) return;
  path_ = path;
  viewScale_ = 0;
  reload(true);
}

void Viewer::rebuildColours(bool textureOn) {
  display_ = base_;
  ApplyColourMapping(display_, textureOn, adj_);
  // Picked points stay marked; their saved colours follow the new mapping.
  for (const ColourPatch& p : picks_.remark(display_)) unpackColour(display_[p.index], p.colour);
  renderer_.uploadCloud(display_);
}

void Viewer::applyPatches(const std::vector<ColourPatch>& patches) {
  for (const ColourPatch& p : patches) {
    if (p.index >= display_.size()) continue;
    unpackColour(display_[p.index], p.colour);
    renderer_.patchColour(p.index, display_[p.index]);
  }
}

void Viewer::updatePickLine() {
  const auto& pts = picks_.points();
  if (pts.size() == 2) {
    const float s = viewScale_;
    renderer_.setPickLine(true, {pts[0].x * s, pts[0].y * s, pts[0].z * s}, {pts[1].x * s, pts[1].y * s, pts[1].z * s});
  } else {
    renderer_.setPickLine(false);
  }
}

void Viewer::pickAt(float x, float y, bool centre) {
  const Mat4 wvp = camera_.worldViewProjection();
  const float w = float(camera_.width()), h = float(camera_.height());
  const std::optional<std::uint32_t> found = FindNearestVertex(base_, wvp, w, h, x, y);
  const std::vector<ColourPatch> patches = picks_.pick(found, display_, wvp, w, h, x, y, viewScale_);
  if (!patches.empty()) {
    applyPatches(patches);
    pickText_ = PickText(picks_.points(), inEffect_);
    updatePickLine();
  }
  if (centre && picks_.size() > 0) {
    const PickedPoint& p = picks_.points().back();
    camera_.setPivot({p.x * viewScale_, p.y * viewScale_, p.z * viewScale_});
  }
}

void Viewer::clearPicks() {
  applyPatches(picks_.clear());
  pickText_.clear();
  renderer_.setPickLine(false);
}

void Viewer::resetView() {
  ZEL_LOG("ResetView\n");
  camera_.resetView(inEffect_, fileCentre_);
}

void Viewer::fileWatchTick() {
  // A running save holds the store lock; the check waits for the next tick.
  if (!watching_ || path_.empty() || saveJob_.running() || Clock::now() < nextWatch_) return;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (ok) {
      const std::int64_t t = std::int64_t(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
      if (lastWrite_ != 0 && t != lastWrite_) {
        reload(false);
        const std::tm now = localNow();
        char buf[32];
        std::snprintf(buf, sizeof buf, "update: %02d:%02d:%02d", now.tm_hour, now.tm_min, now.tm_sec);
        setMessage(buf, false);
      }
      lastWrite_ = t;
    }
  }
  nextWatch_ = Clock::now() + kWatchPeriod;
}

void Viewer::onKey(int key, int mods) {
  if (panel_.sliderFocused() || optionsDialog_.open() || saveJob_.running()) return;
  if (imguiReady_ && (ImGui::GetIO().WantTextInput || ImGui::IsPopupOpen("", ImGuiPopupFlags_AnyPopupId)))
    return;  // a dialog is up: the view keys wait
  const bool alt = (mods & GLFW_MOD_ALT) != 0;
  const float cx = camera_.width() * 0.5f, cy = camera_.height() * 0.5f;
  auto viewDrag = [&](float x0, float y0, float dx, float dy) {
    camera_.beginRotate(x0, y0);
    camera_.rotateTo(x0 + dx, y0 + dy);
    camera_.endRotate();
  };
  auto panDrag = [&](float dx, float dy) {
    camera_.beginPan(cx, cy);
    camera_.panTo(cx + dx, cy + dy);
    camera_.endPan();
    camera_.endRotate();  // a pan ends any drag in progress
  };
  const auto& pts = picks_.points();
  auto pivotAt = [&](Vec3 p) {
    camera_.setPivot(p * viewScale_);
    camera_.endRotate();
  };
  switch (key) {
    case GLFW_KEY_LEFT: alt ? panDrag(10, 0) : viewDrag(cx, cy, -10, 0); break;
    case GLFW_KEY_UP: alt ? panDrag(0, 10) : viewDrag(cx, cy, 0, -10); break;
    case GLFW_KEY_RIGHT: alt ? panDrag(-10, 0) : viewDrag(cx, cy, 10, 0); break;
    case GLFW_KEY_DOWN: alt ? panDrag(0, -10) : viewDrag(cx, cy, 0, 10); break;
    case GLFW_KEY_0:
      camera_.setPivot({0, 0, 0});
      camera_.endRotate();
      break;
    case GLFW_KEY_1:
      if (!pts.empty()) pivotAt({pts[0].x, pts[0].y, pts[0].z});
      break;
    case GLFW_KEY_2:
      if (pts.size() == 2) pivotAt({pts[1].x, pts[1].y, pts[1].z});
      break;
    case GLFW_KEY_3:
      if (pts.size() == 2)
        pivotAt({(pts[0].x + pts[1].x) * 0.5f, (pts[0].y + pts[1].y) * 0.5f, (pts[0].z + pts[1].z) * 0.5f});
      break;
    case GLFW_KEY_C:
      viewDrag(0, 0, 20, 0);
      camera_.endRotate();
      break;
    case GLFW_KEY_Z:
      viewDrag(0, 0, -20, 0);
      camera_.endRotate();
      break;
    case GLFW_KEY_R:
      if (!path_.empty()) {
        reload(false);
        setMessage("reread.", false);
      }
      break;
    case GLFW_KEY_W: camera_.addWheel(120); break;
    case GLFW_KEY_S: camera_.addWheel(-120); break;
    case GLFW_KEY_F1: toggleFullScreen(); break;
    case GLFW_KEY_F2: clearPicks(); break;
    case GLFW_KEY_F3: resetView(); break;
    case GLFW_KEY_F4: saveWithDialog(); break;
    default: break;
  }
}

void Viewer::onMouseButton(int button, bool down, float x, float y) {
  message_.clear();
  const bool gui = imguiReady_ && ImGui::GetIO().WantCaptureMouse;
  if (button == GLFW_MOUSE_BUTTON_LEFT) {
    if (down && !gui)
      camera_.beginRotate(x, y);
    else if (!down)
      camera_.endRotate();
  } else if (button == GLFW_MOUSE_BUTTON_MIDDLE) {
    if (down && !gui)
      camera_.beginPan(x, y);
    else if (!down)
      camera_.endPan();
  } else if (button == GLFW_MOUSE_BUTTON_RIGHT && !gui) {
    if (down) {
      const auto now = Clock::now();
      const bool dbl = std::chrono::duration<double>(now - lastRightDown_).count() < kDoubleClickSeconds &&
                       std::fabs(x - lastRightX_) <= 4 && std::fabs(y - lastRightY_) <= 4;
      lastRightDown_ = dbl ? Clock::time_point{} : now;
      lastRightX_ = x;
      lastRightY_ = y;
      if (dbl) pickAt(x, y, true);
    } else {
      pickAt(x, y, false);
    }
  }
}

void Viewer::onCursor(float x, float y) {
  if (camera_.rotating()) camera_.rotateTo(x, y);
  if (camera_.panning()) camera_.panTo(x, y);
}

void Viewer::onScroll(double notches) {
  message_.clear();
  if (imguiReady_ && ImGui::GetIO().WantCaptureMouse) return;
  camera_.addWheel(static_cast<int>(std::lround(notches * 120)));
}

void Viewer::onDrop(const std::string& path) { openFile(path); }

void Viewer::toggleFullScreen() {
  GLFWmonitor* monitor = glfwGetPrimaryMonitor();
  if (!fullScreen_) {
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    if (!mode) return;
    glfwGetWindowPos(window_, &windowedPos_[0], &windowedPos_[1]);
    glfwGetWindowSize(window_, &windowedSize_[0], &windowedSize_[1]);
    glfwSetWindowMonitor(window_, monitor, 0, 0, mode->width, mode->height, mode->refreshRate);
    fullScreen_ = true;
  } else {
    glfwSetWindowMonitor(window_, nullptr, windowedPos_[0], windowedPos_[1], windowedSize_[0], windowedSize_[1], 0);
    fullScreen_ = false;
  }
}

}  // namespace nubiview
