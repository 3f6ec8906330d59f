// The sample() entry point: converts its arguments, compiles the model and runs the chains with
// the interpreter lock released.
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "fit_record.hpp"
#include "numpy_data.hpp"
#include "objects.hpp"
#include "sampler.hpp"

namespace vorpex {

namespace {

// The largest worker count sample() passes to the pool.
constexpr std::uint64_t kMaxThreads = 1024;

// Only the exact spellings are accepted, so a typo never silently picks a sampler.
std::optional<SamplerKind> sampler_kind(const std::string& name) {
  if (name == "nuts" || name == "NUTS") return SamplerKind::Nuts;
  if (name == "hmc" || name == "HMC") return SamplerKind::Hmc;
  return std::nullopt;
}

py::object sample_entry(py::handle model_spec, py::handle data, py::handle chains,
                        py::handle draws, py::handle warmup, py::handle seed, py::handle threads,
                        py::handle step_size, py::handle sampler, py::handle max_tree_depth,
                        py::handle num_leapfrog_steps, py::handle show_progress) {
  PyModelSpec& spec = arg_instance<PyModelSpec>(model_spec, "model_spec", "ModelSpec");
  // Held until the call returns: argument conversions below may run Python code.
  SharedBorrow borrow(spec.borrow);

  const std::optional<py::dict> call_data = arg_dict_or_none(data, "data");
  SampleOptions options;
  options.chains = arg_size(chains, "chains");
  options.draws = arg_size(draws, "draws");
  options.warmup = arg_size(warmup, "warmup");
  options.seed = arg_u64(seed, "seed");
  options.threads = arg_size(threads, "threads");
  options.step_size = arg_float(step_size, "step_size");
  const std::string sampler_name = arg_string(sampler, "sampler");
  options.max_tree_depth = arg_size(max_tree_depth, "max_tree_depth");
  options.num_leapfrog_steps = arg_size(num_leapfrog_steps, "num_leapfrog_steps");
  options.show_progress = arg_bool(show_progress, "show_progress");

  const BoundData effective = effective_data(spec.spec, call_data);
  require_data(spec.spec, effective);
  CompiledModel compiled = compile_model(spec.spec, effective, EntryPoint::Sample);

  // Checked only after compilation, so a model error is reported before a sampler-name error.
  const std::optional<SamplerKind> kind = sampler_kind(sampler_name);
  if (!kind) {
    throw UserError("Unknown sampler '" + sampler_name + "'. Use 'nuts' or 'hmc'.");
  }
  options.sampler = *kind;
  // The pool keeps this many workers for the rest of the process, so an unbounded count would
  // try to start that many threads. Checked after the model and sampler checks, which keep
  // their priority.
  if (options.threads > kMaxThreads) {
    throw UserError("threads must be at most " + std::to_string(kMaxThreads) + ", got " +
                    std::to_string(options.threads));
  }
  // An infinite initial step size diverges on every transition and leaves the chains stuck at
  // their start; 0, negative and NaN values keep their meaning (search for a step size).
  if (std::isinf(options.step_size) && options.step_size > 0) {
    throw UserError("step_size must be finite, got inf");
  }

  PyFitResult fit;
  fit.graph = compiled.graph;  // the result keeps the graph that was sampled
  fit.sampler = *kind;
  fit.likelihood_names.reserve(spec.spec.likelihoods.size());
  for (const LikelihoodSpec& lik : spec.spec.likelihoods) fit.likelihood_names.push_back(lik.name);

  {
    // Nothing below touches a Python object until the lock is taken back.
    py::gil_scoped_release release;
    fit.result = sample(std::move(compiled.graph), options);
  }
  return py::cast(std::move(fit));
}

}  // namespace

void register_sample(py::module_& m) {
  m.def("sample", &sample_entry, py::arg("model_spec"), py::arg("data") = py::none(),
        py::arg("chains") = 4, py::arg("draws") = 1000, py::arg("warmup") = 500,
        py::arg("seed") = 42, py::arg("threads") = 0, py::arg("step_size") = 0.0,
        py::arg("sampler") = "nuts", py::arg("max_tree_depth") = 10,
        py::arg("num_leapfrog_steps") = 15, py::arg("show_progress") = true,
        "sample(model_spec, data=None, chains=4, draws=1000, warmup=500, seed=42, threads=0, "
        "step_size=0.0, sampler=\"nuts\", max_tree_depth=10, num_leapfrog_steps=15, "
        "show_progress=True)\n--\n\n");
}

}  // namespace vorpex
