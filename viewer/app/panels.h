#pragma once
// The two panels at the right of the window: the buttons (F1..F4, Texture,
// Mesh) and the colour adjustment panel "[CC]" with its sliders and edits.
#include <string>

#include "viewer/app/viewer_settings.h"

namespace nubiview {

enum class ButtonAction { None, FullScreen, Clear, ResetView, Save, Texture };

// Draws the button panel below the menu bar (top); texture and showMesh are
// the check boxes. The button or check box used in this frame.
ButtonAction DrawButtonPanel(float top, bool fullScreen, bool& texture, bool& showMesh, bool meshAvailable);

class AdjustmentPanel {
 public:
  enum class Action { None, Valid, Apply, Save };

  // The controls show a record (a companion INI's, or the defaults).
  void setFromRecord(const ColourAdjustment& adjustment);
  // The record the controls show now.
  void fill(ColourAdjustment& adjustment) const;
  // Draws the panel under the button panel; the event of this frame.
  Action draw(float top);

  bool valid() const { return valid_; }
  void setValid(bool valid) { valid_ = valid; }
  // As typing text into a channel's edit box (0 red, 1 green, 2 blue).
  void setGainText(int channel, const std::string& text);
  void setOffsetText(int channel, const std::string& text);
  const char* gainText(int channel) const { return gainEdit_[channel]; }
  const char* offsetText(int channel) const { return offsetEdit_[channel]; }
  // A slider has the keyboard: the view keys wait.
  bool sliderFocused() const { return sliderFocused_; }

 private:
  bool valid_ = false;
  int gainSlider_[3] = {100, 100, 100};
  int offsetSlider_[3] = {0, 0, 0};
  char gainEdit_[3][16] = {};
  char offsetEdit_[3][16] = {};
  bool sliderFocused_ = false;
};

}  // namespace nubiview
