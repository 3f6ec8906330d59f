// Targets and checks shared by the NUTS and static HMC chain tests: small models, chain settings
// and expectations judged against batch-means Monte Carlo standard errors.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "chain.hpp"
#include "graph.hpp"

namespace vorpex::chain_testing {

// Independent normals with mean 0 and standard deviation sigma.
inline Graph normal_model(std::size_t d, double sigma = 1.0) {
  Graph g;
  g.add_vector_params("x", d);
  g.vector_normal_logp(0, d, 0.0, sigma);
  return g;
}

// x ~ N(0, 1), y | x ~ N(90 x, 100 sqrt(0.19)): y has standard deviation 100 and corr(x, y) = 0.9.
inline Graph correlated_model() {
  Graph g;
  const NodeId x = g.add_param_with_transform("x", Transform::identity());
  const NodeId y = g.add_param_with_transform("y", Transform::identity());
  const NodeId zero = g.add_constant(0.0);
  const NodeId one = g.add_constant(1.0);
  g.logp_terms.push_back(g.add_node(op::NormalLogp{x, zero, one}));
  const NodeId mu_y = g.add_node(op::Mul{g.add_constant(90.0), x});
  const NodeId sd_y = g.add_constant(100.0 * std::sqrt(0.19));
  g.logp_terms.push_back(g.add_node(op::NormalLogp{y, mu_y, sd_y}));
  return g;
}

// `steps` is the NUTS maximum tree depth, or the static HMC leapfrog count.
inline ChainConfig config(double step, std::uint64_t steps, std::uint64_t draws,
                          std::uint64_t warmup) {
  ChainConfig c;
  c.step_size = step;
  c.max_tree_depth = steps;
  c.draws = draws;
  c.warmup = warmup;
  return c;
}

struct Estimate {
  double value;
  double mcse;
};

// Mean of xs and its Monte Carlo standard error from `batches` consecutive batch means.
inline Estimate batch_means(const std::vector<double>& xs, std::size_t batches = 20) {
  const std::size_t len = xs.size() / batches;
  std::vector<double> means(batches, 0.0);
  for (std::size_t b = 0; b < batches; ++b) {
    for (std::size_t i = 0; i < len; ++i) means[b] += xs[b * len + i];
    means[b] /= static_cast<double>(len);
  }
  double mean = 0.0;
  for (double m : means) mean += m / static_cast<double>(batches);
  double ss = 0.0;
  for (double m : means) ss += (m - mean) * (m - mean);
  return {mean, std::sqrt(ss / static_cast<double>(batches - 1) / static_cast<double>(batches))};
}

// The chain's estimate of E[f] lies within 5 standard errors of `truth`, and that error is below
// `max_mcse`, so a sticky chain cannot pass by being uncertain.
template <class F>
void expect_expectation(const ChainResult& r, F f, double truth, double max_mcse,
                        const char* what) {
  std::vector<double> xs;
  for (const auto& d : r.draws) xs.push_back(f(d));
  const Estimate e = batch_means(xs);
  EXPECT_LT(e.mcse, max_mcse) << what;
  EXPECT_NEAR(e.value, truth, 5.0 * e.mcse) << what << " mcse " << e.mcse;
}

// Means and second moments of every coordinate of normal_model(d): 0 and 1.
inline void expect_standard_normal_moments(const ChainResult& r, std::size_t d,
                                           double max_variance_mcse) {
  for (std::size_t k = 0; k < d; ++k) {
    expect_expectation(r, [k](const std::vector<double>& x) { return x[k]; }, 0.0, 0.07, "mean");
    expect_expectation(r, [k](const std::vector<double>& x) { return x[k] * x[k]; }, 1.0,
                       max_variance_mcse, "variance");
  }
}

// Moments of correlated_model() in standardised coordinates: x and y / 100 have mean 0, unit
// variance and correlation 0.9.
inline void expect_correlated_moments(const ChainResult& r) {
  auto x = [](const std::vector<double>& v) { return v[0]; };
  auto y = [](const std::vector<double>& v) { return v[1] / 100.0; };
  expect_expectation(r, x, 0.0, 0.1, "mean x");
  expect_expectation(r, y, 0.0, 0.1, "mean y");
  expect_expectation(r, [&](const auto& v) { return x(v) * x(v); }, 1.0, 0.12, "var x");
  expect_expectation(r, [&](const auto& v) { return y(v) * y(v); }, 1.0, 0.12, "var y");
  expect_expectation(r, [&](const auto& v) { return x(v) * y(v); }, 0.9, 0.12, "cov");
}

}  // namespace vorpex::chain_testing
