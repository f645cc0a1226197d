#pragma once
// Rules of the colour adjustment panel's sliders and edit boxes, and of the
// names the viewer saves to.
#include <ctime>
#include <string>

namespace nubiview {

constexpr int kGainSliderMax = 200;  // slider value = gain x 100
constexpr int kOffsetSliderMax = 255;

std::string GainText(int sliderValue);    // "%.2f" of value x 0.01
std::string OffsetText(int sliderValue);  // "%d"

// A gain edit box changed: its text read as a float, times 100, truncated.
// Inside 0..200 the slider takes it and true is returned; outside, text is
// reset to the slider's value and false returned.
bool ApplyGainText(std::string& text, int& sliderValue);
// An offset edit box changed: read as an integer; inside 0..255 the slider
// takes it, outside the text is reset to the slider's value.
bool ApplyOffsetText(std::string& text, int& sliderValue);

// The save extension: "out_format" up to its first "." ("ply.asc" -> "ply").
std::string DefaultExtension(const std::string& outFormat);
// "%s%04d%02d%02d_%02d%02d%02d.%s" from prefix, local time and extension.
std::string DateTimeFileName(const std::string& prefix, const std::tm& t, const std::string& ext);

// Where an "out_path" setting saves to. A path ending in "*" names a folder
// prefix for date-time names; its missing folders are created. Sets error to
// the path that could not be prepared (then returns "").
std::string ResolveOutPath(const std::string& outPath, const std::string& ext, const std::tm& now, std::string& error);

}  // namespace nubiview
