// The sample_prior_predictive() entry point: converts the arguments, delegates the draws to the
// model layer and hands the columns back as NumPy arrays in a dict.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <optional>
#include <vector>

#include "convert.hpp"
#include "numpy_data.hpp"
#include "objects.hpp"
#include "prior_predictive.hpp"

namespace vorpex {

namespace {

// A new C-ordered float64 array owning a copy of `values` (rows x cols entries, row-major).
py::array_t<double> owned_array(const std::vector<double>& values,
                                std::vector<py::ssize_t> shape) {
  py::array_t<double> arr(shape);
  if (!values.empty()) {
    std::memcpy(arr.mutable_data(), values.data(), values.size() * sizeof(double));
  }
  return arr;
}

py::dict sample_prior_predictive_py(py::handle model_spec, py::handle data, py::handle n_samples,
                                    py::handle seed) {
  PyModelSpec& spec = arg_instance<PyModelSpec>(model_spec, "model_spec", "ModelSpec");
  const std::optional<py::dict> call_data = arg_dict_or_none(data, "data");
  const std::size_t n = arg_size(n_samples, "n_samples");
  const std::uint64_t s = arg_u64(seed, "seed");

  SharedBorrow b(spec.borrow);
  const PriorPredictive draws =
      sample_prior_predictive(spec.spec, effective_data(spec.spec, call_data), n, s);

  // Coordinates first, then likelihoods; a later key equal to an earlier one replaces it.
  py::dict out;
  const auto rows = static_cast<py::ssize_t>(draws.n_samples);
  for (std::size_t i = 0; i < draws.param_names.size(); ++i) {
    out[py::str(draws.param_names[i])] = owned_array(draws.params[i], {rows});
  }
  for (std::size_t k = 0; k < draws.likelihood_names.size(); ++k) {
    out[py::str(draws.likelihood_names[k])] = owned_array(
        draws.observations[k], {rows, static_cast<py::ssize_t>(draws.n_obs[k])});
  }
  return out;
}

}  // namespace

void register_sample_prior_predictive(py::module_& m) {
  m.def("sample_prior_predictive", &sample_prior_predictive_py, py::arg("model_spec"),
        py::arg("data") = py::none(), py::arg("n_samples") = 500, py::arg("seed") = 42,
        R"doc(sample_prior_predictive(model_spec, data=None, n_samples=500, seed=42)
--

Draw samples from the **prior predictive** distribution.

Samples parameters from the model priors using their analytic distributions,
then runs a forward pass to generate predicted observations.
Use this to check whether your priors make sense before fitting.

Parameters
----------
model_spec : ModelSpec
    A compiled model (from `builder.build()`).  Must have at least one likelihood.
data : dict or None
    Data dict (same as `sample()`).  Needed for the predictor covariates (x values).
n_samples : int
    Number of prior predictive draws.
seed : int
    RNG seed.

Returns
-------
dict
    ``"<param_name>"`` → 1-D array of n_samples prior samples.
    ``"<likelihood_name>"`` → 2-D array (n_samples, n_obs) of predicted y.)doc");
}

}  // namespace vorpex
