// Settings and output of one Markov chain, shared by the NUTS and static HMC chains.
#pragma once

#include <cstdint>
#include <vector>

namespace vorpex {

struct ChainConfig {
  double step_size = 0.0;            // <= 0 or NaN: initial step-size search
  std::uint64_t max_tree_depth = 10; // NUTS doublings; static HMC reads it as num_leapfrog_steps
  std::uint64_t draws = 1000;
  std::uint64_t warmup = 500;
};

// What one recorded (post-warm-up) iteration did. The static HMC chain leaves tree_depth at 0.
struct DrawStats {
  bool divergent = false;
  std::uint32_t tree_depth = 0;
  std::uint32_t n_steps = 0;     // leapfrog steps taken
  double accept_stat = 0.0;      // acceptance statistic of the transition
  double energy = 0.0;           // Hamiltonian at the chosen point
  double lp = 0.0;               // log density at the chosen point
};

struct ChainResult {
  std::vector<std::vector<double>> draws;  // unconstrained positions, one per sampling iteration
  double accept_rate = 0.0;                // mean acceptance statistic, warm-up included
  double step_size = 0.0;                  // step size used for sampling
  std::uint64_t divergences = 0;           // warm-up included
  std::vector<DrawStats> stats;            // one per recorded draw
};

}  // namespace vorpex
