#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include "viewer/app/file_dialog.h"
#include "viewer/app/file_output.h"
#include "viewer/app/panel_rules.h"
#include "viewer/app/viewer.h"

namespace nubiview {
namespace {

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

}  // namespace

void Viewer::saveWithDialog() {
  if (saveJob_.running()) return;
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
  if (NativeDialogsAvailable()) {
    const std::string filter = ext + "ファイル(*." + ext + ")";
    if (std::optional<std::string> p = NativeSaveDialog("名前を付けて保存", filter, "*." + ext, ext)) startSave(*p);
    return;
  }
  fileDialog_.requestSave(ext);
}

void Viewer::startSave(const std::string& path) {
  if (saveJob_.start(path, out_.outFormat, storeLock_, saving_)) progressDialog_.request();
}

void Viewer::pollSave() {
  const std::optional<SaveResult> result = saveJob_.finish();
  if (result == SaveResult::Saved)
    setMessage("saved: " + saveJob_.path(), false);
  else if (result == SaveResult::Failed)
    setMessage("ERROR: save " + saveJob_.path(), true);
}

void Viewer::askOpenFile() {
  if (NativeDialogsAvailable()) {
    if (std::optional<std::string> p =
            NativeOpenDialog("ファイルを開く", {{"PLY(*.ply)", "*.ply"}, {"すべてのファイル(*.*)", "*.*"}}))
      openFile(*p);
    return;
  }
  fileDialog_.requestOpen();
}

void Viewer::optionsOk() {
  if (!optionsDialog_.save(programIni_)) messageBox_.show("オプション値の保存に失敗しました．", "エラー");
  out_ = ReadOutputSettings(programIni_);
  optionsDialog_.close();
}

void Viewer::onButton(ButtonAction action) {
  switch (action) {
    case ButtonAction::FullScreen: toggleFullScreen(); break;
    case ButtonAction::Clear: clearPicks(); break;
    case ButtonAction::ResetView: resetView(); break;
    case ButtonAction::Save: saveWithDialog(); break;
    case ButtonAction::Texture: rebuildColours(texture_); break;
    case ButtonAction::None: break;
  }
}

void Viewer::onPanel(AdjustmentPanel::Action action) {
  switch (action) {
    case AdjustmentPanel::Action::Valid:
      adj_.enabled = panel_.valid();
      texture_ = true;
      rebuildColours(true);
      break;
    case AdjustmentPanel::Action::Apply: panelApply(true); break;
    case AdjustmentPanel::Action::Save: panelSave(); break;
    case AdjustmentPanel::Action::None: break;
  }
}

void Viewer::panelApply(bool rebuild) {
  panel_.fill(adj_);
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

void Viewer::runScriptCommand(const ScriptCommand& c) {
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
    const int key = KeyFromName(name);
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
    if (optionsDialog_.open()) optionsOk();
  } else if (v == "options-cancel") {
    optionsDialog_.close();
  } else if (v == "panel") {
    const std::string& name = c.args[0];
    const std::string& value = c.args[1];
    auto channel = [&](const std::string& n) { return n.back() == 'r' ? 0 : n.back() == 'g' ? 1 : 2; };
    if (name == "valid") {
      panel_.setValid(value != "0");
      onPanel(AdjustmentPanel::Action::Valid);
    } else if (name == "texture") {
      texture_ = value != "0";
      rebuildColours(texture_);
    } else if (name == "mesh") {
      showMesh_ = value != "0";
    } else if (name.rfind("gain-", 0) == 0 && name.size() == 6) {
      panel_.setGainText(channel(name), value);
    } else if (name.rfind("offset-", 0) == 0 && name.size() == 8) {
      panel_.setOffsetText(channel(name), value);
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

void Viewer::writeDump(const std::string& path) {
  std::ostringstream f;
  const auto& pv = camera_.pivot();
  char buf[128];
  f << "title="
    << (path_.empty() ? std::string(kProgramName)
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
  f << "valid=" << (panel_.valid() ? 1 : 0) << "\n";
  for (int c = 0; c < 3; ++c) f << "gain_text" << c << "=" << panel_.gainText(c) << "\n";
  for (int c = 0; c < 3; ++c) f << "offset_text" << c << "=" << panel_.offsetText(c) << "\n";
  f << "reverse_axis=" << inEffect_.reverseAxis << "\n";
  f << "eye=" << inEffect_.eye << "\n";
  f << "out_path=" << out_.outPath << "\n";
  f << "out_format=" << out_.outFormat << "\n";
  f << "bgcolor=" << FormatColourHex(out_.bgColor) << "\n";
  f << "program_ini=" << programIni_ << "\n";
  f << "options_open=" << (optionsDialog_.open() ? 1 : 0) << "\n";
  f << "saving=" << (saveJob_.running() ? 1 : 0) << "\n";
  if (!writeWholeFile(path, f.str())) {
    std::fprintf(stderr, "nubiview: cannot write %s\n", path.c_str());
    exitCode_ = 1;
  }
}

}  // namespace nubiview
