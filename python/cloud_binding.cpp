// Point files to and from numpy, through the viewer's point store and its
// readers and writers (PLY binary and ASCII, 3D, text rows).
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "python/array_checks.h"
#include "python/bindings.h"
#include "viewer/cloud/point_files.h"

namespace zelcam_py {
namespace {

namespace fs = std::filesystem;

py::object& pointCloudType() {
  static py::object* type = nullptr;
  if (!type) {
    type = new py::object(py::module_::import("collections")
                              .attr("namedtuple")("PointCloud", py::make_tuple("points", "colors", "triangles"),
                                                  py::arg("module") = "zelcam"));
    type->attr("__doc__") =
        "A point file's content: points (N, 3) float32, colors (N, 3) uint8 red, green, blue, "
        "triangles (M, 3) int32 zero-based point indices.";
  }
  return *type;
}

std::string pathArg(py::handle obj) {
  if (py::isinstance<py::str>(obj) || py::hasattr(obj, "__fspath__")) {
    py::object p = py::module_::import("os").attr("fspath")(obj);
    if (py::isinstance<py::str>(p)) return p.cast<std::string>();
  }
  throw py::type_error("path must be a str or os.PathLike");
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

py::object readPoints(py::object pathObj) {
  const std::string path = pathArg(pathObj);
  if (cloud::FileKindFromExtension(path) == cloud::FileKind::Unknown) {
    raise(PyExc_ValueError, "unknown point file extension: " + path + " (.ply, .3d, .csv or .txt)");
  }
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) raise(PyExc_FileNotFoundError, "no such point file: " + path);
  // The arrays handed out view the store's own memory: the store lives as
  // long as any of them (no copy of a cloud of millions of points). Its room
  // for 10,000,000 points is address space only; pages never written are
  // never backed by memory.
  auto* store = new cloud::CloudStore;
  py::capsule owner(store, [](void* p) { delete static_cast<cloud::CloudStore*>(p); });
  {
    py::gil_scoped_release release;
    cloud::LoadPointFile(*store, path);
  }
  const auto n = static_cast<py::ssize_t>(store->pointCount());
  const auto m = static_cast<py::ssize_t>(store->triangleCount());
  py::array points(py::dtype::of<float>(), {n, py::ssize_t{3}}, {}, store->positions().data(), owner);
  py::array colours(py::dtype::of<std::uint8_t>(), {n, py::ssize_t{3}}, {}, store->colours().data(), owner);
  py::array triangles(py::dtype::of<std::int32_t>(), {m, py::ssize_t{3}}, {}, store->triangles().data(), owner);
  return pointCloudType()(points, colours, triangles);
}

void writePoints(py::object pathObj, py::object pointsObj, py::object coloursObj, py::object trianglesObj,
                 py::object formatObj) {
  const std::string path = pathArg(pathObj);
  const std::string format = formatObj.is_none() ? std::string() : formatObj.cast<std::string>();
  if (!format.empty() && format != "ply.bin" && format != "ply.asc" && format != "3d") {
    raise(PyExc_ValueError, "format must be None, 'ply.bin', 'ply.asc' or '3d', not '" + format + "'");
  }
  if (format.empty() && cloud::FileKindFromExtension(path) == cloud::FileKind::Unknown) {
    raise(PyExc_ValueError, "unknown point file extension: " + path + " (.ply, .3d, .csv or .txt, or give format=)");
  }
  py::array points = asArray(pointsObj, "points");
  const bool doubles = points.dtype().equal(py::dtype::of<double>());
  if (!doubles) requireDtype<float>(points, "points", "float32");
  requireShape(points, "points", {-1, 3}, "x, y, z per point");
  requireContiguous(points, "points");
  const auto n = static_cast<std::size_t>(points.shape(0));
  if (n == 0) raise(PyExc_ValueError, "no points to write: " + path + " was not written");
  // (a default py::array is an empty array, not "none": presence is tracked apart)
  const bool hasColours = !coloursObj.is_none();
  const bool hasTriangles = !trianglesObj.is_none();
  py::array colours;
  if (hasColours) {
    colours = asArray(coloursObj, "colors");
    requireDtype<std::uint8_t>(colours, "colors", "uint8");
    requireShape(colours, "colors", {points.shape(0), 3}, "red, green, blue per point");
    requireContiguous(colours, "colors");
  }
  py::array triangles;
  bool wideIndices = false;
  if (hasTriangles) {
    triangles = asArray(trianglesObj, "triangles");
    wideIndices = triangles.dtype().equal(py::dtype::of<std::int64_t>());
    if (!wideIndices) requireDtype<std::int32_t>(triangles, "triangles", "int32");
    requireShape(triangles, "triangles", {-1, 3}, "three point indices per triangle");
    requireContiguous(triangles, "triangles");
  }

  // One copy into the store the writers take (it cannot borrow memory).
  cloud::CloudStore store;
  try {
    cloud::CloudStore::PointRoom room = store.appendPoints(n);
    if (doubles) {
      const double* src = static_cast<const double*>(points.data());
      for (std::size_t i = 0; i < 3 * n; ++i) room.positions[i] = static_cast<float>(src[i]);
    } else {
      std::memcpy(room.positions, points.data(), 3 * n * sizeof(float));
    }
    if (hasColours) {
      std::memcpy(room.colours, colours.data(), 3 * n);
    } else {
      std::memset(room.colours, 255, 3 * n);  // white, as the readers give a point without colour
    }
    if (hasTriangles) {
      const auto m = static_cast<std::size_t>(triangles.shape(0));
      for (std::size_t t = 0; t < m; ++t) {
        std::int32_t c[3];
        for (std::size_t k = 0; k < 3; ++k) {
          std::int64_t v = wideIndices ? static_cast<const std::int64_t*>(triangles.data())[3 * t + k]
                                       : static_cast<const std::int32_t*>(triangles.data())[3 * t + k];
          if (v < 0 || v >= static_cast<std::int64_t>(n)) {
            raise(PyExc_ValueError, "triangle " + std::to_string(t) + " names point " + std::to_string(v) +
                                        ", but there are " + std::to_string(n) + " points");
          }
          c[k] = static_cast<std::int32_t>(v);
        }
        store.appendTriangle(c[0], c[1], c[2]);
      }
    }
  } catch (const std::bad_alloc&) {
    raise(PyExc_MemoryError, "out of memory for " + std::to_string(n) + " points");
  }
  // Written under a temporary name beside the target (same extension, so the
  // writer picked is the same) and renamed over it only when complete: a
  // failed write leaves neither a partial file nor a damaged earlier one.
  const fs::path target(path);
  const fs::path partial = target.parent_path() / ("." + target.stem().string() + ".partial-" +
                                                   std::to_string(::getpid()) + target.extension().string());
  cloud::SaveResult result;
  std::error_code ec;
  {
    py::gil_scoped_release release;
    result = cloud::SavePointFile(store, partial, format);
    if (result == cloud::SaveResult::Saved) fs::rename(partial, target, ec);
  }
  if (result != cloud::SaveResult::Saved || ec) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    raise(PyExc_OSError, "cannot write " + path + (ec ? ": " + ec.message() : std::string()));
  }
}

}  // namespace

