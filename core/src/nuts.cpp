// No-U-Turn Sampler: tree builder and chain (work in progress).
#include "nuts.hpp"

#include "errors.hpp"

namespace vorpex::nuts {

TreeWorkspace::TreeWorkspace(std::size_t d, std::uint64_t max_depth) {
  levels.reserve(static_cast<std::size_t>(max_depth));
  for (std::uint64_t k = 0; k < max_depth; ++k) levels.emplace_back(d);
}

double kinetic_energy(const std::vector<double>&, const std::vector<double>&) { return 0.0; }

void leapfrog(const Graph&, Evaluator&, const PhasePoint&, const std::vector<double>&, double,
              std::size_t, PhasePoint&) {
  internal_error("nuts::leapfrog not implemented yet");
}

PhasePoint leapfrog(const Graph&, Evaluator&, const PhasePoint&, const std::vector<double>&,
                    double, std::size_t) {
  internal_error("nuts::leapfrog not implemented yet");
}

void build_subtree(const Graph&, Evaluator&, const PhasePoint&, const std::vector<double>&, double,
                   double, std::uint64_t, std::size_t, Rng&, TreeWorkspace&, Subtree&) {
  internal_error("nuts::build_subtree not implemented yet");
}

Subtree build_subtree(const Graph&, Evaluator&, const PhasePoint&, const std::vector<double>&,
                      double, double, std::uint64_t, std::size_t, Rng&) {
  internal_error("nuts::build_subtree not implemented yet");
}

ChainResult run_chain(const Graph&, const ChainConfig&, Rng&,
                      const std::optional<std::vector<double>>&, ProgressState*) {
  internal_error("nuts::run_chain not implemented yet");
}

}  // namespace vorpex::nuts
