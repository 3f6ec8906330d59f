// Prior predictive draws: parameters drawn directly from their priors, pushed through the compiled
// model, and observations simulated around each likelihood's mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compile.hpp"
#include "data.hpp"
#include "random.hpp"
#include "spec.hpp"

namespace vorpex {

struct PriorPredictive {
  std::size_t n_samples = 0;
  std::vector<std::string> param_names;           // one per coordinate, in coordinate order
  std::vector<std::vector<double>> params;        // [coordinate][draw], constrained scale
  std::vector<std::string> likelihood_names;      // declaration order
  std::vector<std::size_t> n_obs;                 // observation count per likelihood
  std::vector<std::vector<double>> observations;  // [likelihood], n_samples x n_obs, row-major
};

// Hyperparameters of a normal or half-normal prior as numbers, read from fixed values or from
// parameters drawn earlier in the same draw; `sigma_from` names the parameter sigma came from
// (null when fixed), for the message when it is unusable.
struct ResolvedScale {
  double mu = 0.0;
  double sigma = 1.0;
  const std::string* sigma_from = nullptr;
};

// One value of a scalar prior (a vector prior draws one coordinate). Normal and half-normal read
// their hyperparameters from `hypers`; the other priors carry theirs. Consumes `rng` as follows:
// one standard normal (normal, half-normal, each vector coordinate), a standard normal and then a
// chi-square variate (Student-t; for nu = 1 a second standard normal squared), one 64-bit word
// (uniform, Bernoulli), one Poisson, gamma or beta variate. Parameters that admit no draw (a
// non-positive shape, an empty or unbounded uniform range, an infinite scale) throw UserError
// naming the prior, the argument and the value.
double draw_prior_value(const PriorSpec& prior, const ResolvedScale& hypers, Rng& rng);

// Draws position vectors from the priors of a compiled model. Built once per call; draw() then
// allocates nothing.
class PriorDrawer {
 public:
  // `model` must be the compilation of `priors` (its PriorBlock list parallel to them).
  PriorDrawer(const std::vector<PriorSpec>& priors, const CompiledModel& model);

  // Fills u (n_params entries, in the graph's coordinate order) with one draw, prior by prior
  // in declaration order; a prior widened into a block by @ is drawn coordinate by coordinate.
  void draw(Rng& rng, std::vector<double>& u);

 private:
  struct Step {
    const PriorSpec* prior;
    PriorBlock block;
    // For normal and half-normal priors: the prior whose value a FromParam mu / sigma reads,
    // or npos when the hyperparameter is fixed.
    std::size_t mu_source;
    std::size_t sigma_source;
  };
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  const std::vector<PriorSpec>& priors_;
  const Graph& graph_;
  std::vector<Step> steps_;
  std::vector<double> values_;  // per prior: the constrained value drawn in the current draw
};

// Compiles the model over `data` (the model spec's bound data already overlaid with the call's) and
// makes n_samples draws with one generator seeded from `seed`: per draw the priors in
// declaration order, then each likelihood's noise, observation by observation. A likelihood
// sigma that evaluates to an infinite value throws UserError naming the likelihood and the draw.
PriorPredictive sample_prior_predictive(const std::vector<PriorSpec>& priors,
                                        const std::vector<LikelihoodSpec>& likelihoods,
                                        const BoundData& data, std::size_t n_samples,
                                        std::uint64_t seed);

inline PriorPredictive sample_prior_predictive(const ModelSpec& spec, const BoundData& data,
                                               std::size_t n_samples, std::uint64_t seed) {
  return sample_prior_predictive(spec.priors, spec.likelihoods, data, n_samples, seed);
}

}  // namespace vorpex
