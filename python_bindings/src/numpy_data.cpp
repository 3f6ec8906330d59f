// NumPy arrays to BoundData: read through the array interface, copied element by element in
// logical (row-major) order so C- and Fortran-ordered inputs give the same matrix.
#include "numpy_data.hpp"

#include <pybind11/numpy.h>

#include <cstring>
#include <vector>

#include "convert.hpp"

namespace vorpex {

namespace {

double read_double(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

BoundData parse_data_dict(const py::dict& dict) {
  BoundData out;
  for (const auto& [k, v] : dict) {
    if (!PyUnicode_Check(k.ptr())) {
      throw py::type_error("data dict keys must be str, got '" + type_name(k) + "'");
    }
    const std::string key = arg_string(k, "key");
    const bool is_array = py::isinstance<py::array>(v);
    py::array arr;
    if (is_array) arr = py::reinterpret_borrow<py::array>(v);
    if (!is_array || (arr.ndim() != 1 && arr.ndim() != 2) ||
        !arr.dtype().equal(py::dtype::of<double>())) {
      const std::string got =
          is_array ? "a " + std::to_string(arr.ndim()) + "-D " +
                         py::str(arr.dtype()).cast<std::string>() + " array"
                   : "'" + type_name(v) + "'";
      throw py::type_error("data key '" + key +
                           "': expected a float64 NumPy array with 1 or 2 dimensions, got " + got);
    }
    const int flags = arr.flags();
    if (!(flags & py::array::c_style) && !(flags & py::array::f_style)) {
      throw py::type_error("data key '" + key +
                           "': array is not contiguous; pass a C- or Fortran-ordered copy "
                           "(numpy.ascontiguousarray)");
    }
    const auto* base = static_cast<const char*>(arr.data());
    if (arr.ndim() == 1) {
      const auto n = static_cast<std::size_t>(arr.shape(0));
      std::vector<double> values(n);
      if (n > 0) std::memcpy(values.data(), base, n * sizeof(double));
      out.vectors.insert_or_assign(key, std::move(values));
    } else {
      BoundMatrix m;
      m.nrows = static_cast<std::size_t>(arr.shape(0));
      m.ncols = static_cast<std::size_t>(arr.shape(1));
      m.values.resize(m.nrows * m.ncols);
      if (flags & py::array::c_style) {
        if (!m.values.empty()) std::memcpy(m.values.data(), base, m.values.size() * sizeof(double));
      } else {
        const auto s0 = arr.strides(0);
        const auto s1 = arr.strides(1);
        for (std::size_t i = 0; i < m.nrows; ++i) {
          for (std::size_t j = 0; j < m.ncols; ++j) {
            m.values[i * m.ncols + j] = read_double(base + static_cast<py::ssize_t>(i) * s0 +
                                                    static_cast<py::ssize_t>(j) * s1);
          }
        }
      }
      out.matrices.insert_or_assign(key, std::move(m));
    }
  }
  return out;
}

BoundData effective_data(const ModelSpec& spec, const std::optional<py::dict>& data) {
  if (!data) return spec.data;
  return overlay(spec.data, parse_data_dict(*data));
}

CompiledModel compile_spec(const ModelSpec& spec, const std::optional<py::dict>& data,
                           EntryPoint entry) {
  return compile_model(spec, effective_data(spec, data), entry);
}

}  // namespace vorpex
