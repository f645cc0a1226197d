#include "viewer/app/panels.h"

#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "viewer/app/gui_style.h"
#include "viewer/app/panel_rules.h"

namespace nubiview {

ButtonAction DrawButtonPanel(float top, bool fullScreen, bool& texture, bool& showMesh, bool meshAvailable) {
  ButtonAction action = ButtonAction::None;
  const float w = ImGui::GetIO().DisplaySize.x;
  ImGui::SetNextWindowPos(ImVec2(w - 170, top));
  ImGui::SetNextWindowSize(ImVec2(170, 108));
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoBackground |
                                 ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings |
                                 ImGuiWindowFlags_NoBringToFrontOnFocus;
  ImGui::Begin("##buttons", nullptr, flags);
  ImGui::SetCursorPos(ImVec2(35, 5));
  if (ImGui::Button(fullScreen ? "Normal Screen(F1)" : "Full Screen(F1)", ImVec2(135, 20)))
    action = ButtonAction::FullScreen;
  ImGui::SetCursorPos(ImVec2(35, 25));
  if (ImGui::Button("Clear(F2)", ImVec2(135, 20))) action = ButtonAction::Clear;
  ImGui::SetCursorPos(ImVec2(35, 45));
  if (ImGui::Button("Reset View(F3)", ImVec2(135, 20))) action = ButtonAction::ResetView;
  ImGui::SetCursorPos(ImVec2(35, 65));
  if (ImGui::Button("Save(F4)", ImVec2(135, 20))) action = ButtonAction::Save;
  ImGui::SetCursorPos(ImVec2(45, 88));
  if (ImGui::Checkbox("Texture", &texture)) action = ButtonAction::Texture;
  ImGui::SetCursorPos(ImVec2(115, 88));
  ImGui::BeginDisabled(!meshAvailable);
  ImGui::Checkbox("Mesh", &showMesh);
  ImGui::EndDisabled();
  ImGui::End();
  return action;
}

void AdjustmentPanel::setFromRecord(const ColourAdjustment& adj) {
  valid_ = adj.enabled;
  for (int c = 0; c < 3; ++c) {
    const float g = std::isfinite(adj.gain[c]) ? adj.gain[c] * 100.0f : 100.0f;
    gainSlider_[c] = std::clamp(static_cast<int>(std::lround(std::clamp(g, -1.0f, 1000.0f))), 0, kGainSliderMax);
    offsetSlider_[c] = std::clamp(adj.offset[c], 0, kOffsetSliderMax);
    std::snprintf(gainEdit_[c], sizeof gainEdit_[c], "%s", GainText(gainSlider_[c]).c_str());
    std::snprintf(offsetEdit_[c], sizeof offsetEdit_[c], "%s", OffsetText(offsetSlider_[c]).c_str());
  }
}

void AdjustmentPanel::fill(ColourAdjustment& adj) const {
  adj.enabled = valid_;
  for (int c = 0; c < 3; ++c) {
    adj.gain[c] = gainSlider_[c] * 0.01f;
    adj.offset[c] = offsetSlider_[c];
  }
}

void AdjustmentPanel::setGainText(int c, const std::string& text) {
  std::string t = text;
  ApplyGainText(t, gainSlider_[c]);
  std::snprintf(gainEdit_[c], sizeof gainEdit_[c], "%s", t.c_str());
}

void AdjustmentPanel::setOffsetText(int c, const std::string& text) {
  std::string t = text;
  ApplyOffsetText(t, offsetSlider_[c]);
  std::snprintf(offsetEdit_[c], sizeof offsetEdit_[c], "%s", t.c_str());
}

AdjustmentPanel::Action AdjustmentPanel::draw(float top) {
  Action action = Action::None;
  const float w = ImGui::GetIO().DisplaySize.x;
  const float cap = kCaptionHeight;
  ImGui::SetNextWindowPos(ImVec2(w - 136, top + 108));
  ImGui::SetNextWindowSize(ImVec2(136, 205 + cap));
  ImGui::PushStyleColor(ImGuiCol_WindowBg, IM_COL32(255, 255, 255, 0x28));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0);
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove |
                                 ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBringToFrontOnFocus;
  ImGui::Begin("##cc", nullptr, flags);
  ImDrawList* dl = ImGui::GetWindowDrawList();
  const ImVec2 origin = ImGui::GetWindowPos();
  dl->AddRectFilled(origin, ImVec2(origin.x + 136, origin.y + cap), IM_COL32(255, 255, 255, 0x50));
  ImGui::SetCursorPos(ImVec2(5, 0));
  ImGui::TextUnformatted("[CC]");
  sliderFocused_ = false;

