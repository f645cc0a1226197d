#pragma once
// The parts of the extension module _zelcam, one per file.
#include <pybind11/pybind11.h>

namespace zelcam_py {

namespace py = pybind11;

void bindDecoders(py::module_& m);  // decoder_binding.cpp
void bindCloud(py::module_& m);     // cloud_binding.cpp
void bindBoard(py::module_& m);     // board_binding.cpp
void bindCamera(py::module_& m);    // camera_binding.cpp

// collections.namedtuple DecodeResult(points, colors, pixel_indices).
py::object& decodeResultType();

}  // namespace zelcam_py
