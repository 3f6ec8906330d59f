// Reading a Python dict of float64 NumPy arrays into BoundData (copies, C or Fortran order), and
// the effective data of an entry point.
#pragma once

#include <pybind11/pybind11.h>

#include "compile.hpp"
#include "data.hpp"
#include "spec.hpp"

namespace vorpex {

namespace py = pybind11;

// Keys must be str; values 1-D or 2-D contiguous float64 arrays. Raises TypeError otherwise.
BoundData parse_data_dict(const py::dict& dict);

// The model spec's bound data overlaid with the call's dict (as returned by arg_dict_or_none).
BoundData effective_data(const ModelSpec& spec, const std::optional<py::dict>& data);

// Compiles a spec for an entry point: effective data, then the compilation sequence. Callers
// hold a shared borrow of the model spec for the whole call; sample() runs require_data() itself
// between the two steps, so it calls effective_data() and compile_model() separately.
CompiledModel compile_spec(const ModelSpec& spec, const std::optional<py::dict>& data,
                           EntryPoint entry);

}  // namespace vorpex
