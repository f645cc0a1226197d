// The extension module behind the Python package `zelcam`.
#include "python/bindings.h"

PYBIND11_MODULE(_zelcam, m) {
  m.doc() = "Native part of the zelcam package; import zelcam instead.";
  zelcam_py::bindDecoders(m);
  zelcam_py::bindCloud(m);
  zelcam_py::bindBoard(m);
  zelcam_py::bindCamera(m);
}
