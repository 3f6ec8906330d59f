// The FitResult class: Python views of a sample() run (draws, moments, chain statistics,
// diagnostics and their table) and its repr().
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "diagnostics.hpp"
#include "fit_record.hpp"
#include "methods.hpp"
#include "objects.hpp"

namespace vorpex {

namespace {

std::size_t n_chains(const SampleResult& r) { return r.samples.size(); }
// Every chain holds the same number of draws; a run without chains has none.
std::size_t n_draws(const SampleResult& r) { return r.samples.empty() ? 0 : r.samples[0].size(); }

// A dict keyed by parameter name in coordinate order, with `value(j)` for coordinate j. Assigning
// by key keeps the first insertion position if two coordinates ever share a name.
template <class ValueOf>
py::dict by_name(const SampleResult& r, ValueOf&& value) {
  py::dict out;
  for (std::size_t j = 0; j < r.param_names.size(); ++j) out[py::str(r.param_names[j])] = value(j);
  return out;
}

// The diagnostics of the run. compute_diagnostics needs a first chain to size its arrays, so a
// run without chains is summarised as one chain of no draws (every statistic NaN, std 0, as for
// chains without draws) and then reported with its true chain count.
DiagnosticsReport diagnostics_of(const SampleResult& r) {
  if (!r.samples.empty() || r.param_names.empty()) return compute_diagnostics(r);
  DiagnosticsReport report = compute_diagnostics(
      std::vector<std::vector<std::vector<double>>>(1), r.param_names, r.accept_rates, 0);
  report.n_chains = 0;
  report.n_draws = 0;
  return report;
}

// One new array per coordinate holding its draws chain by chain, in `shape` (C*D or C x D). The
// draws are walked once, each written into every coordinate's array, rather than once per
// coordinate: every draw is its own small vector, so that is what keeps the copy cache-friendly.
py::dict draws_by_name(const SampleResult& r, const std::vector<py::ssize_t>& shape) {
  const std::size_t p = r.param_names.size();
  std::vector<py::array_t<double>> arrays;
  std::vector<double*> out;
  arrays.reserve(p);
  out.reserve(p);
  for (std::size_t j = 0; j < p; ++j) {
    arrays.emplace_back(shape);
    out.push_back(arrays.back().mutable_data());
  }
  std::size_t i = 0;
  for (const auto& chain : r.samples) {
    for (const auto& draw : chain) {
      for (std::size_t j = 0; j < p; ++j) out[j][i] = draw[j];
      ++i;
    }
  }
  return by_name(r, [&](std::size_t j) { return arrays[j]; });
}

py::object get_samples(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  const SampleResult& r = self.result;
  return draws_by_name(r, {static_cast<py::ssize_t>(n_chains(r) * n_draws(r))});
}

py::object get_samples_2d(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  const SampleResult& r = self.result;
  return draws_by_name(
      r, {static_cast<py::ssize_t>(n_chains(r)), static_cast<py::ssize_t>(n_draws(r))});
}

py::object mean(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  const std::vector<double> m = self.result.mean();
  return by_name(self.result, [&](std::size_t j) { return py::float_(m[j]); });
}

py::object std_dev(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  const std::vector<double> s = self.result.std();
  return by_name(self.result, [&](std::size_t j) { return py::float_(s[j]); });
}

template <class T>
py::list to_list(const std::vector<T>& values) {
  py::list out;
  for (const T& v : values) out.append(v);
  return out;
}

py::object accept_rates(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  return to_list(self.result.accept_rates);
}

py::object step_sizes(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  return to_list(self.result.step_sizes);
}

py::object divergences(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  return to_list(self.result.divergences);
}

py::object summary(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  return py::str(diagnostics_of(self.result).to_table());
}

py::object diagnostics(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  const DiagnosticsReport report = diagnostics_of(self.result);
  py::list out;
  for (const ParamDiagnostics& p : report.params) {
    py::dict d;
    d["name"] = py::str(p.name);
    d["mean"] = p.mean;
    d["std"] = p.std;
    d["hdi_3%"] = p.hdi_3;
    d["hdi_97%"] = p.hdi_97;
    d["ess_bulk"] = p.ess_bulk;
    d["ess_tail"] = p.ess_tail;
    d["r_hat"] = p.r_hat;
    d["mcse_mean"] = p.mcse_mean;
    out.append(std::move(d));
  }
  return out;
}

py::object posterior_predictive(PyFitResult& self, py::handle n_samples, py::handle seed) {
  SharedBorrow b(self.borrow);
  return fit_posterior_predictive(self, n_samples, seed);
}

py::object to_arviz(PyFitResult& self, py::handle include_ppc, py::handle ppc_samples,
                    py::handle ppc_seed) {
  SharedBorrow b(self.borrow);
  return fit_to_arviz(self, include_ppc, ppc_samples, ppc_seed);
}

py::object repr(PyFitResult& self) {
  SharedBorrow b(self.borrow);
  const SampleResult& r = self.result;
  const std::vector<double> m = r.mean();
  const std::vector<double> s = r.std();
  std::string text = "vorpex FitResult (" + std::to_string(n_chains(r)) + " chains \u00d7 " +
                     std::to_string(n_draws(r)) + " draws)\n";
  for (std::size_t j = 0; j < r.param_names.size(); ++j) {
    if (j > 0) text += '\n';
    text += "  " + r.param_names[j] + ": mean=" + format_fixed(m[j], 4) +
            ", std=" + format_fixed(s[j], 4);
  }
  return py::str(text);
}

}  // namespace

void register_fit_result(py::module_& m) {
  py::class_<PyFitResult> cls(m, "FitResult", py::is_final(), "");
  cls.def("__repr__", &repr);
  def_method(cls, "get_samples", &get_samples, "get_samples($self)\n--\n\n");
  def_method(cls, "get_samples_2d", &get_samples_2d, "get_samples_2d($self)\n--\n\n");
  def_method(cls, "mean", &mean, "mean($self)\n--\n\n");
  def_method(cls, "std", &std_dev, "std($self)\n--\n\n");
  def_method(cls, "accept_rates", &accept_rates, "accept_rates($self)\n--\n\n");
  def_method(cls, "summary", &summary,
             "summary($self)\n--\n\n"
             "Print a formatted diagnostics table (R-hat, ESS, MCSE, HDI, divergences).");
  def_method(cls, "diagnostics", &diagnostics,
             "diagnostics($self)\n--\n\nReturn per-parameter diagnostics as a list of dicts.");
  def_method(cls, "step_sizes", &step_sizes,
             "step_sizes($self)\n--\n\nPer-chain adapted step sizes.");
  def_method(cls, "divergences", &divergences,
             "divergences($self)\n--\n\nPer-chain divergence counts.");
  def_method(cls, "posterior_predictive", &posterior_predictive, py::arg("n_samples") = py::none(),
             py::arg("seed") = 42,
             "posterior_predictive($self, n_samples=None, seed=42)\n"
             "--\n"
             "\n"
             "Draw samples from the posterior predictive distribution.\n"
             "\n"
             "For each posterior draw (or a random subsample of `n_samples`), runs a\n"
             "forward pass through the model graph and samples\n"
             "    \u0177 ~ Normal(mu(params), sigma(params))\n"
             "for every observation.\n"
             "\n"
             "Parameters\n"
             "----------\n"
             "n_samples : int or None\n"
             "    How many posterior draws to use.  None = use all (chains \u00d7 draws).\n"
             "seed : int\n"
             "    RNG seed for the noise draws.\n"
             "\n"
             "Returns\n"
             "-------\n"
             "dict[str, ndarray(n_samples, n_obs)]\n"
             "    One key per likelihood (the name passed to normal_likelihood).");
  def_method(cls, "to_arviz", &to_arviz, py::arg("include_ppc") = false,
             py::arg("ppc_samples") = py::none(), py::arg("ppc_seed") = 42,
             "to_arviz($self, include_ppc=False, ppc_samples=None, ppc_seed=42)\n"
             "--\n"
             "\n"
             "Convert to an ArviZ InferenceData object.\n"
             "\n"
             "Requires ArviZ: `pip install arviz`\n"
             "\n"
             "Returns an `arviz.InferenceData` with:\n"
             "  - `posterior`             \u2014 (n_chains \u00d7 n_draws) arrays for every parameter\n"
             "  - `sample_stats`          \u2014 per draw: `diverging` (bool), `step_size`,\n"
             "                              `tree_depth` (NUTS only), `n_steps`,\n"
             "                              `acceptance_rate`, `energy` and `lp`\n"
             "  - `posterior_predictive`  \u2014 \u0177 samples (only when include_ppc=True)\n"
             "\n"
             "Example\n"
             "-------\n"
             "    idata = fit.to_arviz()\n"
             "    az.plot_trace(idata)\n"
             "    az.plot_pair(idata, divergences=True)\n"
             "    idata = fit.to_arviz(include_ppc=True)\n"
             "    az.plot_ppc(idata)");
}

}  // namespace vorpex
