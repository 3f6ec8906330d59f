// Static Hamiltonian Monte Carlo: fixed number of leapfrog steps and a Metropolis test, with
// step-size and diagonal metric adaptation during warm-up.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "autodiff.hpp"
#include "chain.hpp"
#include "graph.hpp"
#include "progress.hpp"
#include "random.hpp"

namespace vorpex::hmc {

// Log acceptance ratio H(start) - H(end) of one leapfrog step of size `step` from (position,
// momentum) with log density `logp`, kinetic energy `kinetic` and gradient `grad` there.
double one_step_log_ratio(const Graph& graph, Evaluator& evaluator,
                          const std::vector<double>& position, const std::vector<double>& momentum,
                          double step, double logp, double kinetic,
                          const std::vector<double>& grad, const std::vector<double>& inv_metric,
                          std::size_t d);

// Initial step size: doubles or halves from 1.0 until the one-step acceptance ratio crosses 1/2
// (at most 50 attempts), clamped to [1e-10, 1000]. Draws d normal variates for the momentum.
double find_initial_step_size(const Graph& graph, Evaluator& evaluator,
                              const std::vector<double>& position,
                              const std::vector<double>& inv_metric,
                              const std::vector<double>& momentum_sd, std::size_t d, Rng& rng);

// Runs one static HMC chain; config.max_tree_depth is read as the number of leapfrog steps.
ChainResult run_chain(const Graph& graph, const ChainConfig& config, Rng& rng,
                      const std::optional<std::vector<double>>& initial, ProgressState* progress);

}  // namespace vorpex::hmc
