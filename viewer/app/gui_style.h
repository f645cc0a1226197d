#pragma once
// Colours and sizes the viewer's panels and dialogs share.
#include <imgui.h>

namespace nubiview {

inline const ImVec4 kYellow(1, 1, 0, 1);
inline const ImVec4 kRed(1, 0, 0, 1);
inline constexpr float kCaptionHeight = 16.0f;

}  // namespace nubiview
