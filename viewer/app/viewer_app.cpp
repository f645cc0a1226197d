#include "viewer/app/viewer_app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <imgui.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <stb_image_write.h>

#include "diag/logger.h"
#include "viewer/app/camera.h"
#include "viewer/app/cloud_source.h"
#include "viewer/app/cloud_vertices.h"
#include "viewer/app/file_dialog.h"
#include "viewer/app/file_output.h"
#include "viewer/app/gl_renderer.h"
#include "viewer/app/panel_rules.h"
#include "viewer/app/picking.h"
#include "viewer/app/script.h"
#include "viewer/app/viewer_settings.h"

namespace nubiview {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kProgramName = "Nubiview11";
constexpr int kStartWidth = 800, kStartHeight = 600;
constexpr auto kWatchPeriod = std::chrono::milliseconds(200);
constexpr double kDoubleClickSeconds = 0.5;
constexpr float kFontSize = 14.0f;
constexpr float kCaptionHeight = 16.0f;

const ImVec4 kYellow(1, 1, 0, 1);
const ImVec4 kRed(1, 0, 0, 1);

struct FormatEntry {
  const char* text;
  const char* value;
};
const FormatEntry kFormats[3] = {
    {"バイナリ - PLY", "ply.bin"}, {"テキスト - PLY", "ply.asc"}, {"バイナリ - 3D", "3d"}};

const char* const kFontCandidates[] = {
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJKjp-Regular.otf",
    "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf",
    "/usr/share/fonts/truetype/fonts-japanese-gothic.ttf",
};

bool equalsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::tm localNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::string escapeLine(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\\')
      out += "\\\\";
    else
      out += c;
  }
  return out;
}

// Creates every missing folder above a file path.
void makeParentFolders(const std::string& file) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
}

int keyFromName(const std::string& name) {
  static const std::pair<const char*, int> kKeys[] = {
      {"Left", GLFW_KEY_LEFT}, {"Right", GLFW_KEY_RIGHT}, {"Up", GLFW_KEY_UP}, {"Down", GLFW_KEY_DOWN},
      {"F1", GLFW_KEY_F1},     {"F2", GLFW_KEY_F2},       {"F3", GLFW_KEY_F3}, {"F4", GLFW_KEY_F4}};
  for (const auto& [n, k] : kKeys)
    if (name == n) return k;
  if (name.size() == 1) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    if (c >= '0' && c <= '9') return GLFW_KEY_0 + (c - '0');
    if (c >= 'A' && c <= 'Z') return GLFW_KEY_A + (c - 'A');
  }
  return GLFW_KEY_UNKNOWN;
}

// One step of a replayed script: a parsed command split into per-frame actions.
struct Action {
  enum Kind { Command, MouseMove, MouseButton, Wait, Frames, WaitFile } kind = Command;
  ScriptCommand command;
  float x = 0, y = 0;
  int button = 0;
  bool down = false;
  Clock::time_point until{};
  int frames = 0;
  std::string path;
};

class Viewer {
 public:
  explicit Viewer(const AppOptions& o) : options_(o) {}
  ~Viewer();
  int run();

  // Input, from GLFW callbacks and from scripts alike.
  void onKey(int key, int mods);
  void onMouseButton(int button, bool down, float x, float y);
  void onCursor(float x, float y);
  void onScroll(double notches);
  void onDrop(const std::string& path);

 private:
  bool init(std::string& error);
  void loadFonts();
  void frame();
  void renderScene();
  void drawGui();
  void drawButtonPanel(float top);
  void drawAdjustmentPanel(float top);
  void drawStatusTexts(float top);
  void drawOptionsDialog();
  void drawProgressDialog();
  void drawMessageBox();
  void drawFallbackFileDialog();

  // Loading and the settings applied with it.
  void applyFileSettings();
  void setPanelFromRecord();
  void loadIntoGpu(bool readFile);
  void reload(bool resetPivot);
  void openFile(const std::string& path);
  void rebuildColours(bool textureOn);
  void applyPatches(const std::vector<ColourPatch>& patches);
  void updatePickLine();
  void pickAt(float x, float y, bool centre);
  void clearPicks();
  void resetView();
  void fileWatchTick();

  // Saving.
  void saveWithDialog();
  void startSave(const std::string& path);
  void pollSave();

  void setMessage(const std::string& text, bool error) {
    message_ = text;
    messageError_ = error;
  }
  void toggleFullScreen();
  void requestOptions();
  void optionsOk();
  void panelApply(bool rebuild);
  void panelSave();
  void adjustmentFromPanel();
  void askOpenFile();

  // Scripts and test hooks.
  bool loadScript(std::string& error);
  void stepScript();
  void runCommand(const ScriptCommand& c);
  void writeDump(const std::string& path);
  bool writeScreenshot(const std::string& path);

  AppOptions options_;
  GLFWwindow* window_ = nullptr;
  bool imguiReady_ = false;
  GlRenderer renderer_;
  ViewCamera camera_;
  std::string programIni_;

  // View state.
  std::string path_;
  float viewScale_ = 0;
  Vec3 fileCentre_;
  std::vector<Vertex> base_;     // without colour mapping
  std::vector<Vertex> display_;  // as in the GPU buffer
  std::vector<std::uint32_t> triangles_;
  std::int64_t lastWrite_ = 0;
  std::atomic<bool> saving_{false};
  std::mutex storeLock_;
  Clock::time_point nextWatch_{};
  bool watching_ = false;

  PickQueue picks_;
  std::string pickText_;
  std::string message_;
  bool messageError_ = false;

