// The public entry points: kind by extension, load, save. Nothing escapes as
// an exception: an allocation failure while reading keeps what was read so
// far (always whole points), while writing it is a failed write.
#include "viewer/cloud/point_files.h"

#include "viewer/cloud/byte_reader.h"
#include "viewer/cloud/readers.h"
#include "viewer/cloud/writers.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
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

// Every point file is written under a temporary name in its own folder and
// renamed over the target only when every byte was written and the file
// closed: a full disk or an error part-way leaves the earlier file as it was
// (and no partial file), and a watching viewer never reads half a file. A
// symbolic link is followed, so the file it names is replaced, not the link.
// A target that exists but is no regular file (a device, a FIFO) is written
// in place: renaming over it would replace the device node.
template <typename Writer>
bool writeFile(const std::filesystem::path& path, Writer writer) noexcept {
  namespace fs = std::filesystem;
  try {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (fs::exists(st) && !fs::is_regular_file(st)) return writer(path);
    fs::path target = path;
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
      target = fs::weakly_canonical(path, ec);
      if (ec) return false;
    }
    static std::atomic<unsigned> serial{0};
    fs::path tmp = target;
    tmp.replace_filename("." + target.filename().string() + ".tmp" + std::to_string(::getpid()) + "-" +
                         std::to_string(serial++));
    bool ok = false;
    try {
      ok = writer(tmp);
    } catch (...) {
      ok = false;
    }
    if (ok && ::rename(tmp.c_str(), target.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
    return false;
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

void ReadPly(CloudStore& store, const std::filesystem::path& path) noexcept { readFile(store, path, readPly); }

void Read3d(CloudStore& store, const std::filesystem::path& path) noexcept { readFile(store, path, read3d); }

void ReadTextRows(CloudStore& store, const std::filesystem::path& path) noexcept {
  readFile(store, path, readTextRows);
}

bool WritePly(const CloudStore& store, const std::filesystem::path& path, bool binary) noexcept {
  return writeFile(path, [&](const std::filesystem::path& to) { return writePly(store, to, binary); });
}

bool Write3d(const CloudStore& store, const std::filesystem::path& path) noexcept {
  return writeFile(path, [&](const std::filesystem::path& to) { return write3d(store, to); });
}

bool WriteTextRows(const CloudStore& store, const std::filesystem::path& path) noexcept {
  return writeFile(path, [&](const std::filesystem::path& to) { return writeTextRows(store, to); });
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
