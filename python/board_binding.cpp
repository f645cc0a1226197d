// Calibrix's circle board detection on numpy images.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>

#include <opencv2/core.hpp>

#include "calibrix/circle_calib_board.h"
#include "python/array_checks.h"
#include "python/bindings.h"

namespace zelcam_py {
namespace {

namespace fs = std::filesystem;

// zelcam.DetectionError, made once when the module is imported and kept for
// the life of the process.
py::object* gDetectionError = nullptr;
py::object& detectionErrorType() { return *gDetectionError; }

class Board {
 public:
  explicit Board(py::object settings) {
    if (settings.is_none()) {
      board_.readSettings(nullptr);
    } else if (py::isinstance<py::dict>(settings)) {
      for (auto item : settings.cast<py::dict>()) {
        const std::string key = py::str(item.first);
        if (!board_.settings().count(key)) {
          std::string known;
          for (const auto& [k, v] : board_.settings()) known += (known.empty() ? "" : ", ") + k;
          throw py::key_error("unknown board setting '" + key + "' (known: " + known + ")");
        }
        board_.setSetting(key, item.second.cast<double>());
      }
      board_.rebuildGammaTable();
      board_.computeGeometry();
    } else {
      py::object p = py::module_::import("os").attr("fspath")(settings);
      const std::string path = p.cast<std::string>();
      std::error_code ec;
      if (!fs::is_regular_file(path, ec)) {
        PyErr_SetString(PyExc_FileNotFoundError, ("board settings file not found: " + path).c_str());
        throw py::error_already_set();
      }
      try {
        board_.readSettings(path.c_str());
      } catch (const calibrix::iFileStorage_error& e) {
        throw py::value_error(std::string("cannot read the board settings ") + e.what());
      }
    }
    if (board_.nCirclesX() <= 0 || board_.nCirclesY() <= 0 || board_.nCirclesX() > 1000 || board_.nCirclesY() > 1000) {
      throw py::value_error("the board must have 1..1000 circles per side (\"n_circles_x\", \"n_circles_y\")");
    }
  }

  py::array_t<float> detect(py::object imageObj) {
    py::array image = asArray(imageObj, "image");
    requireDtype<std::uint8_t>(image, "image", "uint8");
    if (image.ndim() == 3) {
      requireShape(image, "image", {-1, -1, 3}, "a grey image, or BGR colour with 3 channels");
    } else {
      requireShape(image, "image", {-1, -1}, "one 8-bit grey image, rows by columns");
    }
    requireContiguous(image, "image");
    if (image.shape(0) == 0 || image.shape(1) == 0) throw py::value_error("image is empty");
    if (image.shape(0) > 1000000 || image.shape(1) > 1000000) throw py::value_error("image is too large");
    // A header over the caller's pixels: detection only reads them.
    const cv::Mat mat(static_cast<int>(image.shape(0)), static_cast<int>(image.shape(1)),
                      image.ndim() == 3 ? CV_8UC3 : CV_8UC1, const_cast<void*>(image.data()));
    std::vector<cv::Point2f> result;
    std::ostringstream warn;
    std::string stage;
    int nContour = -1;
    std::string otherError;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(busy_);
      try {
        board_.detect(mat, result, nullptr, &warn);
      } catch (const calibrix::CircleCalibBoardError_FewContours& e) {
        stage = e.at;
        nContour = e.n_contour;
      } catch (const calibrix::CircleCalibBoardError& e) {
        otherError = e.what();
      }
    }
    if (nContour >= 0) {
      py::object err =
          detectionErrorType()("too few contours at " + stage + ": " + std::to_string(nContour) + " candidates left");
      err.attr("stage") = stage;
      err.attr("n_contour") = nContour;
      PyErr_SetObject(detectionErrorType().ptr(), err.ptr());
      throw py::error_already_set();
    }
    if (!otherError.empty()) throw py::value_error(otherError);
    if (!warn.str().empty()) {
      PyErr_WarnEx(PyExc_UserWarning, warn.str().c_str(), 2);
    }
    const py::ssize_t ny = board_.nCirclesY(), nx = board_.nCirclesX();
    py::array_t<float> out({ny, nx, py::ssize_t{2}});
    float* o = out.mutable_data();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t i = 0; i < result.size(); ++i) {
      const bool found = result[i].x != FLT_MAX || result[i].y != FLT_MAX;
      o[2 * i] = found ? result[i].x : nan;
      o[2 * i + 1] = found ? result[i].y : nan;
    }
    return out;
  }

  int nx() const { return board_.nCirclesX(); }
  int ny() const { return board_.nCirclesY(); }
  int originIndex() const { return board_.originMarkerIndex(); }
  py::dict settings() const {
    py::dict d;
    for (const auto& [k, v] : board_.settings()) d[py::str(k)] = v;
    return d;
  }
  py::array_t<float> objectPoints() const {
    const cv::Mat& op = board_.objectPoints();
    py::array_t<float> out({static_cast<py::ssize_t>(ny()), static_cast<py::ssize_t>(nx()), py::ssize_t{3}});
    if (!op.empty()) std::memcpy(out.mutable_data(), op.ptr<float>(), op.total() * 3 * sizeof(float));
    return out;
  }

 private:
  calibrix::CircleCalibBoard board_{0.0f};
  std::mutex busy_;
};

}  // namespace

void bindBoard(py::module_& m) {
  gDetectionError = new py::object(py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc("zelcam.DetectionError",
                                "Too few circle candidates survived a stage of the board detection.\n\n"
                                "Attributes: stage (\"cv::findContours\", \"get_ellipse\" or "
                                "\"leave_largest_group\") and n_contour (candidates left there).",
                                PyExc_RuntimeError, nullptr)));
  m.attr("DetectionError") = *gDetectionError;
  py::class_<Board>(m, "CircleBoard",
                    R"(Calibrix's detection of the circle-grid calibration board.

CircleBoard(settings=None)

settings: None (calibrix's defaults: 13 x 19 circles, origin 6, 9), the path
of a board settings YAML file as calibrix reads it, or a dict of its keys
("n_circles_x", "n_circles_y", "origin_x", "origin_y", "unitleng",
"distance_between_circles", "bin_type", ...).

The first image detected fixes the contour and radius limits for every later
image, as in a calibration run: use one CircleBoard per camera and image size.)")
      .def(py::init<py::object>(), py::arg("settings") = py::none())
      .def("detect", &Board::detect, py::arg("image"),
           R"(Finds the circle centres in one image.

image: (H, W) uint8 grey, or (H, W, 3) uint8 BGR, C-contiguous.
Returns a (n_circles_y, n_circles_x, 2) float32 array of x, y image positions
(pixels); element [r, c] is the circle of grid row r, column c (row-major, as
calibrix orders them: the origin circle at [offset_y, offset_x]). Circles not
found are NaN (calibrix writes FLT_MAX there). An image without the base
marker gives all NaN and a UserWarning. DetectionError when too few circles
survive a stage.)")
      .def_property_readonly("n_circles_x", &Board::nx, "Circles per board row.")
      .def_property_readonly("n_circles_y", &Board::ny, "Circles per board column.")
      .def_property_readonly("origin_index", &Board::originIndex,
                             "Row-major index of the origin circle in the flattened result.")
      .def_property_readonly("settings", &Board::settings, "Every board setting (a copy).")
      .def_property_readonly("object_points", &Board::objectPoints,
                             "(n_circles_y, n_circles_x, 3) float32 board coordinates (x, y, 0) in the\n"
                             "unit of \"unitleng\".");
}

}  // namespace zelcam_py