  OutputSettings out_;
  CoordinateSystem programDefault_, inEffect_;
  ColourAdjustment adj_;

  // Button panel.
  bool fullScreen_ = false;
  int windowedPos_[2] = {100, 100}, windowedSize_[2] = {kStartWidth, kStartHeight};
  bool texture_ = true;
  bool showMesh_ = true;
  // Colour adjustment panel.
  bool valid_ = false;
  int gainSlider_[3] = {100, 100, 100};
  int offsetSlider_[3] = {0, 0, 0};
  char gainEdit_[3][16] = {};
  char offsetEdit_[3][16] = {};
  bool sliderFocused_ = false;

  // Options dialog.
  bool optionsRequested_ = false, optionsOpen_ = false;
  char optBg_[8] = {};
  int optFormat_ = 0;
  bool optUsePath_ = false;
  char optPath_[129] = {};
  float optColour_[3] = {};
  bool colourPickerRequested_ = false;

  // Message box.
  bool messageBoxRequested_ = false;
  std::string messageBoxText_, messageBoxCaption_;

  // Saving worker.
  std::thread saveThread_;
  std::atomic<bool> saveDone_{false};
  bool saveRunning_ = false, progressRequested_ = false;
  SaveResult saveResult_ = SaveResult::NothingToSave;
  std::string savePath_;

  // Fallback file dialog (when no native chooser is available).
  bool fileDialogRequested_ = false, fileDialogSave_ = false;
  char fileDialogPath_[1024] = {};
  std::string fileDialogDir_;
  std::string saveExt_;

  // Mouse state for double-clicks and ImGui routing.
  float mouseX_ = 0, mouseY_ = 0;
  Clock::time_point lastRightDown_{};
  float lastRightX_ = -1000, lastRightY_ = -1000;

  // Scripts.
  std::deque<Action> actions_;
  bool scripted_ = false;
  bool scriptMouseDown_[3] = {};
  float scriptMouseX_ = -1, scriptMouseY_ = -1;
  std::string pendingScreenshot_;
  bool quit_ = false;
  int exitCode_ = 0;
};

Viewer* g_viewer = nullptr;

void keyCallback(GLFWwindow*, int key, int, int action, int mods) {
  if (g_viewer && (action == GLFW_PRESS || action == GLFW_REPEAT)) g_viewer->onKey(key, mods);
}
void mouseButtonCallback(GLFWwindow* w, int button, int action, int) {
  double x = 0, y = 0;
  glfwGetCursorPos(w, &x, &y);
  if (g_viewer) g_viewer->onMouseButton(button, action == GLFW_PRESS, float(x), float(y));
}
void cursorCallback(GLFWwindow*, double x, double y) {
  if (g_viewer) g_viewer->onCursor(float(x), float(y));
}
void scrollCallback(GLFWwindow*, double, double dy) {
  if (g_viewer) g_viewer->onScroll(dy);
}
void dropCallback(GLFWwindow*, int count, const char** paths) {
  if (g_viewer && count > 0 && paths[0]) g_viewer->onDrop(paths[0]);
}

Viewer::~Viewer() {
  if (saveThread_.joinable()) saveThread_.join();
  if (imguiReady_) {
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
  }
  if (window_) {
    renderer_.destroy();
    glfwDestroyWindow(window_);
  }
  glfwTerminate();
}

bool Viewer::init(std::string& error) {
  if (!glfwInit()) {
    error = "cannot initialise GLFW (no display?)";
    return false;
  }
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
  glfwWindowHint(GLFW_DEPTH_BITS, 24);
  window_ = glfwCreateWindow(kStartWidth, kStartHeight, kProgramName, nullptr, nullptr);
  if (!window_) {
    error = "cannot create an OpenGL 3.3 window";
    return false;
  }
  glfwMakeContextCurrent(window_);
  glfwSwapInterval(options_.screenshot.empty() && options_.script.empty() ? 1 : 0);
  if (!renderer_.create(error)) return false;

  glfwSetKeyCallback(window_, keyCallback);
  glfwSetMouseButtonCallback(window_, mouseButtonCallback);
  glfwSetCursorPosCallback(window_, cursorCallback);
  glfwSetScrollCallback(window_, scrollCallback);
  glfwSetDropCallback(window_, dropCallback);

  IMGUI_CHECKVERSION();
  ImGui::CreateContext();
  ImGui::GetIO().IniFilename = nullptr;  // no imgui.ini beside whatever the current folder is
  ImGui::StyleColorsDark();
  ImGuiStyle& style = ImGui::GetStyle();
  style.FramePadding = ImVec2(4, 1);
  style.ItemSpacing = ImVec2(4, 2);
  style.WindowRounding = 0;
  loadFonts();
  // chains to the callbacks installed above
  ImGui_ImplGlfw_InitForOpenGL(window_, true);
  ImGui_ImplOpenGL3_Init("#version 330 core");
  imguiReady_ = true;
  return true;
}

void Viewer::loadFonts() {
  ImGuiIO& io = ImGui::GetIO();
  ImFontConfig cfg;
  cfg.OversampleH = 1;
  cfg.OversampleV = 1;
  cfg.PixelSnapH = true;
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("NUBIVIEW_FONT")) candidates.push_back(env);
  for (const char* c : kFontCandidates) candidates.push_back(c);
  for (const std::string& c : candidates) {
    if (::access(c.c_str(), R_OK) != 0) continue;
    if (io.Fonts->AddFontFromFileTTF(c.c_str(), kFontSize, &cfg, io.Fonts->GetGlyphRangesJapanese())) return;
  }
  std::fprintf(stderr, "nubiview: no Japanese font found; Japanese texts will not show\n");
  io.Fonts->AddFontDefault();
}

