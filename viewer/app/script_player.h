#pragma once
// Plays a `--script` file into the viewer: mouse moves and buttons go
// through the same handlers as real input (one frame apart, so the panels
// see where the mouse is), waits and file waits hold the script, and every
// other command goes to the viewer's command handler.
#include <chrono>
#include <deque>
#include <string>

#include "viewer/app/script.h"

struct ImGuiIO;

namespace nubiview {

// What a script drives.
class ScriptHost {
 public:
  virtual ~ScriptHost() = default;
  virtual void onCursor(float x, float y) = 0;
  virtual void onMouseButton(int button, bool down, float x, float y) = 0;
  virtual void runScriptCommand(const ScriptCommand& command) = 0;
};

// The GLFW key of a script key name (Left Up Right Down F1..F4 0..9 A..Z);
// GLFW_KEY_UNKNOWN for any other.
int KeyFromName(const std::string& name);

class ScriptPlayer {
 public:
  // Reads and parses the script; false with a reason.
  bool load(const std::string& path, std::string& error);
  // Plays commands until one needs a frame to pass. True when nothing is
  // left to play.
  bool step(ScriptHost& host);
  // ImGui sees the script's mouse, not the real one.
  void applyMouse(ImGuiIO& io) const;

 private:
  using Clock = std::chrono::steady_clock;
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

  std::deque<Action> actions_;
  bool mouseDown_[3] = {};
  float mouseX_ = -1, mouseY_ = -1;
};

}  // namespace nubiview
