#pragma once
// The viewer's modal dialogs (ImGui popups): Options, the save progress, the
// message box and the file chooser used when no native one is available.
// Each keeps its own fields; the viewer asks for one and acts on what it
// returns.
#include <optional>
#include <string>

#include "viewer/app/viewer_settings.h"

namespace nubiview {

// "オプション": background colour, output format and output path.
class OptionsDialog {
 public:
  // Fills the fields from the settings in effect; the dialog opens with the
  // next frame.
  void request(const OutputSettings& out);
  // Draws the dialog; true in the frame its OK button is pressed (the dialog
  // is then closed and its fields hold what the user chose).
  bool draw();
  bool open() const { return open_; }
  void close() { open_ = false; }
  // Writes the fields into the program INI (its folder made first); false
  // when the file cannot be written.
  bool save(const std::string& programIni) const;

 private:
  bool requested_ = false, open_ = false;
  char bg_[8] = {};
  int format_ = 0;
  bool usePath_ = false;
  char path_[129] = {};
  float colour_[3] = {};
  bool colourPickerRequested_ = false;
};

// "処理中...": shown while a save runs.
class ProgressDialog {
 public:
  void request() { requested_ = true; }
  void draw(bool running);

 private:
  bool requested_ = false;
};

// A message with an error mark and an OK button.
class MessageBox {
 public:
  void show(const std::string& text, const std::string& caption);
  void draw();

 private:
  bool requested_ = false;
  std::string text_, caption_;
};

// The file chooser drawn with ImGui when GTK is not there.
class FallbackFileDialog {
 public:
  struct Choice {
    bool save = false;
    std::string path;  // for a save, with the extension added when it had none
  };
  void requestOpen();
  void requestSave(const std::string& extension);
  // Draws the chooser; the path chosen in the frame OK is pressed.
  std::optional<Choice> draw();

 private:
  bool requested_ = false, save_ = false;
  char path_[1024] = {};
  std::string dir_;
  std::string extension_;
};

}  // namespace nubiview
