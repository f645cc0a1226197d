#pragma once
// The viewer's window and what it shows: the loaded cloud, the view camera,
// picks, the file watch and the GUI rooms (panels, dialogs, save job, script
// player) it drives. Its parts live in viewer_app.cpp (window, frame loop),
// viewer_view.cpp (loading, picking, input) and viewer_commands.cpp (saving,
// options, panel events, script commands, state dump).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "viewer/app/camera.h"
#include "viewer/app/cloud_vertices.h"
#include "viewer/app/dialogs.h"
#include "viewer/app/gl_renderer.h"
#include "viewer/app/panels.h"
#include "viewer/app/picking.h"
#include "viewer/app/save_job.h"
#include "viewer/app/script_player.h"
#include "viewer/app/viewer_app.h"
#include "viewer/app/viewer_settings.h"

struct GLFWwindow;

namespace nubiview {

inline constexpr const char* kProgramName = "Nubiview11";
inline constexpr int kStartWidth = 800, kStartHeight = 600;

// The local time now (file watch messages, "*" in output paths).
std::tm localNow();

class Viewer final : public ScriptHost {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Viewer(const AppOptions& o) : options_(o) {}
  ~Viewer() override;
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;
  int run();

  // Input, from the window's callbacks and from scripts alike.
  void onKey(int key, int mods);
  void onMouseButton(int button, bool down, float x, float y) override;
  void onCursor(float x, float y) override;
  void onScroll(double notches);
  void onDrop(const std::string& path);
  void runScriptCommand(const ScriptCommand& c) override;

 private:
  // Window and frame (viewer_app.cpp).
  bool init(std::string& error);
  void loadFonts();
  void frame();
  void renderScene();
  void drawGui();
  void drawStatusTexts(float top);
  bool writeScreenshot(const std::string& path);

  // Loading, colours, picks, view (viewer_view.cpp).
  void applyFileSettings();
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
  void toggleFullScreen();

  // Commands (viewer_commands.cpp).
  void saveWithDialog();
  void startSave(const std::string& path);
  void pollSave();
  void askOpenFile();
  void requestOptions() { optionsDialog_.request(out_); }
  void optionsOk();
  void onButton(ButtonAction action);
  void onPanel(AdjustmentPanel::Action action);
  void panelApply(bool rebuild);
  void panelSave();
  void writeDump(const std::string& path);
  void setMessage(const std::string& text, bool error) {
    message_ = text;
    messageError_ = error;
  }

  AppOptions options_;
  GLFWwindow* window_ = nullptr;
  bool imguiReady_ = false;
  GlRenderer renderer_;
  ViewCamera camera_;
  std::string programIni_;

  // What is shown.
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

  // Window and button panel state.
  bool fullScreen_ = false;
  int windowedPos_[2] = {100, 100}, windowedSize_[2] = {kStartWidth, kStartHeight};
  bool texture_ = true;
  bool showMesh_ = true;

  // The rooms.
  AdjustmentPanel panel_;
  OptionsDialog optionsDialog_;
  ProgressDialog progressDialog_;
  MessageBox messageBox_;
  FallbackFileDialog fileDialog_;
  SaveJob saveJob_;
  ScriptPlayer script_;
  bool scripted_ = false;

  // Mouse state for double-clicks.
  Clock::time_point lastRightDown_{};
  float lastRightX_ = -1000, lastRightY_ = -1000;

  std::string pendingScreenshot_;
  bool quit_ = false;
  int exitCode_ = 0;
};

}  // namespace nubiview
