#include "python/array_checks.h"

namespace zelcam_py {

std::string shapeText(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (i) s += ", ";
    s += std::to_string(a.shape(i));
  }
  if (a.ndim() == 1) s += ",";
  return s + ")";
}

py::array asArray(py::handle obj, const char* name) {
  if (!py::isinstance<py::array>(obj)) {
    throw py::type_error(std::string(name) + " must be a numpy array, not " +
                         std::string(py::str(py::type::handle_of(obj).attr("__name__"))));
  }
  return py::reinterpret_borrow<py::array>(obj);
}

void requireContiguous(const py::array& a, const char* name) {
  if (!(a.flags() & py::array::c_style)) {
    throw py::value_error(std::string(name) +
                          " must be C-contiguous (rows packed one after the other); "
                          "pass numpy.ascontiguousarray(" +
                          name + "), which copies");
  }
}

void requireShape(const py::array& a, const char* name, const std::vector<py::ssize_t>& shape, const char* meaning) {
  bool ok = a.ndim() == static_cast<py::ssize_t>(shape.size());
  for (std::size_t i = 0; ok && i < shape.size(); ++i) {
    if (shape[i] >= 0 && a.shape(static_cast<py::ssize_t>(i)) != shape[i]) ok = false;
  }
  if (ok) return;
  std::string want = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) want += ", ";
    want += shape[i] >= 0 ? std::to_string(shape[i]) : std::string("any");
  }
  if (shape.size() == 1) want += ",";
  want += ")";
  throw py::value_error(std::string(name) + " has shape " + shapeText(a) + ", expected " + want + " (" + meaning + ")");
}

}  // namespace zelcam_py
