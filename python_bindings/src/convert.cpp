// Argument conversions with the module's error form.
#include "convert.hpp"

#include <cstring>

namespace vorpex {

std::string type_name(py::handle h) { return Py_TYPE(h.ptr())->tp_name; }

void argument_error(const char* name, const std::string& inner) {
  throw py::type_error("argument '" + std::string(name) + "': " + inner);
}

namespace {

// Turns a pending TypeError into the argument error; other pending errors pass through.
[[noreturn]] void rethrow_as_argument_error(const char* name) {
  py::error_already_set err;
  if (err.matches(PyExc_TypeError)) {
    argument_error(name, py::str(err.value()).cast<std::string>());
  }
  throw err;
}

}  // namespace

std::string arg_string(py::handle h, const char* name) {
  if (!PyUnicode_Check(h.ptr())) {
    argument_error(name, "'" + type_name(h) + "' object is not an instance of 'str'");
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
  if (!data) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

double arg_float(py::handle h, const char* name) {
  const double v = PyFloat_AsDouble(h.ptr());
  if (v == -1.0 && PyErr_Occurred()) rethrow_as_argument_error(name);
  return v;
}

std::optional<double> try_float(py::handle h) {
  const double v = PyFloat_AsDouble(h.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
  }
  return v;
}

namespace {

py::object as_index(py::handle h, const char* name) {
  PyObject* index = PyNumber_Index(h.ptr());
  if (!index) rethrow_as_argument_error(name);
  return py::reinterpret_steal<py::object>(index);
}

}  // namespace

std::size_t arg_size(py::handle h, const char* name) {
  const py::object index = as_index(h, name);
  const std::size_t v = PyLong_AsSize_t(index.ptr());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

std::uint64_t arg_u64(py::handle h, const char* name) {
  const py::object index = as_index(h, name);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<std::uint64_t>(v);
}

bool arg_bool(py::handle h, const char* name) {
  if (h.ptr() == Py_True) return true;
  if (h.ptr() == Py_False) return false;
  const char* tp = Py_TYPE(h.ptr())->tp_name;
  if (std::strcmp(tp, "numpy.bool") == 0 || std::strcmp(tp, "numpy.bool_") == 0) {
    const int truth = PyObject_IsTrue(h.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
  }
  argument_error(name, "'" + type_name(h) + "' object is not an instance of 'bool'");
}

std::optional<py::dict> arg_dict_or_none(py::handle h, const char* name) {
  if (h.is_none()) return std::nullopt;
  if (!PyDict_Check(h.ptr())) {
    argument_error(name, "'" + type_name(h) + "' object is not an instance of 'dict'");
  }
  return py::reinterpret_borrow<py::dict>(h);
}

}  // namespace vorpex
