// FitResult.posterior_predictive: replicated observations from posterior draws as a dict of
// NumPy arrays, one per likelihood.
#include <pybind11/numpy.h>

#include <algorithm>
#include <optional>

#include "convert.hpp"
#include "fit_record.hpp"
#include "posterior_predictive.hpp"

namespace vorpex {

py::object fit_posterior_predictive(const PyFitResult& fit, py::handle n_samples,
                                    py::handle seed) {
  std::optional<std::size_t> count;
  if (!n_samples.is_none()) count = arg_size(n_samples, "n_samples");
  const std::uint64_t s = arg_u64(seed, "seed");

  const std::vector<PredictiveArray> draws =
      posterior_predictive(fit.graph, fit.result.samples, fit.likelihood_names, count, s);
  py::dict out;
  for (const PredictiveArray& a : draws) {
    py::array_t<double> arr(
        {static_cast<py::ssize_t>(a.rows), static_cast<py::ssize_t>(a.cols)});
    std::copy(a.values.begin(), a.values.end(), arr.mutable_data());
    out[py::str(a.name)] = std::move(arr);  // a repeated name keeps the later array
  }
  return out;
}

}  // namespace vorpex
