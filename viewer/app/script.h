#pragma once
// Input scripts for `nubiview --script FILE`: one command per line, '#' starts
// a comment. Commands:
//   wait MS                 pause for MS milliseconds
//   frames N                let N frames pass
//   move X Y                mouse to window pixel X, Y
//   down|up BUTTON X Y      BUTTON is left, right or middle
//   click BUTTON X Y        down, then up on the next frame
//   dblclick BUTTON X Y     two clicks, the second a double-click
//   wheel N                 N wheel notches (negative zooms out)
//   key [alt+]NAME          NAME: Left Up Right Down F1..F4 0..9 A..Z
//   open PATH | drop PATH   as the open dialog or a file drop
//   options                 opens the Options dialog
//   menu open|options       the menu items (file chooser, Options dialog)
//   options-ok | options-cancel
//   panel NAME VALUE        sets a colour panel control (valid, gain-r..b,
//                           offset-r..b, texture, mesh) and fires its event;
//                           NAME apply / save press the buttons
//   waitfile PATH           waits (at most 10 s) until PATH exists
//   screenshot PNG          writes the next frame to PNG
//   dump FILE               writes the viewer state as key=value lines
//   quit
#include <string>
#include <vector>

namespace nubiview {

struct ScriptCommand {
  std::string verb;
  std::vector<std::string> args;
  int line = 0;
};

// Parses the script text; on a malformed line returns false with error set
// ("line N: ...").
bool ParseScript(const std::string& text, std::vector<ScriptCommand>& out, std::string& error);

}  // namespace nubiview
