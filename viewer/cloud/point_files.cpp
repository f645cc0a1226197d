// The public entry points: kind by extension, load, save. Nothing escapes as
// an exception: an allocation failure while reading keeps what was read so
// far (always whole points), while writing it is a failed write.
#include "viewer/cloud/point_files.h"

#include "viewer/cloud/byte_reader.h"
#include "viewer/cloud/readers.h"
#include "viewer/cloud/writers.h"

#include <string>

namespace cloud {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

template <typename Reader>
void readFile(CloudStore& store, const std::filesystem::path& path, Reader reader) noexcept {
  try {
    std::unique_ptr<ByteReader> in = ByteReader::open(path);
    if (in) reader(*in, store);
  } catch (...) {
    // Out of memory part-way: the points read so far stay, each with its colour.
  }
}

template <typename Writer>
bool writeFile(Writer writer) noexcept {
  try {
    return writer();
  } catch (...) {
    return false;
  }
}

}  // namespace

FileKind FileKindFromExtension(const std::filesystem::path& path) noexcept {
  // The text after the last dot of the whole path, so that "\\" separators of
  // Windows-style paths change nothing.
  const std::string& text = path.native();
  const std::size_t dot = text.rfind('.');
  if (dot == std::string::npos) return FileKind::Unknown;
  const std::string_view ext = std::string_view(text).substr(dot + 1);
  if (equalsIgnoringCase(ext, "3d")) return FileKind::Binary3d;
  if (equalsIgnoringCase(ext, "ply")) return FileKind::Ply;
  if (equalsIgnoringCase(ext, "csv") || equalsIgnoringCase(ext, "txt")) return FileKind::TextRows;
  return FileKind::Unknown;
}

void LoadPointFile(CloudStore& store, const std::filesystem::path& path) noexcept {
  store.clear();
  switch (FileKindFromExtension(path)) {
    case FileKind::Binary3d: Read3d(store, path); break;
    case FileKind::Ply: ReadPly(store, path); break;
    case FileKind::TextRows: ReadTextRows(store, path); break;
    case FileKind::Unknown: break;
  }
}

void ReadPly(CloudStore& store, const std::filesystem::path& path) noexcept {
  readFile(store, path, readPly);
}

void Read3d(CloudStore& store, const std::filesystem::path& path) noexcept {
  readFile(store, path, read3d);
}

void ReadTextRows(CloudStore& store, const std::filesystem::path& path) noexcept {
  readFile(store, path, readTextRows);
}

bool WritePly(const CloudStore& store, const std::filesystem::path& path, bool binary) noexcept {
  return writeFile([&] { return writePly(store, path, binary); });
}

bool Write3d(const CloudStore& store, const std::filesystem::path& path) noexcept {
  return writeFile([&] { return write3d(store, path); });
}

bool WriteTextRows(const CloudStore& store, const std::filesystem::path& path) noexcept {
  return writeFile([&] { return writeTextRows(store, path); });
}

SaveResult SavePointFile(const CloudStore& store, const std::filesystem::path& path,
                         std::string_view outFormat) noexcept {
  if (store.pointCount() == 0) return SaveResult::NothingToSave;
  bool ok = false;
  if (equalsIgnoringCase(outFormat, "ply.bin")) {
    ok = WritePly(store, path, true);
  } else if (equalsIgnoringCase(outFormat, "ply.asc")) {
    ok = WritePly(store, path, false);
  } else if (equalsIgnoringCase(outFormat, "3d")) {
    ok = Write3d(store, path);
  } else {
    switch (FileKindFromExtension(path)) {
      case FileKind::TextRows: ok = WriteTextRows(store, path); break;
      case FileKind::Binary3d: ok = Write3d(store, path); break;
      case FileKind::Ply: ok = WritePly(store, path, true); break;
      case FileKind::Unknown: ok = false; break;
    }
  }
  return ok ? SaveResult::Saved : SaveResult::Failed;
}

}  // namespace cloud
