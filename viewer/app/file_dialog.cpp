#include "viewer/app/file_dialog.h"

#ifdef NUBIVIEW_HAVE_GTK
#include <gtk/gtk.h>
#endif

namespace nubiview {

#ifdef NUBIVIEW_HAVE_GTK
namespace {

void pumpEvents() {
  while (gtk_events_pending()) gtk_main_iteration();
}

std::optional<std::string> run(GtkWidget* dialog) {
  std::optional<std::string> result;
  if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    if (char* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
      result = name;
      g_free(name);
    }
  }
  gtk_widget_destroy(dialog);
  pumpEvents();
  return result;
}

}  // namespace

bool NativeDialogsAvailable() {
  if (getenv("NUBIVIEW_NO_GTK")) return false;
  static const bool ok = gtk_init_check(nullptr, nullptr);
  return ok;
}

std::optional<std::string> NativeOpenDialog(const std::string& title,
                                            const std::vector<std::pair<std::string, std::string>>& filters) {
  if (!NativeDialogsAvailable()) return std::nullopt;
  GtkWidget* d = gtk_file_chooser_dialog_new(title.c_str(), nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
                                             GTK_RESPONSE_CANCEL, "_Open", GTK_RESPONSE_ACCEPT, nullptr);
  for (const auto& [name, pattern] : filters) {
    GtkFileFilter* f = gtk_file_filter_new();
    gtk_file_filter_set_name(f, name.c_str());
    gtk_file_filter_add_pattern(f, pattern == "*.*" ? "*" : pattern.c_str());
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(d), f);
  }
  return run(d);
}

std::optional<std::string> NativeSaveDialog(const std::string& title, const std::string& filterName,
                                            const std::string& pattern, const std::string& defaultExt) {
  if (!NativeDialogsAvailable()) return std::nullopt;
  GtkWidget* d = gtk_file_chooser_dialog_new(title.c_str(), nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, "_Cancel",
                                             GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(d), TRUE);
  GtkFileFilter* f = gtk_file_filter_new();
  gtk_file_filter_set_name(f, filterName.c_str());
  gtk_file_filter_add_pattern(f, pattern.c_str());
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(d), f);
  std::optional<std::string> r = run(d);
  if (r && !defaultExt.empty()) {
    const std::size_t slash = r->find_last_of('/');
    const std::size_t dot = r->find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) *r += "." + defaultExt;
  }
  return r;
}
#else
bool NativeDialogsAvailable() { return false; }
std::optional<std::string> NativeOpenDialog(const std::string&,
                                            const std::vector<std::pair<std::string, std::string>>&) {
  return std::nullopt;
}
std::optional<std::string> NativeSaveDialog(const std::string&, const std::string&, const std::string&,
                                            const std::string&) {
  return std::nullopt;
}
#endif

}  // namespace nubiview
