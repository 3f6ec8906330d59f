// No-U-Turn Sampler: phase-space points, the leapfrog integrator, the recursive tree builder and
// the chain with warm-up adaptation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "autodiff.hpp"
#include "chain.hpp"
#include "graph.hpp"
#include "progress.hpp"
#include "random.hpp"

namespace vorpex::nuts {

// One state of the Hamiltonian system. Copy-assigning between points of the same length reuses
// the existing storage, so the tree never allocates once its points exist.
struct PhasePoint {
  std::vector<double> position;
  std::vector<double> momentum;
  std::vector<double> grad;  // gradient of the log density at `position`
  double logp = 0.0;

  PhasePoint() = default;
  explicit PhasePoint(std::size_t d) : position(d, 0.0), momentum(d, 0.0), grad(d, 0.0) {}
};

// Result of one call of build_subtree.
struct Subtree {
  PhasePoint minus;     // end reached by stepping with a negative step
  PhasePoint plus;      // end reached by stepping with a positive step
  PhasePoint proposal;  // candidate sample inside the subtree
  double log_weight = 0.0;  // log sum over the leaves of exp(H0 - H); -inf when all diverged
  // Inside the chain the summed weight is kept as exp(log_weight) * weight_scale, with the
  // factor in [1, 2^depth], so that merging two halves needs no logarithm. build_subtree folds
  // it into log_weight and returns weight_scale = 1.
  double weight_scale = 1.0;
  std::uint64_t depth = 0;
  std::uint64_t n_leapfrog = 0;
  bool turning = false;
  bool diverged = false;

  Subtree() = default;
  explicit Subtree(std::size_t d) : minus(d), plus(d), proposal(d) {}
};

// Scratch subtrees for the second halves of the recursion, one per depth level: the second half
// of a depth-k subtree lives in level k-1, and at most one call per level is active at a time.
struct TreeWorkspace {
  std::vector<Subtree> levels;

  TreeWorkspace() = default;
  TreeWorkspace(std::size_t d, std::uint64_t max_depth);
};

// Kinetic energy sum_i p_i^2 m_i / 2 over the coordinates present in both vectors.
double kinetic_energy(const std::vector<double>& momentum, const std::vector<double>& inv_metric);

// One leapfrog step of signed size `step` from `start` into `out` (which must not be `start`);
// one density evaluation. InternalError when a vector is shorter than d.
void leapfrog(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
              const std::vector<double>& inv_metric, double step, std::size_t d, PhasePoint& out);
PhasePoint leapfrog(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
                    const std::vector<double>& inv_metric, double step, std::size_t d);

// Doubles the trajectory from `start` (an end of the current trajectory, not part of the new
// subtree) with 2^depth steps of signed size `step`, writing the result into `out`. `out` must
// not share storage with `start` or with workspace levels below `depth`.
void build_subtree(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
                   const std::vector<double>& inv_metric, double step, double h0,
                   std::uint64_t depth, std::size_t d, Rng& rng, TreeWorkspace& workspace,
                   Subtree& out);
// Convenience form with its own workspace (allocates; for tests and one-off calls).
Subtree build_subtree(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
                      const std::vector<double>& inv_metric, double step, double h0,
                      std::uint64_t depth, std::size_t d, Rng& rng);

// Runs one NUTS chain: step-size search when config.step_size <= 0 or NaN, warm-up with step
// size and diagonal metric adaptation, then config.draws recorded iterations.
ChainResult run_chain(const Graph& graph, const ChainConfig& config, Rng& rng,
                      const std::optional<std::vector<double>>& initial, ProgressState* progress);

}  // namespace vorpex::nuts
