// The FitResult class: the outcome of sample(). Its record and methods come with the sampling
// entry point; until then it is registered as an empty final class.
#include <pybind11/pybind11.h>

#include "objects.hpp"

namespace vorpex {

namespace {
struct PyFitResultPlaceholder {};
}  // namespace

void register_fit_result(py::module_& m) {
  py::class_<PyFitResultPlaceholder>(m, "FitResult", py::is_final(), "");
}

}  // namespace vorpex
