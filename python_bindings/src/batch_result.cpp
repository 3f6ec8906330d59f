// The BatchResult class: one model's outcome in batch_sample(). Its record, methods and getters
// come with the batch entry point; until then it is registered as an empty final class.
#include <pybind11/pybind11.h>

#include "objects.hpp"

namespace vorpex {

namespace {
struct PyBatchResultPlaceholder {};
}  // namespace

void register_batch_result(py::module_& m) {
  py::class_<PyBatchResultPlaceholder>(m, "BatchResult", py::is_final(),
                                       "Result for a single model in a batch run.");
}

}  // namespace vorpex
