#pragma once
// The nubiview program: window, panels, dialogs, input, file watch, saving.
#include <string>

namespace nubiview {

struct AppOptions {
  std::string path;        // point file to open; empty starts with an empty window
  std::string screenshot;  // --screenshot: PNG written after `frames` frames, then exit
  int frames = 3;
  std::string script;  // --script: input events to replay
  std::string exePath;
};

// Runs the viewer; returns the exit code.
int RunViewer(const AppOptions& options);

}  // namespace nubiview
