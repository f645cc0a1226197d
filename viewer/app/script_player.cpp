#include "viewer/app/script_player.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

namespace nubiview {

int KeyFromName(const std::string& name) {
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

bool ScriptPlayer::load(const std::string& path, std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read script " + path;
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

bool ScriptPlayer::step(ScriptHost& host) {
  while (!actions_.empty()) {
    Action& a = actions_.front();
    switch (a.kind) {
      case Action::Wait:
        if (a.until == Clock::time_point{}) a.until = Clock::now() + std::chrono::milliseconds(a.frames);
        if (Clock::now() < a.until) return false;
        actions_.pop_front();
        continue;
      case Action::Frames:
        if (a.frames-- > 0) return false;
        actions_.pop_front();
        continue;
      case Action::WaitFile:
        if (a.until == Clock::time_point{}) a.until = Clock::now() + std::chrono::seconds(10);
        if (::access(a.path.c_str(), F_OK) != 0 && Clock::now() < a.until) return false;
        actions_.pop_front();
        continue;
      case Action::MouseMove:
        mouseX_ = a.x;
        mouseY_ = a.y;
        host.onCursor(a.x, a.y);
        actions_.pop_front();
        return false;  // one frame for the panels to see the new position
      case Action::MouseButton: {
        const int b = a.button == GLFW_MOUSE_BUTTON_LEFT ? 0 : a.button == GLFW_MOUSE_BUTTON_RIGHT ? 1 : 2;
        mouseDown_[b] = a.down;
        host.onMouseButton(a.button, a.down, a.x, a.y);
        actions_.pop_front();
        return false;
      }
      case Action::Command: {
        const ScriptCommand c = a.command;
        actions_.pop_front();
        host.runScriptCommand(c);
        if (c.verb == "screenshot" || c.verb == "quit") return false;
        continue;
      }
    }
  }
  return true;
}

void ScriptPlayer::applyMouse(ImGuiIO& io) const {
  io.MousePos = ImVec2(mouseX_, mouseY_);
  for (int b = 0; b < 3; ++b) io.MouseDown[b] = mouseDown_[b];
}

}  // namespace nubiview
