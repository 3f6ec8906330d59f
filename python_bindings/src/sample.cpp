// The sample() entry point; registered by register_sample (not yet built).
#include <pybind11/pybind11.h>

#include "objects.hpp"

namespace vorpex {

void register_sample(py::module_&) {}

}  // namespace vorpex
