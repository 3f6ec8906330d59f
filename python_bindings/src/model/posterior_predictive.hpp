// Posterior predictive draws: replicated observations of every normal likelihood at stored
// posterior draws, and the choice of which draws to use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "graph.hpp"
#include "predictive.hpp"

namespace vorpex {

// Stored draws are mapped back with `unconstrain` (predictive.hpp) with its Log floor, so draws at
// the edge of a transform's range map to finite coordinates.

// One stored draw: samples[chain][draw].
struct DrawRef {
  std::size_t chain = 0;
  std::size_t draw = 0;
  bool operator==(const DrawRef&) const = default;
};

// The draws to use, in chain-major order. `draws_per_chain[c]` is the number of stored draws of
// chain c; T is their sum. Without a count, or with a count >= T, every draw is used. Otherwise
// n distinct draws are chosen uniformly at random from all chains with a generator seeded from
// `seed` (its own stream, apart from the noise generator of the same seed).
std::vector<DrawRef> select_draws(const std::vector<std::size_t>& draws_per_chain,
                                  std::optional<std::size_t> n_samples, std::uint64_t seed);

// Replicated observations of one likelihood: `rows` used draws by `cols` observations,
// row-major.
struct PredictiveArray {
  std::string name;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> values;
};

// For every used draw (chain-major), maps the stored constrained draw back to the unconstrained
// scale, evaluates the graph there, and for each normal likelihood in node order and each of its
// observations draws mu_i + sigma * z, z standard normal from one generator seeded with `seed`
// (consumed draw by draw, then likelihood by likelihood, then observation by observation).
// sigma is |value| floored at 1e-12 (NaN gives 1e-12). `likelihood_names[k]` names the k-th
// normal-observation node. Throws UserError naming the likelihood when its sigma evaluates to an
// infinite value; InternalError when the names, draws and graph do not fit together.
std::vector<PredictiveArray> posterior_predictive(
    const Graph& graph, const std::vector<std::vector<std::vector<double>>>& samples,
    const std::vector<std::string>& likelihood_names, std::optional<std::size_t> n_samples,
    std::uint64_t seed);

}  // namespace vorpex
