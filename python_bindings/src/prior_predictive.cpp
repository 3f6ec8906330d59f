// The sample_prior_predictive() entry point; registered by register_sample_prior_predictive
// (not yet built).
#include <pybind11/pybind11.h>

#include "objects.hpp"

namespace vorpex {

void register_sample_prior_predictive(py::module_&) {}

}  // namespace vorpex
