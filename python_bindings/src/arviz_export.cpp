// FitResult.to_arviz: the draws, the per-draw sampler statistics and optionally the posterior
// predictive draws as dicts of NumPy arrays, handed to arviz.from_dict.
#include <pybind11/numpy.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "convert.hpp"
#include "errors.hpp"
#include "fit_record.hpp"

namespace vorpex {

namespace {

// The leading number of a version string ("0.23.4" -> 0, "1.0.0rc1" -> 1); nullopt without one.
std::optional<long> major_version(py::handle module) {
  if (!py::hasattr(module, "__version__")) return std::nullopt;
  const py::object v = module.attr("__version__");
  if (!py::isinstance<py::str>(v)) return std::nullopt;
  const std::string text = v.cast<std::string>();
  long major = 0;
  std::size_t i = 0;
  for (; i < text.size() && i < 9 && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    major = major * 10 + (text[i] - '0');
  }
  if (i == 0) return std::nullopt;
  return major;
}

// A (C, D) array whose entry [c, d] is value(c, d).
template <class T, class ValueOf>
py::array_t<T> per_draw(std::size_t chains, std::size_t draws, ValueOf&& value) {
  py::array_t<T> a({static_cast<py::ssize_t>(chains), static_cast<py::ssize_t>(draws)});
  T* out = a.mutable_data();
  for (std::size_t c = 0; c < chains; ++c) {
    for (std::size_t d = 0; d < draws; ++d) *out++ = value(c, d);
  }
  return a;
}

}  // namespace

py::object fit_to_arviz(const PyFitResult& fit, py::handle include_ppc, py::handle ppc_samples,
                        py::handle ppc_seed) {
  const bool include = arg_bool(include_ppc, "include_ppc");
  if (!ppc_samples.is_none()) arg_size(ppc_samples, "ppc_samples");  // checked before the import
  arg_u64(ppc_seed, "ppc_seed");

  py::module_ arviz;
  try {
    arviz = py::module_::import("arviz");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like pass through
    throw py::value_error("ArviZ is not installed. Install it with: pip install arviz");
  }
  const py::module_ numpy = py::module_::import("numpy");

  const SampleResult& r = fit.result;
  const std::size_t chains = r.samples.size();
  const std::size_t draws = chains == 0 ? 0 : r.samples[0].size();
  if (r.stats.size() != chains || r.step_sizes.size() != chains) {
    internal_error("a fit of " + std::to_string(chains) + " chains has " +
                   std::to_string(r.stats.size()) + " sets of statistics and " +
                   std::to_string(r.step_sizes.size()) + " step sizes");
  }
  for (std::size_t c = 0; c < chains; ++c) {
    if (r.samples[c].size() != draws || r.stats[c].size() != draws) {
      internal_error("chain " + std::to_string(c) + " has " +
                     std::to_string(r.samples[c].size()) + " draws and " +
                     std::to_string(r.stats[c].size()) + " statistics; chain 0 has " +
                     std::to_string(draws) + " draws");
    }
  }

  // Posterior: one (C, D) array per coordinate, as get_samples_2d() gives.
  py::dict posterior;
  for (std::size_t j = 0; j < r.param_names.size(); ++j) {
    posterior[py::str(r.param_names[j])] =
        per_draw<double>(chains, draws, [&](std::size_t c, std::size_t d) {
          if (r.samples[c][d].size() <= j) internal_error("a stored draw lacks a coordinate");
          return r.samples[c][d][j];
        });
  }

  // Sampler statistics under ArviZ's names, from what each chain recorded per draw. The tree
  // depth belongs to NUTS only: the static HMC chain builds no tree.
  auto stat = [&](std::size_t c, std::size_t d) -> const DrawStats& { return r.stats[c][d]; };
  py::dict sample_stats;
  sample_stats["diverging"] = numpy.attr("array")(per_draw<bool>(
      chains, draws, [&](std::size_t c, std::size_t d) { return stat(c, d).divergent; }));
  sample_stats["step_size"] = per_draw<double>(
      chains, draws, [&](std::size_t c, std::size_t) { return r.step_sizes[c]; });
  if (fit.sampler == SamplerKind::Nuts) {
    sample_stats["tree_depth"] = per_draw<std::int64_t>(
        chains, draws, [&](std::size_t c, std::size_t d) { return stat(c, d).tree_depth; });
  }
  sample_stats["n_steps"] = per_draw<std::int64_t>(
      chains, draws, [&](std::size_t c, std::size_t d) { return stat(c, d).n_steps; });
  sample_stats["acceptance_rate"] = per_draw<double>(
      chains, draws, [&](std::size_t c, std::size_t d) { return stat(c, d).accept_stat; });
  sample_stats["energy"] = per_draw<double>(
      chains, draws, [&](std::size_t c, std::size_t d) { return stat(c, d).energy; });
  sample_stats["lp"] = per_draw<double>(
      chains, draws, [&](std::size_t c, std::size_t d) { return stat(c, d).lp; });

  py::dict groups;
  groups["posterior"] = posterior;
  groups["sample_stats"] = sample_stats;
  if (include && !fit.likelihood_names.empty()) {
    // One chain of n_used draws: the predictive draws are a pooled subsample, not per chain.
    const auto ppc = fit_posterior_predictive(fit, ppc_samples, ppc_seed).cast<py::dict>();
    py::dict predictive;
    for (const auto& [name, array] : ppc) {
      predictive[name] = numpy.attr("expand_dims")(array, 0);
    }
    groups["posterior_predictive"] = predictive;
  }

  // ArviZ 1.x takes the groups as one dict; earlier versions take one keyword per group.
  const std::optional<long> major = major_version(arviz);
  if (major && *major >= 1) return arviz.attr("from_dict")(groups);
  return arviz.attr("from_dict")(**groups);
}

}  // namespace vorpex
