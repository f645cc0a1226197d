#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "apps/zelscan/command_options.h"
#include "apps/zelscan/commands.h"
#include "apps/zelscan/decoder_host.h"
#include "viewer/cloud/point_files.h"

namespace zelscan {
namespace {

namespace fs = std::filesystem;

const char kDecodeHelp[] =
    "Usage: zelscan decode --decoder phsft|sgbm --calib DIR --out FILE\n"
    "                      (--images DIR | --left FILE... --right FILE...)\n"
    "                      [--settings FILE] [--log FILE]\n"
    "\n"
    "Decodes one image set with the decoder library and writes the cloud.\n"
    "  --decoder   phsft (13 pattern images per camera) or sgbm (one image per camera)\n"
    "  --calib     folder with the calibration files (cam0_param.yaml, cam1_param.yaml,\n"
    "              hmat0.dat, hmat1.dat, rect.param)\n"
    "  --settings  the decoder's settings INI; without it the built-in defaults apply\n"
    "  --images    a folder as zelsim writes it: cam0_00.pgm..cam0_12.pgm and\n"
    "              cam1_00.pgm..cam1_12.pgm (phsft), texture_cam0.pgm and\n"
    "              texture_cam1.pgm (sgbm)\n"
    "  --left, --right  the images of each camera, in capture order\n"
    "  --out       the point file: .ply (binary PLY), .3d, .csv or .txt\n"
    "  --log       the decoder's log file (stage times)\n";

}  // namespace

// Checks on a path the user gave, without exceptions: a path too long, a
// symbolic-link loop or a folder without access is an answer, not a crash.
bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool isRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

std::string whyNot(const std::string& path) {
  std::error_code ec;
  (void)fs::status(path, ec);
  return ec ? ec.message() : "not the expected kind of file";
}

bool writeCloud(const Cloud& cloud, const std::string& path, std::string* error) {
  cloud::CloudStore store;
  try {
    cloud::CloudStore::PointRoom room = store.appendPoints(cloud.count);
    std::memcpy(room.positions, cloud.points.data(), cloud.points.size() * sizeof(float));
    std::memcpy(room.colours, cloud.colours.data(), cloud.colours.size());
  } catch (const std::bad_alloc&) {
    *error = "out of memory for " + std::to_string(cloud.count) + " points";
    return false;
  }
  if (cloud::FileKindFromExtension(path) == cloud::FileKind::Unknown) {
    *error = "unknown point file extension: " + path + " (use .ply, .3d, .csv or .txt)";
    return false;
  }
  switch (cloud::SavePointFile(store, path, "")) {
    case cloud::SaveResult::Saved: return true;
    case cloud::SaveResult::NothingToSave: *error = "no points to write"; return false;
    case cloud::SaveResult::Failed: break;
  }
  // The writer replaces the file only when all of it was written: whatever
  // was at path before is still there, so nothing is removed here.
  std::error_code ec;
  *error = "cannot write " + path +
           (fs::is_directory(path, ec) ? " (it is a folder)" : " (the folder is not writable or the disk is full)") +
           "; any earlier file there is unchanged";
  return false;
}

int decodeCommand(int argc, char** argv) {
  std::string decoder, calib, out, settings, images, log;
  std::vector<std::string> left, right;
  CommandOptions options("decode", argc, argv);
  while (options.next()) {
    bool ok = true;
    if (options.isHelp()) {
      std::fputs(kDecodeHelp, stdout);
      return 0;
    } else if (options.is("--decoder")) {
      ok = options.value(decoder);
    } else if (options.is("--calib")) {
      ok = options.value(calib);
    } else if (options.is("--out")) {
      ok = options.value(out);
    } else if (options.is("--settings")) {
      ok = options.value(settings);
    } else if (options.is("--images")) {
      ok = options.value(images);
    } else if (options.is("--log")) {
      ok = options.value(log);
    } else if (options.is("--left")) {
      ok = options.list(left, "image");
    } else if (options.is("--right")) {
      ok = options.list(right, "image");
    } else {
      return options.unknown();
    }
    if (!ok) return 2;
  }
  DecoderKind kind;
  if (!parseDecoderKind(decoder, kind)) {
    std::fprintf(stderr, "zelscan decode: --decoder must be phsft or sgbm%s\n",
                 decoder.empty() ? "" : (" (got '" + decoder + "')").c_str());
    return 2;
  }
  if (calib.empty() || out.empty()) {
    std::fprintf(stderr, "zelscan decode: --calib and --out are required (try 'zelscan decode --help')\n");
    return 2;
  }
  if (!images.empty() && (!left.empty() || !right.empty())) {
    std::fprintf(stderr, "zelscan decode: give either --images or --left/--right, not both\n");
    return 2;
  }
  if (!images.empty()) {
    if (kind == DecoderKind::Phsft) {
      char name[32];
      for (int k = 0; k < 13; ++k) {
        std::snprintf(name, sizeof name, "/cam0_%02d.pgm", k);
        left.push_back(images + name);
        std::snprintf(name, sizeof name, "/cam1_%02d.pgm", k);
        right.push_back(images + name);
      }
    } else {
      left.push_back(images + "/texture_cam0.pgm");
      right.push_back(images + "/texture_cam1.pgm");
    }
  }
  if (left.empty()) {
    std::fprintf(stderr, "zelscan decode: no images (use --images DIR or --left ... --right ...)\n");
    return 2;
  }
  if (!isDirectory(calib)) {
    std::fprintf(stderr, "zelscan decode: calibration folder not found: %s (%s)\n", calib.c_str(),
                 whyNot(calib).c_str());
    return 1;
  }
  if (!settings.empty() && !isRegularFile(settings)) {
    std::fprintf(stderr, "zelscan decode: settings file not found: %s (%s)\n", settings.c_str(),
                 whyNot(settings).c_str());
    return 1;
  }
  if (!log.empty()) {
    // The decoder's logger drops lines it cannot write; say so now instead.
    std::FILE* probe = std::fopen(log.c_str(), "a");
    if (!probe) {
      std::fprintf(stderr, "zelscan decode: cannot write the log file %s: %s\n", log.c_str(), std::strerror(errno));
      return 1;
    }
    std::fclose(probe);
  }

  if (cloud::FileKindFromExtension(out) == cloud::FileKind::Unknown) {
    std::fprintf(stderr, "zelscan decode: unknown point file extension: %s (use .ply, .3d, .csv or .txt)\n",
                 out.c_str());
    return 1;
  }
  fs::path outDir = fs::path(out).parent_path();
  if (!outDir.empty() && !isDirectory(outDir.string())) {
    std::fprintf(stderr, "zelscan decode: cannot write %s: no folder %s (%s)\n", out.c_str(), outDir.c_str(),
                 whyNot(outDir.string()).c_str());
    return 1;
  }
  if (isDirectory(out)) {
    std::fprintf(stderr, "zelscan decode: cannot write %s: it is a folder\n", out.c_str());
    return 1;
  }

  std::string error;
  std::unique_ptr<DecoderHost> host = DecoderHost::load(kind, &error);
  if (!host) {
    std::fprintf(stderr, "zelscan decode: %s\n", error.c_str());
    return 1;
  }
  if (!log.empty()) host->logTo(log);
  if (!host->configure(settings, calib, &error)) {
    std::fprintf(stderr, "zelscan decode: %s\n", error.c_str());
    return 1;
  }
  ImageSets sets;
  if (!loadImageSets(left, right, host->width(), host->height(), sets, &error)) {
    std::fprintf(stderr, "zelscan decode: %s\n", error.c_str());
    return 1;
  }
  Cloud cloud;
  if (!host->decode(sets, cloud, &error)) {
    std::fprintf(stderr, "zelscan decode: %s\n", error.c_str());
    return 1;
  }
  if (cloud.count == 0) {
    std::fprintf(stderr, "zelscan decode: the decoder found no points (check the images and the calibration)\n");
    return 1;
  }
  if (!writeCloud(cloud, out, &error)) {
    std::fprintf(stderr, "zelscan decode: %s\n", error.c_str());
    return 1;
  }
  std::printf("zelscan decode: %d points in %.0f ms -> %s\n", cloud.count, cloud.execMs, out.c_str());
  return 0;
}

}  // namespace zelscan
