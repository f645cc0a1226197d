#pragma once
// Native file choosers (GTK 3) for opening and saving point files.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nubiview {

// True when a native chooser can be shown (GTK built in and it initialised).
bool NativeDialogsAvailable();

// Filters: (shown name, pattern). nullopt when cancelled.
std::optional<std::string> NativeOpenDialog(const std::string& title,
                                            const std::vector<std::pair<std::string, std::string>>& filters);
// With the overwrite prompt; defaultExt is appended when the name has none.
std::optional<std::string> NativeSaveDialog(const std::string& title, const std::string& filterName,
                                            const std::string& pattern, const std::string& defaultExt);

}  // namespace nubiview
