// The native record behind FitResult, and the two methods implemented in their own files.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "borrow.hpp"
#include "graph.hpp"
#include "sampler.hpp"

namespace vorpex {

namespace py = pybind11;

// Everything a sample() run produced plus what is needed to revisit the model; never changed.
struct PyFitResult {
  SampleResult result;
  Graph graph;                                // copy of the compiled graph, taken before sampling
  std::vector<std::string> likelihood_names;  // declaration order
  SamplerKind sampler = SamplerKind::Nuts;    // which chain made the draws
  BorrowFlag borrow;
};

// FitResult.posterior_predictive(n_samples=None, seed=42) (posterior_predictive.cpp). Arguments
// arrive unconverted; the caller holds a shared borrow of `fit`.
py::object fit_posterior_predictive(const PyFitResult& fit, py::handle n_samples, py::handle seed);

// FitResult.to_arviz(include_ppc=False, ppc_samples=None, ppc_seed=42) (arviz_export.cpp).
py::object fit_to_arviz(const PyFitResult& fit, py::handle include_ppc, py::handle ppc_samples,
                        py::handle ppc_seed);

}  // namespace vorpex
