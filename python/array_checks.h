#pragma once
// Checks of numpy arguments. Nothing is converted silently: a wrong type,
// shape or layout raises TypeError or ValueError naming the argument and what
// it should be, so a caller never pays for a hidden copy.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace zelcam_py {

namespace py = pybind11;

// "(13, 1024, 1280)"
std::string shapeText(const py::array& a);

// The argument as a numpy array; TypeError when it is none.
py::array asArray(py::handle obj, const char* name);

// TypeError unless the array's dtype is exactly T.
template <typename T>
void requireDtype(const py::array& a, const char* name, const char* expected) {
  if (!py::dtype::of<T>().is(a.dtype()) && !a.dtype().equal(py::dtype::of<T>())) {
    throw py::type_error(std::string(name) + " must have dtype " + expected + ", not " +
                         std::string(py::str(a.dtype())) + " (convert with .astype(numpy." + expected +
                         "), which copies)");
  }
}

// ValueError unless the array is C-contiguous (rows packed, last axis fastest).
void requireContiguous(const py::array& a, const char* name);

// ValueError unless the array has `dims` dimensions; where `shape` gives a
// value >= 0 for an axis, that axis must have exactly that length.
void requireShape(const py::array& a, const char* name, const std::vector<py::ssize_t>& shape, const char* meaning);

}  // namespace zelcam_py
