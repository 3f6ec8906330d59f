// Argument conversion layer: every Python-callable takes py::handle arguments and converts them
// here, so type errors read "argument '{}': {}" and negative counts raise OverflowError.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vorpex {

namespace py = pybind11;

// The interpreter's name of an object's type, as in its own messages ("int", "numpy.ndarray").
std::string type_name(py::handle h);

// TypeError "argument '{name}': {inner}".
[[noreturn]] void argument_error(const char* name, const std::string& inner);

// A Python str (or subclass), as UTF-8.
std::string arg_string(py::handle h, const char* name);
// Anything the interpreter's float conversion accepts (float, int, bool, __float__, __index__).
double arg_float(py::handle h, const char* name);
// An int or an object with __index__; OverflowError (passed through) when negative or too large.
std::size_t arg_size(py::handle h, const char* name);
std::uint64_t arg_u64(py::handle h, const char* name);
// A Python bool or a NumPy boolean scalar.
bool arg_bool(py::handle h, const char* name);
// None (returned as nullopt) or a dict or dict subclass.
std::optional<py::dict> arg_dict_or_none(py::handle h, const char* name);

// An instance of the bound class T (registered under `class_name`).
template <class T>
T& arg_instance(py::handle h, const char* name, const char* class_name) {
  if (!py::isinstance<T>(h)) {
    argument_error(name, "'" + type_name(h) + "' object is not an instance of '" + class_name + "'");
  }
  return h.cast<T&>();
}

// Like arg_float, but reports failure by returning nullopt (only Exception subclasses are
// swallowed; KeyboardInterrupt and other BaseExceptions propagate).
std::optional<double> try_float(py::handle h);

}  // namespace vorpex
