// The BatchResult class: one model's chain from batch_sample(), with its means, standard
// deviations, draws, acceptance rate and divergence count.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "batch_record.hpp"
#include "diagnostics.hpp"
#include "errors.hpp"
#include "methods.hpp"
#include "objects.hpp"

namespace vorpex {

namespace {

// Names paired with values up to the shorter of the two; a repeated name keeps its first
// position and takes the later value, as dict assignment does.
py::dict named_values(const std::vector<std::string>& names, const std::vector<double>& values) {
  py::dict out;
  const std::size_t n = std::min(names.size(), values.size());
  for (std::size_t j = 0; j < n; ++j) out[py::str(names[j])] = py::float_(values[j]);
  return out;
}

py::dict mean(PyBatchResult& self) {
  SharedBorrow b(self.borrow);
  return named_values(self.result.param_names, self.result.mean());
}

py::dict std_dev(PyBatchResult& self) {
  SharedBorrow b(self.borrow);
  return named_values(self.result.param_names, self.result.std());
}

py::dict get_samples(PyBatchResult& self) {
  SharedBorrow b(self.borrow);
  const auto& draws = self.result.samples;
  py::dict out;
  for (std::size_t j = 0; j < self.result.param_names.size(); ++j) {
    py::array_t<double> column(static_cast<py::ssize_t>(draws.size()));
    double* dst = column.mutable_data();
    for (std::size_t k = 0; k < draws.size(); ++k) {
      if (j >= draws[k].size()) internal_error("a batch draw is shorter than its parameter list");
      dst[k] = draws[k][j];
    }
    out[py::str(self.result.param_names[j])] = std::move(column);
  }
  return out;
}

std::string repr(PyBatchResult& self) {
  SharedBorrow b(self.borrow);
  const std::vector<double> means = self.result.mean();
  const auto& names = self.result.param_names;
  std::string text = "BatchResult(";
  for (std::size_t j = 0; j < std::min(names.size(), means.size()); ++j) {
    if (j > 0) text += ", ";
    text += names[j] + "=" + format_fixed(means[j], 4);
  }
  return text + ")";
}

}  // namespace

py::object make_batch_result(BatchModelResult result) {
  return py::cast(PyBatchResult{std::move(result), {}});
}

void register_batch_result(py::module_& m) {
  py::class_<PyBatchResult> cls(m, "BatchResult", py::is_final(),
                                "Result for a single model in a batch run.");
  def_method(cls, "mean", &mean, "mean($self)\n--\n\n");
  def_method(cls, "std", &std_dev, "std($self)\n--\n\n");
  def_method(cls, "get_samples", &get_samples, "get_samples($self)\n--\n\n");
  cls.def_property_readonly("accept_rate", [](PyBatchResult& self) {
    SharedBorrow b(self.borrow);
    return self.result.accept_rate;
  });
  cls.def_property_readonly("divergences", [](PyBatchResult& self) {
    SharedBorrow b(self.borrow);
    return self.result.divergences;
  });
  cls.def("__repr__", &repr);
}

}  // namespace vorpex