  ImGui::SetCursorPos(ImVec2(70, cap + 5));
  if (ImGui::Checkbox("Valid", &valid_)) action = Action::Valid;
  ImGui::BeginDisabled(!valid_);
  static const ImU32 kChannel[3] = {IM_COL32(255, 0, 0, 255), IM_COL32(0, 255, 0, 255), IM_COL32(0, 0, 255, 255)};
  static const char* const kNames[3] = {"R", "G", "B"};
  auto row = [&](int c, float labelY, float sliderY, float editY, bool gain) {
    ImGui::SetCursorPos(ImVec2(5, cap + labelY));
    ImGui::PushStyleColor(ImGuiCol_Text, kChannel[c]);
    ImGui::TextUnformatted(kNames[c]);
    ImGui::PopStyleColor();
    ImGui::PushID(gain ? c : c + 3);
    ImGui::SetCursorPos(ImVec2(30, cap + sliderY));
    ImGui::SetNextItemWidth(50);
    int& slider = gain ? gainSlider_[c] : offsetSlider_[c];
    char* edit = gain ? gainEdit_[c] : offsetEdit_[c];
    if (ImGui::SliderInt("##s", &slider, 0, gain ? kGainSliderMax : kOffsetSliderMax, "", ImGuiSliderFlags_AlwaysClamp))
      std::snprintf(edit, 16, "%s", (gain ? GainText(slider) : OffsetText(slider)).c_str());
    if (ImGui::IsItemActive() || ImGui::IsItemFocused()) sliderFocused_ = true;
    ImGui::SetCursorPos(ImVec2(95, cap + editY));
    ImGui::SetNextItemWidth(32);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(2, 2));
    const bool enter = ImGui::InputText("##e", edit, 16, ImGuiInputTextFlags_EnterReturnsTrue);
    if (enter || ImGui::IsItemDeactivatedAfterEdit()) {
      std::string t = edit;
      gain ? ApplyGainText(t, slider) : ApplyOffsetText(t, slider);
      std::snprintf(edit, 16, "%s", t.c_str());
    }
    ImGui::PopStyleVar();
    ImGui::PopID();
  };
  ImGui::SetCursorPos(ImVec2(5, cap + 13));
  ImGui::TextUnformatted("Gain:");
  for (int c = 0; c < 3; ++c) row(c, 29.0f + 20 * c, 27.0f + 20 * c, 27.0f + 20 * c, true);
  ImGui::SetCursorPos(ImVec2(5, cap + 85));
  ImGui::TextUnformatted("Offset:");
  for (int c = 0; c < 3; ++c) row(c, 105.0f + 20 * c, 103.0f + 20 * c, 99.0f + 20 * c, false);
  ImGui::SetCursorPos(ImVec2(47, cap + 165));
  if (ImGui::Button("Apply", ImVec2(45, 20))) action = Action::Apply;
  ImGui::SetCursorPos(ImVec2(92, cap + 165));
  if (ImGui::Button("Save", ImVec2(45, 20))) action = Action::Save;
  ImGui::EndDisabled();
  ImGui::End();
  ImGui::PopStyleVar();
  ImGui::PopStyleColor();
  return action;
}

}  // namespace nubiview
