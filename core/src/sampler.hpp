// Multi-chain and batch drivers: run chains on the worker pool and constrain their draws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chain.hpp"
#include "graph.hpp"

namespace vorpex {

enum class SamplerKind { Nuts, Hmc };

struct SampleOptions {
  std::uint64_t chains = 4;
  std::uint64_t draws = 1000;
  std::uint64_t warmup = 500;
  double step_size = 0.0;
  std::uint64_t num_leapfrog_steps = 15;
  std::uint64_t max_tree_depth = 10;
  std::uint64_t seed = 42;
  std::uint64_t threads = 0;
  SamplerKind sampler = SamplerKind::Nuts;
  bool show_progress = true;
};

struct SampleResult {
  std::vector<std::vector<std::vector<double>>> samples;  // [chain][draw][coordinate], constrained
  std::vector<double> accept_rates;
  std::vector<double> step_sizes;
  std::vector<std::uint64_t> divergences;
  std::vector<std::string> param_names;
  std::vector<std::vector<DrawStats>> stats;  // [chain][draw]

  std::vector<double> mean() const;
  std::vector<double> std() const;
};

struct BatchModelResult {
  std::vector<std::vector<double>> samples;  // [draw][coordinate], constrained
  std::vector<std::string> param_names;
  double accept_rate = 0.0;
  std::uint64_t divergences = 0;
  std::vector<DrawStats> stats;

  std::vector<double> mean() const;
  std::vector<double> std() const;
};

SampleResult sample(Graph graph, const SampleOptions& options);
std::vector<BatchModelResult> batch_sample(std::vector<Graph> models, std::uint64_t draws,
                                           std::uint64_t warmup, std::uint64_t seed,
                                           bool show_progress);

}  // namespace vorpex
