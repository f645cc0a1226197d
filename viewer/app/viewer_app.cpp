#include "viewer/app/viewer_app.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>
#include <stb_image_write.h>

#include "diag/logger.h"
#include "viewer/app/file_output.h"
#include "viewer/app/gui_style.h"
#include "viewer/app/viewer.h"

namespace nubiview {
namespace {

constexpr float kFontSize = 14.0f;

const char* const kFontCandidates[] = {
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJKjp-Regular.otf",
    "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf",
    "/usr/share/fonts/truetype/fonts-japanese-gothic.ttf",
};

// The window's callbacks reach the viewer through the window's user pointer.
Viewer* viewerOf(GLFWwindow* w) { return static_cast<Viewer*>(glfwGetWindowUserPointer(w)); }

void keyCallback(GLFWwindow* w, int key, int, int action, int mods) {
  if (Viewer* v = viewerOf(w); v && (action == GLFW_PRESS || action == GLFW_REPEAT)) v->onKey(key, mods);
}
void mouseButtonCallback(GLFWwindow* w, int button, int action, int) {
  double x = 0, y = 0;
  glfwGetCursorPos(w, &x, &y);
  if (Viewer* v = viewerOf(w)) v->onMouseButton(button, action == GLFW_PRESS, float(x), float(y));
}
void cursorCallback(GLFWwindow* w, double x, double y) {
  if (Viewer* v = viewerOf(w)) v->onCursor(float(x), float(y));
}
void scrollCallback(GLFWwindow* w, double, double dy) {
  if (Viewer* v = viewerOf(w)) v->onScroll(dy);
}
void dropCallback(GLFWwindow* w, int count, const char** paths) {
  if (Viewer* v = viewerOf(w); v && count > 0 && paths[0]) v->onDrop(paths[0]);
}

}  // namespace

Viewer::~Viewer() {
  saveJob_.wait();
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
  glfwSetWindowUserPointer(window_, this);
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
  onButton(DrawButtonPanel(top, fullScreen_, texture_, showMesh_, !triangles_.empty()));
  onPanel(panel_.draw(top));
  drawStatusTexts(top);
  if (optionsDialog_.draw()) optionsOk();
  progressDialog_.draw(saveJob_.running());
  messageBox_.draw();
  if (auto choice = fileDialog_.draw()) choice->save ? startSave(choice->path) : openFile(choice->path);
}

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
  if (scripted_) script_.applyMouse(ImGui::GetIO());
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

int Viewer::run() {
  std::string error;
  scripted_ = !options_.script.empty();
  if (scripted_ && !script_.load(options_.script, error)) {
    std::fprintf(stderr, "nubiview: %s\n", error.c_str());
    return 2;
  }
  if (!init(error)) {
    std::fprintf(stderr, "nubiview: %s\n", error.c_str());
    return 1;
  }
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
    renderer_.uploadGizmo(BuildGizmo(displaySign(inEffect_, 0), displaySign(inEffect_, 1), displaySign(inEffect_, 2)));
    panel_.setFromRecord(adj_);
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
    if (scripted_ && script_.step(*this) && pendingScreenshot_.empty()) quit_ = true;
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
  saveJob_.wait();
  return exitCode_;
}

int RunViewer(const AppOptions& options) {
  Viewer viewer(options);
  return viewer.run();
}

}  // namespace nubiview
