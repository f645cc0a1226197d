#include "viewer/app/dialogs.h"

#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/text.h"
#include "viewer/app/gui_style.h"

namespace nubiview {
namespace {

struct FormatEntry {
  const char* text;
  const char* value;
};
const FormatEntry kFormats[3] = {{"バイナリ - PLY", "ply.bin"}, {"テキスト - PLY", "ply.asc"}, {"バイナリ - 3D", "3d"}};

// Creates every missing folder above a file path.
void makeParentFolders(const std::string& file) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
}

void centreNextWindow() {
  ImGui::SetNextWindowPos(ImGui::GetMainViewport()->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
}

}  // namespace

void OptionsDialog::request(const OutputSettings& out) {
  std::snprintf(bg_, sizeof bg_, "%s", FormatColourHex(out.bgColor).c_str());
  format_ = 0;
  for (int i = 0; i < 3; ++i)
    if (platform::equalsNoCase(kFormats[i].value, out.outFormat)) format_ = i;
  usePath_ = !out.outPath.empty();
  std::snprintf(path_, sizeof path_, "%s", out.outPath.c_str());
  requested_ = true;
}

bool OptionsDialog::save(const std::string& programIni) const {
  makeParentFolders(programIni);
  return WriteOutputSettings(programIni, bg_, kFormats[format_].value, usePath_ ? path_ : "");
}

bool OptionsDialog::draw() {
  if (requested_) {
    ImGui::OpenPopup("オプション");
    requested_ = false;
    open_ = true;
  }
  centreNextWindow();
  if (!ImGui::BeginPopupModal("オプション", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    open_ = false;
    return false;
  }
  ImGui::TextUnformatted("背景色");
  ImGui::SameLine(110);
  ImGui::SetNextItemWidth(80);
  ImGui::InputText("##bg", bg_, 7, ImGuiInputTextFlags_CharsHexadecimal | ImGuiInputTextFlags_CharsUppercase);
  ImGui::SameLine();
  const unsigned long rgb = std::strtoul(bg_, nullptr, 16) & 0xFFFFFFul;
  const ImVec4 current((rgb >> 16 & 0xFF) / 255.0f, (rgb >> 8 & 0xFF) / 255.0f, (rgb & 0xFF) / 255.0f, 1);
  if (ImGui::ColorButton("##pick", current, 0, ImVec2(40, 0))) {
    colour_[0] = current.x;
    colour_[1] = current.y;
    colour_[2] = current.z;
    colourPickerRequested_ = true;
  }
  if (colourPickerRequested_) {
    ImGui::OpenPopup("色の設定");
    colourPickerRequested_ = false;
  }
  if (ImGui::BeginPopupModal("色の設定", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    ImGui::ColorPicker3("##colour", colour_, ImGuiColorEditFlags_DisplayHex);
    if (ImGui::Button("OK", ImVec2(80, 0))) {
      const std::uint32_t c = (std::uint32_t(std::lround(colour_[0] * 255)) << 16) |
                              (std::uint32_t(std::lround(colour_[1] * 255)) << 8) |
                              std::uint32_t(std::lround(colour_[2] * 255));
      std::snprintf(bg_, sizeof bg_, "%s", FormatColourHex(c).c_str());
      ImGui::CloseCurrentPopup();
    }
    ImGui::SameLine();
    if (ImGui::Button("キャンセル", ImVec2(80, 0))) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
  }

  ImGui::TextUnformatted("ファイルの種類");
  ImGui::SameLine(110);
  ImGui::SetNextItemWidth(200);
  if (ImGui::BeginCombo("##format", kFormats[format_].text)) {
    for (int i = 0; i < 3; ++i)
      if (ImGui::Selectable(kFormats[i].text, format_ == i)) format_ = i;
    ImGui::EndCombo();
  }
  ImGui::Separator();
  if (ImGui::RadioButton("毎回指定する", !usePath_)) usePath_ = false;
  if (ImGui::RadioButton("パス名", usePath_)) usePath_ = true;
  ImGui::SameLine(110);
  ImGui::BeginDisabled(!usePath_);
  ImGui::SetNextItemWidth(300);
  ImGui::InputText("##path", path_, sizeof path_);
  ImGui::EndDisabled();
  ImGui::TextUnformatted("ファイル名に\"*\"を指定すると自動で日付時刻のファイルを作成します。");
  ImGui::Separator();
  bool ok = false;
  if (ImGui::Button("OK", ImVec2(100, 0))) {
    ok = true;
    open_ = false;
    ImGui::CloseCurrentPopup();
  }
  ImGui::SameLine();
  if (ImGui::Button("キャンセル", ImVec2(100, 0))) {
    open_ = false;
    ImGui::CloseCurrentPopup();
  }
  if (!open_) ImGui::CloseCurrentPopup();
  ImGui::EndPopup();
  return ok;
}

void ProgressDialog::draw(bool running) {
  if (requested_) {
    ImGui::OpenPopup("処理中...");
    requested_ = false;
  }
  centreNextWindow();
  if (ImGui::BeginPopupModal("処理中...", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    ImGui::TextUnformatted("しばらくお待ちください...");
    if (!running) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
  }
}

void MessageBox::show(const std::string& text, const std::string& caption) {
  text_ = text;
  caption_ = caption;
  requested_ = true;
}

void MessageBox::draw() {
  const std::string id = caption_ + "###messagebox";
  if (requested_) {
    ImGui::OpenPopup(id.c_str());
    requested_ = false;
  }
  centreNextWindow();
  if (ImGui::BeginPopupModal(id.c_str(), nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    ImGui::TextColored(kRed, "(x)");
    ImGui::SameLine();
    ImGui::TextUnformatted(text_.c_str());
    if (ImGui::Button("OK", ImVec2(100, 0))) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
  }
}

void FallbackFileDialog::requestOpen() {
  save_ = false;
  requested_ = true;
}

void FallbackFileDialog::requestSave(const std::string& extension) {
  save_ = true;
  extension_ = extension;
  requested_ = true;
}

std::optional<FallbackFileDialog::Choice> FallbackFileDialog::draw() {
  const char* title = save_ ? "名前を付けて保存###filedialog" : "ファイルを開く###filedialog";
  if (requested_) {
    requested_ = false;
    std::error_code ec;
    if (dir_.empty()) dir_ = std::filesystem::current_path(ec).string();
    path_[0] = '\0';
    ImGui::OpenPopup(title);
  }
  ImGui::SetNextWindowSize(ImVec2(520, 360), ImGuiCond_Appearing);
  if (!ImGui::BeginPopupModal(title, nullptr)) return std::nullopt;
  ImGui::TextUnformatted(dir_.c_str());
  ImGui::BeginChild("##entries", ImVec2(0, -50), true);
  std::error_code ec;
  if (ImGui::Selectable("..")) dir_ = std::filesystem::path(dir_).parent_path().string();
  std::vector<std::filesystem::directory_entry> entries;
  for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) entries.push_back(e);
  std::sort(entries.begin(), entries.end());
  for (const auto& e : entries) {
    const bool dir = e.is_directory(ec);
    const std::string name = e.path().filename().string() + (dir ? "/" : "");
    if (ImGui::Selectable(name.c_str())) {
      if (dir)
        dir_ = e.path().string();
      else
        std::snprintf(path_, sizeof path_, "%s", e.path().string().c_str());
    }
  }
  ImGui::EndChild();
  ImGui::SetNextItemWidth(-1);
  ImGui::InputText("##name", path_, sizeof path_);
  std::optional<Choice> chosen;
  if (ImGui::Button("OK", ImVec2(100, 0)) && path_[0]) {
    std::string p = path_;
    if (p[0] != '/') p = (std::filesystem::path(dir_) / p).string();
    ImGui::CloseCurrentPopup();
    if (save_ && std::filesystem::path(p).extension().empty() && !extension_.empty()) p += "." + extension_;
    chosen = Choice{save_, p};
  }
  ImGui::SameLine();
  if (ImGui::Button("キャンセル", ImVec2(100, 0))) ImGui::CloseCurrentPopup();
  ImGui::EndPopup();
  return chosen;
}

}  // namespace nubiview