void bindCloud(py::module_& m) {
  m.attr("PointCloud") = pointCloudType();
  m.def("read_points", &readPoints, py::arg("path"),
        R"(Reads a point file into numpy: PointCloud(points, colors, triangles).

The kind follows the extension: .ply (binary little-endian or ASCII, by its
header), .3d, .csv and .txt (whitespace-separated rows: a comma is not a
separator). points (N, 3) float32 exactly as stored; colors (N, 3) uint8 red,
green, blue, white where the file gives none; triangles (M, 3) int32 as stored
(PLY only; not checked against N).

The readers are tolerant, as the viewer's: what they do not understand is
skipped, and a file they cannot make sense of gives N = 0. ValueError for an
unknown extension, FileNotFoundError for a missing file.

The three arrays are views of one block that the reader filled (no copy);
that block is reserved for 10,000,000 points of address space, only the part
written is ever backed by memory, and it is freed with the last array.)");
  m.def("write_points", &writePoints, py::arg("path"), py::arg("points"), py::arg("colors") = py::none(),
        py::arg("triangles") = py::none(), py::kw_only(), py::arg("format") = py::none(),
        R"(Writes a point file from numpy arrays.

points: (N, 3) float32 (float64 is narrowed to float32); colors: (N, 3) uint8
red, green, blue, or None for white; triangles: (M, 3) int32 or int64 point
indices, or None (only PLY stores them). Arrays must be C-contiguous.
format: None picks the writer by the extension (.ply binary PLY, .3d, .csv or
.txt text rows); 'ply.bin', 'ply.asc' or '3d' force one, as the viewer's
"out_format" setting does.

ValueError for N = 0 (nothing is written), an unknown extension, a triangle
naming a point that does not exist, or a bad array; OSError when the file
cannot be written. The file is written under a temporary name beside it and
renamed when complete: a failed write leaves no partial file and keeps an
earlier file of that name as it was.)");
}

}  // namespace zelcam_py
