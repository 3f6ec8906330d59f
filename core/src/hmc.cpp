// Static Hamiltonian Monte Carlo chain (work in progress).
#include "hmc.hpp"

#include "errors.hpp"

namespace vorpex::hmc {

double one_step_log_ratio(const Graph&, Evaluator&, const std::vector<double>&,
                          const std::vector<double>&, double, double, double,
                          const std::vector<double>&, const std::vector<double>&, std::size_t) {
  internal_error("hmc::one_step_log_ratio not implemented yet");
}

double find_initial_step_size(const Graph&, Evaluator&, const std::vector<double>&,
                              const std::vector<double>&, const std::vector<double>&, std::size_t,
                              Rng&) {
  internal_error("hmc::find_initial_step_size not implemented yet");
}

ChainResult run_chain(const Graph&, const ChainConfig&, Rng&,
                      const std::optional<std::vector<double>>&, ProgressState*) {
  internal_error("hmc::run_chain not implemented yet");
}

}  // namespace vorpex::hmc