// ---------------------------------------------------------------- loading

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

void Viewer::setPanelFromRecord() {
  valid_ = adj_.enabled;
  for (int c = 0; c < 3; ++c) {
    const float g = std::isfinite(adj_.gain[c]) ? adj_.gain[c] * 100.0f : 100.0f;
    gainSlider_[c] = std::clamp(static_cast<int>(std::lround(std::clamp(g, -1.0f, 1000.0f))), 0, kGainSliderMax);
    offsetSlider_[c] = std::clamp(adj_.offset[c], 0, kOffsetSliderMax);
    std::snprintf(gainEdit_[c], sizeof gainEdit_[c], "%s", GainText(gainSlider_[c]).c_str());
    std::snprintf(offsetEdit_[c], sizeof offsetEdit_[c], "%s", OffsetText(offsetSlider_[c]).c_str());
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
  setPanelFromRecord();
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
  if (!watching_ || path_.empty() || saveRunning_ || Clock::now() < nextWatch_) return;
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

// ---------------------------------------------------------------- saving

void Viewer::saveWithDialog() {
  if (saveRunning_) return;
  const std::string ext = DefaultExtension(out_.outFormat);
  if (!out_.outPath.empty()) {
    std::string error;
    const std::string path = ResolveOutPath(out_.outPath, ext, localNow(), error);
    if (!error.empty()) {
      setMessage("ERROR: create " + error, true);
      return;
    }
    startSave(path);
    return;
  }
  saveExt_ = ext;
  if (NativeDialogsAvailable()) {
    const std::string filter = ext + "ファイル(*." + ext + ")";
    if (std::optional<std::string> p = NativeSaveDialog("名前を付けて保存", filter, "*." + ext, ext)) startSave(*p);
    return;
  }
  fileDialogSave_ = true;
  fileDialogRequested_ = true;
}

void Viewer::startSave(const std::string& path) {
  if (path.empty() || saveRunning_) return;
  saveDone_ = false;
  savePath_ = path;
  const std::string format = out_.outFormat;
  try {
    saveThread_ = std::thread([this, path, format] {
      std::lock_guard<std::mutex> lock(storeLock_);
      saving_ = true;
      saveResult_ = SaveCloud(path, format);
      saving_ = false;
      saveDone_ = true;
    });
  } catch (const std::system_error&) {
    return;  // no worker: the progress dialog never shows and nothing is saved
  }
  saveRunning_ = true;
  progressRequested_ = true;
}

void Viewer::pollSave() {
  if (!saveRunning_ || !saveDone_) return;
  saveThread_.join();
  saveRunning_ = false;
  if (saveResult_ == SaveResult::Saved)
    setMessage("saved: " + savePath_, false);
  else if (saveResult_ == SaveResult::Failed)
    setMessage("ERROR: save " + savePath_, true);
}

// ---------------------------------------------------------------- input

void Viewer::onKey(int key, int mods) {
  if (sliderFocused_ || optionsOpen_ || saveRunning_) return;
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
  mouseX_ = x;
  mouseY_ = y;
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
  mouseX_ = x;
  mouseY_ = y;
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

void Viewer::askOpenFile() {
  if (NativeDialogsAvailable()) {
    if (std::optional<std::string> p =
            NativeOpenDialog("ファイルを開く", {{"PLY(*.ply)", "*.ply"}, {"すべてのファイル(*.*)", "*.*"}}))
      openFile(*p);
    return;
  }
  fileDialogSave_ = false;
  fileDialogRequested_ = true;
}

// ---------------------------------------------------------------- dialogs

void Viewer::requestOptions() {
  std::snprintf(optBg_, sizeof optBg_, "%s", FormatColourHex(out_.bgColor).c_str());
  optFormat_ = 0;
  for (int i = 0; i < 3; ++i)
    if (equalsNoCase(kFormats[i].value, out_.outFormat)) optFormat_ = i;
  optUsePath_ = !out_.outPath.empty();
  std::snprintf(optPath_, sizeof optPath_, "%s", out_.outPath.c_str());
  optionsRequested_ = true;
}

void Viewer::optionsOk() {
  makeParentFolders(programIni_);
  const bool ok = WriteOutputSettings(programIni_, optBg_, kFormats[optFormat_].value, optUsePath_ ? optPath_ : "");
  if (!ok) {
    messageBoxText_ = "オプション値の保存に失敗しました．";
    messageBoxCaption_ = "エラー";
    messageBoxRequested_ = true;
  }
  out_ = ReadOutputSettings(programIni_);
  optionsOpen_ = false;
}

void Viewer::adjustmentFromPanel() {
  adj_.enabled = valid_;
  for (int c = 0; c < 3; ++c) {
    adj_.gain[c] = gainSlider_[c] * 0.01f;
    adj_.offset[c] = offsetSlider_[c];
  }
}

void Viewer::panelApply(bool rebuild) {
  adjustmentFromPanel();
  if (rebuild) {
    texture_ = true;
    rebuildColours(true);
  }
}

void Viewer::panelSave() {
  panelApply(false);
  if (path_.empty()) {
    // no point file, so no companion INI to write (and no stray ".ini" in the current folder)
    setMessage("ERROR: saving: ", true);
    return;
  }
  const std::string ini = CompanionIniPath(path_);
  if (WriteColourAdjustment(adj_, ini))
    setMessage("saved: " + ini, false);
  else
    setMessage("ERROR: saving: " + ini, true);
}

void Viewer::drawOptionsDialog() {
  if (optionsRequested_) {
    ImGui::OpenPopup("オプション");
    optionsRequested_ = false;
    optionsOpen_ = true;
  }
  ImGui::SetNextWindowPos(ImGui::GetMainViewport()->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
  if (!ImGui::BeginPopupModal("オプション", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    optionsOpen_ = false;
    return;
  }
  ImGui::TextUnformatted("背景色");
  ImGui::SameLine(110);
  ImGui::SetNextItemWidth(80);
  ImGui::InputText("##bg", optBg_, 7, ImGuiInputTextFlags_CharsHexadecimal | ImGuiInputTextFlags_CharsUppercase);
  ImGui::SameLine();
  const unsigned long rgb = std::strtoul(optBg_, nullptr, 16) & 0xFFFFFFul;
  const ImVec4 current((rgb >> 16 & 0xFF) / 255.0f, (rgb >> 8 & 0xFF) / 255.0f, (rgb & 0xFF) / 255.0f, 1);
  if (ImGui::ColorButton("##pick", current, 0, ImVec2(40, 0))) {
    optColour_[0] = current.x;
    optColour_[1] = current.y;
    optColour_[2] = current.z;
    colourPickerRequested_ = true;
  }
  if (colourPickerRequested_) {
    ImGui::OpenPopup("色の設定");
    colourPickerRequested_ = false;
  }
  if (ImGui::BeginPopupModal("色の設定", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    ImGui::ColorPicker3("##colour", optColour_, ImGuiColorEditFlags_DisplayHex);
    if (ImGui::Button("OK", ImVec2(80, 0))) {
      const std::uint32_t c = (std::uint32_t(std::lround(optColour_[0] * 255)) << 16) |
                              (std::uint32_t(std::lround(optColour_[1] * 255)) << 8) |
                              std::uint32_t(std::lround(optColour_[2] * 255));
      std::snprintf(optBg_, sizeof optBg_, "%s", FormatColourHex(c).c_str());
      ImGui::CloseCurrentPopup();
    }
    ImGui::SameLine();
    if (ImGui::Button("キャンセル", ImVec2(80, 0))) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
  }

  ImGui::TextUnformatted("ファイルの種類");
  ImGui::SameLine(110);
  ImGui::SetNextItemWidth(200);
  if (ImGui::BeginCombo("##format", kFormats[optFormat_].text)) {
    for (int i = 0; i < 3; ++i)
      if (ImGui::Selectable(kFormats[i].text, optFormat_ == i)) optFormat_ = i;
    ImGui::EndCombo();
  }
  ImGui::Separator();
  if (ImGui::RadioButton("毎回指定する", !optUsePath_)) optUsePath_ = false;
  if (ImGui::RadioButton("パス名", optUsePath_)) optUsePath_ = true;
  ImGui::SameLine(110);
  ImGui::BeginDisabled(!optUsePath_);
  ImGui::SetNextItemWidth(300);
  ImGui::InputText("##path", optPath_, sizeof optPath_);
  ImGui::EndDisabled();
  ImGui::TextUnformatted("ファイル名に\"*\"を指定すると自動で日付時刻のファイルを作成します。");
  ImGui::Separator();
  if (ImGui::Button("OK", ImVec2(100, 0))) {
    optionsOk();
    ImGui::CloseCurrentPopup();
  }
  ImGui::SameLine();
  if (ImGui::Button("キャンセル", ImVec2(100, 0))) {
    optionsOpen_ = false;
    ImGui::CloseCurrentPopup();
  }
  if (!optionsOpen_) ImGui::CloseCurrentPopup();
  ImGui::EndPopup();
}

void Viewer::drawProgressDialog() {
  if (progressRequested_) {
    ImGui::OpenPopup("処理中...");
    progressRequested_ = false;
  }
  ImGui::SetNextWindowPos(ImGui::GetMainViewport()->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
  if (ImGui::BeginPopupModal("処理中...", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    ImGui::TextUnformatted("しばらくお待ちください...");
    if (!saveRunning_) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
  }
}

void Viewer::drawMessageBox() {
  if (messageBoxRequested_) {
    ImGui::OpenPopup((messageBoxCaption_ + "###messagebox").c_str());
    messageBoxRequested_ = false;
  }
  ImGui::SetNextWindowPos(ImGui::GetMainViewport()->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
  if (ImGui::BeginPopupModal((messageBoxCaption_ + "###messagebox").c_str(), nullptr,
                             ImGuiWindowFlags_AlwaysAutoResize)) {
    ImGui::TextColored(kRed, "(x)");
    ImGui::SameLine();
    ImGui::TextUnformatted(messageBoxText_.c_str());
    if (ImGui::Button("OK", ImVec2(100, 0))) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
  }
}

void Viewer::drawFallbackFileDialog() {
  const char* title = fileDialogSave_ ? "名前を付けて保存###filedialog" : "ファイルを開く###filedialog";
  if (fileDialogRequested_) {
    fileDialogRequested_ = false;
    std::error_code ec;
    if (fileDialogDir_.empty()) fileDialogDir_ = std::filesystem::current_path(ec).string();
    fileDialogPath_[0] = '\0';
    ImGui::OpenPopup(title);
  }
  ImGui::SetNextWindowSize(ImVec2(520, 360), ImGuiCond_Appearing);
  if (!ImGui::BeginPopupModal(title, nullptr)) return;
  ImGui::TextUnformatted(fileDialogDir_.c_str());
  ImGui::BeginChild("##entries", ImVec2(0, -50), true);
  std::error_code ec;
  if (ImGui::Selectable("..")) fileDialogDir_ = std::filesystem::path(fileDialogDir_).parent_path().string();
  std::vector<std::filesystem::directory_entry> entries;
  for (const auto& e : std::filesystem::directory_iterator(fileDialogDir_, ec)) entries.push_back(e);
  std::sort(entries.begin(), entries.end());
  for (const auto& e : entries) {
    const bool dir = e.is_directory(ec);
    const std::string name = e.path().filename().string() + (dir ? "/" : "");
    if (ImGui::Selectable(name.c_str())) {
      if (dir)
        fileDialogDir_ = e.path().string();
      else
        std::snprintf(fileDialogPath_, sizeof fileDialogPath_, "%s", e.path().string().c_str());
    }
  }
  ImGui::EndChild();
  ImGui::SetNextItemWidth(-1);
  ImGui::InputText("##name", fileDialogPath_, sizeof fileDialogPath_);
  if (ImGui::Button("OK", ImVec2(100, 0)) && fileDialogPath_[0]) {
    std::string p = fileDialogPath_;
    if (p[0] != '/') p = (std::filesystem::path(fileDialogDir_) / p).string();
    ImGui::CloseCurrentPopup();
    if (fileDialogSave_) {
      if (std::filesystem::path(p).extension().empty() && !saveExt_.empty()) p += "." + saveExt_;
      startSave(p);
    } else {
      openFile(p);
    }
  }
  ImGui::SameLine();
  if (ImGui::Button("キャンセル", ImVec2(100, 0))) ImGui::CloseCurrentPopup();
  ImGui::EndPopup();
}

// ---------------------------------------------------------------- panels

void Viewer::drawButtonPanel(float top) {
  const float w = ImGui::GetIO().DisplaySize.x;
  ImGui::SetNextWindowPos(ImVec2(w - 170, top));
  ImGui::SetNextWindowSize(ImVec2(170, 108));
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoBackground |
                                 ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings |
                                 ImGuiWindowFlags_NoBringToFrontOnFocus;
  ImGui::Begin("##buttons", nullptr, flags);
  ImGui::SetCursorPos(ImVec2(35, 5));
  if (ImGui::Button(fullScreen_ ? "Normal Screen(F1)" : "Full Screen(F1)", ImVec2(135, 20))) toggleFullScreen();
  ImGui::SetCursorPos(ImVec2(35, 25));
  if (ImGui::Button("Clear(F2)", ImVec2(135, 20))) clearPicks();
  ImGui::SetCursorPos(ImVec2(35, 45));
  if (ImGui::Button("Reset View(F3)", ImVec2(135, 20))) resetView();
  ImGui::SetCursorPos(ImVec2(35, 65));
  if (ImGui::Button("Save(F4)", ImVec2(135, 20))) saveWithDialog();
  ImGui::SetCursorPos(ImVec2(45, 88));
  if (ImGui::Checkbox("Texture", &texture_)) rebuildColours(texture_);
  ImGui::SetCursorPos(ImVec2(115, 88));
  ImGui::BeginDisabled(triangles_.empty());
  ImGui::Checkbox("Mesh", &showMesh_);
  ImGui::EndDisabled();
  ImGui::End();
}

void Viewer::drawAdjustmentPanel(float top) {
  const float w = ImGui::GetIO().DisplaySize.x;
  const float cap = kCaptionHeight;
  ImGui::SetNextWindowPos(ImVec2(w - 136, top + 108));
  ImGui::SetNextWindowSize(ImVec2(136, 205 + cap));
  ImGui::PushStyleColor(ImGuiCol_WindowBg, IM_COL32(255, 255, 255, 0x28));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0);
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove |
                                 ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBringToFrontOnFocus;
  ImGui::Begin("##cc", nullptr, flags);
  ImDrawList* dl = ImGui::GetWindowDrawList();
  const ImVec2 origin = ImGui::GetWindowPos();
  dl->AddRectFilled(origin, ImVec2(origin.x + 136, origin.y + cap), IM_COL32(255, 255, 255, 0x50));
  ImGui::SetCursorPos(ImVec2(5, 0));
  ImGui::TextUnformatted("[CC]");
  sliderFocused_ = false;

  ImGui::SetCursorPos(ImVec2(70, cap + 5));
  if (ImGui::Checkbox("Valid", &valid_)) {
    adj_.enabled = valid_;
    texture_ = true;
    rebuildColours(true);
  }
  ImGui::BeginDisabled(!valid_);
  static const ImU32 kChannel[3] = {IM_COL32(255, 0, 0, 255), IM_COL32(0, 255, 0, 255), IM_COL32(0, 0, 255, 255)};
  static const char* const kNames[3] = {"R", "G", "B"};
  auto row = [&](int c, float labelY, float sliderY, float editY, bool gain) {
    ImGui::SetCursorPos(ImVec2(5, cap + labelY));
    ImGui::PushStyleColor(ImGuiCol_Text, kChannel[c]);
    ImGui::TextUnformatted(kNames[c]);
    ImGui::PopStyleColor();
    ImGui::PushID(gain ? c : c + 3);
    ImGui::SetCursorPos(ImVec2(30, cap + sliderY));
    ImGui::SetNextItemWidth(50);
    int& slider = gain ? gainSlider_[c] : offsetSlider_[c];
    char* edit = gain ? gainEdit_[c] : offsetEdit_[c];
    if (ImGui::SliderInt("##s", &slider, 0, gain ? kGainSliderMax : kOffsetSliderMax, "",
                         ImGuiSliderFlags_AlwaysClamp))
      std::snprintf(edit, 16, "%s", (gain ? GainText(slider) : OffsetText(slider)).c_str());
    if (ImGui::IsItemActive() || ImGui::IsItemFocused()) sliderFocused_ = true;
    ImGui::SetCursorPos(ImVec2(95, cap + editY));
    ImGui::SetNextItemWidth(32);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(2, 2));
    const bool enter = ImGui::InputText("##e", edit, 16, ImGuiInputTextFlags_EnterReturnsTrue);
    if (enter || ImGui::IsItemDeactivatedAfterEdit()) {
      std::string t = edit;
      gain ? ApplyGainText(t, slider) : ApplyOffsetText(t, slider);
      std::snprintf(edit, 16, "%s", t.c_str());
    }
    ImGui::PopStyleVar();
    ImGui::PopID();
  };
  ImGui::SetCursorPos(ImVec2(5, cap + 13));
  ImGui::TextUnformatted("Gain:");
  for (int c = 0; c < 3; ++c) row(c, 29.0f + 20 * c, 27.0f + 20 * c, 27.0f + 20 * c, true);
  ImGui::SetCursorPos(ImVec2(5, cap + 85));
  ImGui::TextUnformatted("Offset:");
  for (int c = 0; c < 3; ++c) row(c, 105.0f + 20 * c, 103.0f + 20 * c, 99.0f + 20 * c, false);
  ImGui::SetCursorPos(ImVec2(47, cap + 165));
  if (ImGui::Button("Apply", ImVec2(45, 20))) panelApply(true);
  ImGui::SetCursorPos(ImVec2(92, cap + 165));
  if (ImGui::Button("Save", ImVec2(45, 20))) panelSave();
  ImGui::EndDisabled();
  ImGui::End();
  ImGui::PopStyleVar();
  ImGui::PopStyleColor();
}

void Viewer::drawStatusTexts(float top) {
  ImDrawList* dl = ImGui::GetForegroundDrawList();
  if (!pickText_.empty()) dl->AddText(ImVec2(5, top + 5), ImGui::GetColorU32(kYellow), pickText_.c_str());
  if (!message_.empty())
    dl->AddText(ImVec2(5, top + 45), ImGui::GetColorU32(messageError_ ? kRed : kYellow), message_.c_str());
}

void Viewer::drawGui() {
  float top = 0;
  if (ImGui::BeginMainMenuBar()) {
    if (ImGui::MenuItem("ファイルを開く(F)")) askOpenFile();
    if (ImGui::MenuItem("オプション(O)")) requestOptions();
    top = ImGui::GetWindowSize().y;
    ImGui::EndMainMenuBar();
  }
  drawButtonPanel(top);
  drawAdjustmentPanel(top);
  drawStatusTexts(top);
  drawOptionsDialog();
  drawProgressDialog();
  drawMessageBox();
  drawFallbackFileDialog();
}

// ---------------------------------------------------------------- frame

void Viewer::renderScene() {
  int fbw = 0, fbh = 0, ww = 0, wh = 0;
  glfwGetFramebufferSize(window_, &fbw, &fbh);
  glfwGetWindowSize(window_, &ww, &wh);
  if (ww > 0 && wh > 0 && (ww != camera_.width() || wh != camera_.height())) camera_.setWindow(ww, wh);
  renderer_.clear(out_.bgColor, fbw, fbh);
  if (!saving_) {
    std::unique_lock<std::mutex> lock(storeLock_, std::try_to_lock);
    if (lock.owns_lock()) renderer_.draw(camera_.worldViewProjection(), true, showMesh_);
  }
}

void Viewer::frame() {
  ImGui_ImplOpenGL3_NewFrame();
  ImGui_ImplGlfw_NewFrame();
  if (scripted_) {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(scriptMouseX_, scriptMouseY_);
    for (int b = 0; b < 3; ++b) io.MouseDown[b] = scriptMouseDown_[b];
  }
  ImGui::NewFrame();
  drawGui();
  ImGui::Render();
  renderScene();
  ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
}

bool Viewer::writeScreenshot(const std::string& path) {
  int w = 0, h = 0;
  glfwGetFramebufferSize(window_, &w, &h);
  if (w <= 0 || h <= 0) return false;
  std::vector<unsigned char> pixels(std::size_t(w) * h * 3);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
  std::vector<unsigned char> flipped(pixels.size());
  const std::size_t row = std::size_t(w) * 3;
  for (int y = 0; y < h; ++y) std::memcpy(&flipped[std::size_t(y) * row], &pixels[std::size_t(h - 1 - y) * row], row);
  // Encoded in memory and written as a whole: stbi_write_png ignores failed
  // writes and closes, so a full disk would leave a truncated PNG and report
  // success.
  std::string png;
  auto append = [](void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
  };
  if (stbi_write_png_to_func(append, &png, w, h, 3, flipped.data(), int(row)) == 0) return false;
  return writeWholeFile(path, png);
}

void Viewer::writeDump(const std::string& path) {
  std::ostringstream f;
  const auto& pv = camera_.pivot();
  char buf[128];
  f << "title=" << (path_.empty() ? std::string(kProgramName)
                                  : std::string(kProgramName) + " - " + path_ + " (" + std::to_string(base_.size()) + ")")
    << "\n";
  f << "points=" << base_.size() << "\n";
  f << "triangles=" << triangles_.size() / 3 << "\n";
  std::snprintf(buf, sizeof buf, "%.9g", double(viewScale_));
  f << "view_scale=" << buf << "\n";
  std::snprintf(buf, sizeof buf, "%.6f %.6f %.6f", pv.x + 0.0, pv.y + 0.0, pv.z + 0.0);  // no "-0"
  f << "pivot=" << buf << "\n";
  std::snprintf(buf, sizeof buf, "%.6f", double(camera_.radius()));
  f << "radius=" << buf << "\n";
  f << "picks=" << picks_.size() << "\n";
  f << "pick_text=" << escapeLine(pickText_) << "\n";
  f << "message=" << escapeLine(message_) << "\n";
  f << "message_error=" << (messageError_ ? 1 : 0) << "\n";
  f << "texture=" << (texture_ ? 1 : 0) << "\n";
  f << "valid=" << (valid_ ? 1 : 0) << "\n";
  for (int c = 0; c < 3; ++c) f << "gain_text" << c << "=" << gainEdit_[c] << "\n";
  for (int c = 0; c < 3; ++c) f << "offset_text" << c << "=" << offsetEdit_[c] << "\n";
  f << "reverse_axis=" << inEffect_.reverseAxis << "\n";
  f << "eye=" << inEffect_.eye << "\n";
  f << "out_path=" << out_.outPath << "\n";
  f << "out_format=" << out_.outFormat << "\n";
  f << "bgcolor=" << FormatColourHex(out_.bgColor) << "\n";
  f << "program_ini=" << programIni_ << "\n";
  f << "options_open=" << (optionsOpen_ ? 1 : 0) << "\n";
  f << "saving=" << (saveRunning_ ? 1 : 0) << "\n";
  if (!writeWholeFile(path, f.str())) {
    std::fprintf(stderr, "nubiview: cannot write %s\n", path.c_str());
    exitCode_ = 1;
  }
}

bool Viewer::loadScript(std::string& error) {
  std::ifstream f(options_.script, std::ios::binary);
  if (!f) {
    error = "cannot read script " + options_.script;
    return false;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  std::vector<ScriptCommand> commands;
  if (!ParseScript(ss.str(), commands, error)) return false;
  for (const ScriptCommand& c : commands) {
    auto mouseButton = [](const std::string& n) {
      return n == "left" ? GLFW_MOUSE_BUTTON_LEFT : n == "right" ? GLFW_MOUSE_BUTTON_RIGHT : GLFW_MOUSE_BUTTON_MIDDLE;
    };
    Action a;
    if (c.verb == "wait") {
      a.kind = Action::Wait;
      a.frames = std::atoi(c.args[0].c_str());
      actions_.push_back(a);
    } else if (c.verb == "frames") {
      a.kind = Action::Frames;
      a.frames = std::max(1, std::atoi(c.args[0].c_str()));
      actions_.push_back(a);
    } else if (c.verb == "waitfile") {
      a.kind = Action::WaitFile;
      a.path = c.args[0];
      actions_.push_back(a);
    } else if (c.verb == "move") {
      a.kind = Action::MouseMove;
      a.x = std::stof(c.args[0]);
      a.y = std::stof(c.args[1]);
      actions_.push_back(a);
    } else if (c.verb == "down" || c.verb == "up" || c.verb == "click" || c.verb == "dblclick") {
      // Move first and let a frame pass, so the panels know whether the mouse is over them.
      Action move;
      move.kind = Action::MouseMove;
      move.x = std::stof(c.args[1]);
      move.y = std::stof(c.args[2]);
      actions_.push_back(move);
      Action btn = move;
      btn.kind = Action::MouseButton;
      btn.button = mouseButton(c.args[0]);
      const int presses = c.verb == "click" ? 1 : c.verb == "dblclick" ? 2 : 0;
      if (presses == 0) {
        btn.down = c.verb == "down";
        actions_.push_back(btn);
      }
      for (int i = 0; i < presses; ++i) {
        btn.down = true;
        actions_.push_back(btn);
        btn.down = false;
        actions_.push_back(btn);
      }
    } else {
      a.kind = Action::Command;
      a.command = c;
      actions_.push_back(a);
    }
  }
  return true;
}

void Viewer::runCommand(const ScriptCommand& c) {
  const std::string& v = c.verb;
  if (v == "wheel") {
    onScroll(std::atof(c.args[0].c_str()));
  } else if (v == "key") {
    std::string name = c.args[0];
    int mods = 0;
    if (name.rfind("alt+", 0) == 0 || name.rfind("Alt+", 0) == 0) {
      mods = GLFW_MOD_ALT;
      name = name.substr(4);
    }
    const int key = keyFromName(name);
    if (key == GLFW_KEY_UNKNOWN)
      std::fprintf(stderr, "nubiview: script line %d: unknown key %s\n", c.line, name.c_str());
    else
      onKey(key, mods);
  } else if (v == "open" || v == "drop") {
    openFile(c.args[0]);
  } else if (v == "options" || (v == "menu" && c.args[0] == "options")) {
    requestOptions();
  } else if (v == "menu") {
    if (c.args[0] == "open")
      askOpenFile();
    else
      std::fprintf(stderr, "nubiview: script line %d: unknown menu item %s\n", c.line, c.args[0].c_str());
  } else if (v == "options-ok") {
    if (optionsOpen_) optionsOk();
  } else if (v == "options-cancel") {
    optionsOpen_ = false;
  } else if (v == "panel") {
    const std::string& name = c.args[0];
    const std::string& value = c.args[1];
    auto channel = [&](const std::string& n) { return n.back() == 'r' ? 0 : n.back() == 'g' ? 1 : 2; };
    if (name == "valid") {
      valid_ = value != "0";
      adj_.enabled = valid_;
      texture_ = true;
      rebuildColours(true);
    } else if (name == "texture") {
      texture_ = value != "0";
      rebuildColours(texture_);
    } else if (name == "mesh") {
      showMesh_ = value != "0";
    } else if (name.rfind("gain-", 0) == 0 && name.size() == 6) {
      std::string t = value;
      ApplyGainText(t, gainSlider_[channel(name)]);
      std::snprintf(gainEdit_[channel(name)], 16, "%s", t.c_str());
    } else if (name.rfind("offset-", 0) == 0 && name.size() == 8) {
      std::string t = value;
      ApplyOffsetText(t, offsetSlider_[channel(name)]);
      std::snprintf(offsetEdit_[channel(name)], 16, "%s", t.c_str());
    } else if (name == "apply") {
      panelApply(true);
    } else if (name == "save") {
      panelSave();
    } else {
      std::fprintf(stderr, "nubiview: script line %d: unknown panel control %s\n", c.line, name.c_str());
    }
  } else if (v == "screenshot") {
    pendingScreenshot_ = c.args[0];
  } else if (v == "dump") {
    writeDump(c.args[0]);
  } else if (v == "quit") {
    quit_ = true;
  }
}

void Viewer::stepScript() {
  while (!actions_.empty()) {
    Action& a = actions_.front();
    switch (a.kind) {
      case Action::Wait:
        if (a.until == Clock::time_point{}) a.until = Clock::now() + std::chrono::milliseconds(a.frames);
        if (Clock::now() < a.until) return;
        actions_.pop_front();
        continue;
      case Action::Frames:
        if (a.frames-- > 0) return;
        actions_.pop_front();
        continue;
      case Action::WaitFile:
        if (a.until == Clock::time_point{}) a.until = Clock::now() + std::chrono::seconds(10);
        if (::access(a.path.c_str(), F_OK) != 0 && Clock::now() < a.until) return;
        actions_.pop_front();
        continue;
      case Action::MouseMove:
        scriptMouseX_ = a.x;
        scriptMouseY_ = a.y;
        onCursor(a.x, a.y);
        actions_.pop_front();
        return;  // one frame for the panels to see the new position
      case Action::MouseButton: {
        const int b = a.button == GLFW_MOUSE_BUTTON_LEFT ? 0 : a.button == GLFW_MOUSE_BUTTON_RIGHT ? 1 : 2;
        scriptMouseDown_[b] = a.down;
        onMouseButton(a.button, a.down, a.x, a.y);
        actions_.pop_front();
        return;
      }
      case Action::Command: {
        const ScriptCommand c = a.command;
        actions_.pop_front();
        runCommand(c);
        if (c.verb == "screenshot" || c.verb == "quit") return;
        continue;
      }
    }
  }
  if (scripted_ && actions_.empty() && pendingScreenshot_.empty()) quit_ = true;
}

int Viewer::run() {
  std::string error;
  scripted_ = !options_.script.empty();
  if (scripted_ && !loadScript(error)) {
    std::fprintf(stderr, "nubiview: %s\n", error.c_str());
    return 2;
  }
  if (!init(error)) {
    std::fprintf(stderr, "nubiview: %s\n", error.c_str());
    return 1;
  }
  g_viewer = this;

  programIni_ = ProgramIniPath(options_.exePath, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"),
                               [](const std::string& p) { return ::access(p.c_str(), R_OK) == 0; });
  if (IniPresent(programIni_)) {
    ReadCoordinateSystem(programDefault_, programIni_);
    out_ = ReadOutputSettings(programIni_);
  }
  inEffect_ = programDefault_;
  path_ = options_.path;
  {
    std::lock_guard<std::mutex> lock(storeLock_);
    applyFileSettings();
    renderer_.uploadGizmo(
        BuildGizmo(displaySign(inEffect_, 0), displaySign(inEffect_, 1), displaySign(inEffect_, 2)));
    setPanelFromRecord();
    loadIntoGpu(true);
  }
  resetView();
  texture_ = true;

  int framesLeft = options_.frames;
  auto frameStart = Clock::now();
  auto statsStart = frameStart;
  int statsFrames = 0;
  while (!glfwWindowShouldClose(window_) && !quit_) {
    glfwPollEvents();
    if (scripted_) stepScript();
    fileWatchTick();
    pollSave();
    camera_.frameMove();
    frame();
    if (!pendingScreenshot_.empty()) {
      if (!writeScreenshot(pendingScreenshot_)) {
        std::fprintf(stderr, "nubiview: cannot write %s\n", pendingScreenshot_.c_str());
        exitCode_ = 1;
      }
      pendingScreenshot_.clear();
    }
    if (!options_.screenshot.empty() && --framesLeft <= 0) {
      if (!writeScreenshot(options_.screenshot)) {
        std::fprintf(stderr, "nubiview: cannot write %s\n", options_.screenshot.c_str());
        exitCode_ = 1;
      }
      quit_ = true;
    }
    glfwSwapBuffers(window_);
    if (!scripted_ && options_.screenshot.empty()) {
      // about 60 frames a second even where the swap does not wait for the display
      const auto next = frameStart + std::chrono::milliseconds(16);
      std::this_thread::sleep_until(next);
    }
    frameStart = Clock::now();
    ++statsFrames;
    const double statsSeconds = std::chrono::duration<double>(frameStart - statsStart).count();
    if (statsSeconds >= 5.0) {
      ZEL_LOG("%.2f fps (%dx%d)\n", statsFrames / statsSeconds, camera_.width(), camera_.height());
      statsStart = frameStart;
      statsFrames = 0;
    }
  }
  // a save in progress finishes before the program ends
  if (saveThread_.joinable()) saveThread_.join();
  g_viewer = nullptr;
  return exitCode_;
}

}  // namespace

int RunViewer(const AppOptions& options) {
  Viewer viewer(options);
  return viewer.run();
}

}  // namespace nubiview
