// Tests of the static HMC chain and the initial step-size search: the one-step ratio, search
// edge cases, chain edge cases, divergence handling and statistical recovery.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "autodiff.hpp"
#include "chain_testing.hpp"
#include "errors.hpp"
#include "graph.hpp"
#include "hmc.hpp"
#include "progress.hpp"
#include "random.hpp"

namespace vorpex {
namespace {

using chain_testing::config;
using chain_testing::correlated_model;
using chain_testing::expect_correlated_moments;
using chain_testing::expect_standard_normal_moments;
using chain_testing::normal_model;

// log x - x on the raw coordinate (a gamma(2, 1) kernel): NaN for x < 0.
Graph positive_model() {
  Graph g;
  const NodeId x = g.add_param_with_transform("x", Transform::identity());
  g.logp_terms.push_back(g.add_node(op::Log{x}));
  g.logp_terms.push_back(g.add_node(op::Neg{x}));
  return g;
}

Graph empty_model() { return Graph{}; }

double kinetic(const std::vector<double>& p, const std::vector<double>& m) {
  double k = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) k += 0.5 * p[i] * p[i] * m[i];
  return k;
}

TEST(HmcSearch, OneStepLogRatioByHand) {
  const Graph g = normal_model(1);
  Evaluator ev(g);
  const std::vector<double> m = {2.0};
  const std::vector<double> q = {0.3};
  const std::vector<double> p = {0.7};
  const double logp = -0.5 * 0.09 - 0.9189385332046727;
  const double r =
      hmc::one_step_log_ratio(g, ev, q, p, 0.1, logp, kinetic(p, m), {-0.3}, m, 1);
  const double ph = 0.7 - 0.05 * 0.3;
  const double q1 = 0.3 + 0.2 * ph;
  const double p1 = ph - 0.05 * q1;
  const double expected = (-0.5 * q1 * q1 - 0.9189385332046727 - p1 * p1) - (logp - 0.49);
  EXPECT_NEAR(r, expected, 1e-15);
  EXPECT_THROW(hmc::one_step_log_ratio(g, ev, q, {}, 0.1, logp, 0.0, {-0.3}, m, 1),
               InternalError);
}

TEST(HmcSearch, EdgeCases) {
  struct Case {
    const char* what;
    Graph graph;
    std::vector<double> position;
    double expected;
  };
  std::vector<Case> cases;
  // Ratio below 1/2 for every step size down to 2^-50: clamped up to 1e-10.
  cases.push_back({"narrow", normal_model(1, 1e-20), {0.0}, 1e-10});
  // Ratio above 1/2 up to 2^50: clamped down to 1000.
  cases.push_back({"wide", normal_model(1, 1e20), {0.0}, 1000.0});
  // No coordinates: the ratio is always 0.
  cases.push_back({"empty", empty_model(), {}, 1000.0});
  // A NaN density at the start: the first attempt (step 1) is not finite and is halved.
  cases.push_back({"divergent start", positive_model(), {-1.0}, 0.5});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Evaluator ev(c.graph);
    const std::size_t d = c.position.size();
    const std::vector<double> ones(d, 1.0);
    Rng rng(9);
    Rng expected_rng = rng;
    EXPECT_EQ(hmc::find_initial_step_size(c.graph, ev, c.position, ones, ones, d, rng), c.expected);
    for (std::size_t k = 0; k < d; ++k) expected_rng.normal();  // only the momentum is drawn
    EXPECT_EQ(rng.next_u64(), expected_rng.next_u64());
  }
}

TEST(HmcSearch, StopsWhereTheRatioCrossesOneHalf) {
  const Graph g = normal_model(3, 0.2);
  Evaluator ev(g);
  const std::vector<double> q = {0.1, -0.2, 0.05};
  const std::vector<double> m = {1.0, 2.0, 0.5};
  const std::vector<double> s = {1.0, 1.0 / std::sqrt(2.0), std::sqrt(2.0)};
  for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
    Rng rng(seed);
    Rng copy = rng;
    const double eps = hmc::find_initial_step_size(g, ev, q, m, s, 3, rng);
    std::vector<double> p(3);
    for (std::size_t k = 0; k < 3; ++k) p[k] = copy.normal() * s[k];
    ev.compute(g, q);
    const double logp = ev.logp;
    const std::vector<double> grad = ev.grad;
    auto ratio = [&](double h) {
      return hmc::one_step_log_ratio(g, ev, q, p, h, logp, kinetic(p, m), grad, m, 3);
    };
    const double tau = std::log(0.5);
    if (ratio(1.0) > tau) {
      EXPECT_LT(ratio(eps), tau);        // stopped at the first step below 1/2 ...
      EXPECT_GE(ratio(eps / 2.0), tau);  // ... going up by doubling
    } else {
      EXPECT_GT(ratio(eps), tau);
      EXPECT_LE(ratio(eps * 2.0), tau);
    }
  }
}

TEST(HmcChain, ZeroLeapfrogStepsNeverMoves) {
  const Graph g = normal_model(2);
  const std::vector<double> q0 = {0.7, -0.4};
  Rng rng(3);
  const ChainResult r = hmc::run_chain(g, config(0.2, 0, 20, 20), rng, q0, nullptr);
  ASSERT_EQ(r.draws.size(), 20u);
  for (const auto& d : r.draws) EXPECT_EQ(d, q0);
  for (const DrawStats& s : r.stats) EXPECT_EQ(s.n_steps, 0u);
}

TEST(HmcChain, NoIterations) {
  const Graph g = normal_model(2);
  Rng rng(3);
  const ChainResult r = hmc::run_chain(g, config(0.0, 10, 0, 0), rng, std::nullopt, nullptr);
  EXPECT_TRUE(r.draws.empty());
  EXPECT_TRUE(std::isnan(r.accept_rate));
  EXPECT_EQ(r.divergences, 0u);
}

TEST(HmcChain, GivenStepSizeWithoutWarmupIsUsedAsIs) {
  const Graph g = normal_model(3);
  Rng rng(14);
  Rng expected = rng;
  const ChainResult r = hmc::run_chain(g, config(0.25, 8, 40, 0), rng, std::nullopt, nullptr);
  EXPECT_EQ(r.step_size, 0.25);
  EXPECT_EQ(r.divergences, 0u);
  // No search: each iteration drew its three momenta and one uniform for the Metropolis test.
  for (int i = 0; i < 40; ++i) {
    for (int k = 0; k < 3; ++k) expected.normal();
    expected.uniform();
  }
  EXPECT_EQ(rng.next_u64(), expected.next_u64());
}

TEST(HmcChain, NoCoordinatesAcceptsEverything) {
  const Graph g = empty_model();
  Rng rng(2);
  Rng expected = rng;
  const ChainResult r = hmc::run_chain(g, config(0.5, 5, 10, 10), rng, std::nullopt, nullptr);
  EXPECT_EQ(r.accept_rate, 1.0);
  EXPECT_EQ(r.draws.size(), 10u);
  for (int i = 0; i < 20; ++i) expected.uniform();  // no normals, one uniform per iteration
  EXPECT_EQ(rng.next_u64(), expected.next_u64());
}

TEST(HmcChain, DivergentStartNeverMoves) {
  const Graph g = positive_model();
  const std::vector<double> q0 = {-1.0};
  Rng rng(6);
  ProgressState progress;
  const ChainResult r = hmc::run_chain(g, config(0.3, 5, 10, 10), rng, q0, &progress);
  EXPECT_EQ(r.divergences, 20u);
  EXPECT_EQ(r.accept_rate, 0.0);
  EXPECT_EQ(progress.completed.load(), 20u);
  EXPECT_EQ(progress.divergences.load(), 20u);
  for (const auto& d : r.draws) EXPECT_EQ(d, q0);
  for (const DrawStats& s : r.stats) {
    EXPECT_TRUE(s.divergent);
    EXPECT_EQ(s.accept_stat, 0.0);
  }
}

TEST(HmcChain, DivergentProposalsShrinkTheStepSize) {
  // Steps that jump below zero give a NaN density. Counting such proposals as rejected lets the
  // warm-up pull the step size down to where the chain moves.
  const Graph g = positive_model();
  Rng rng(40);
  ProgressState progress;
  const ChainResult r =
      hmc::run_chain(g, config(20.0, 5, 400, 300), rng, std::vector<double>{1.0}, &progress);
  EXPECT_LT(r.step_size, 2.0);
  EXPECT_GT(r.divergences, 0u);
  EXPECT_EQ(progress.divergences.load(), r.divergences);
  EXPECT_EQ(progress.completed.load(), 700u);
  // The chain moves and roughly covers gamma(2, 1), whose mean is 2 (400 draws).
  EXPECT_GT(r.accept_rate, 0.3);
  double mean = 0.0;
  for (const auto& d : r.draws) mean += d[0] / 400.0;
  EXPECT_GT(mean, 1.2);
  EXPECT_LT(mean, 3.0);
  for (const DrawStats& s : r.stats) {
    if (s.divergent) {
      EXPECT_EQ(s.accept_stat, 0.0);
    }
  }
}

TEST(HmcChain, ReproducibleAndStatsDescribeTheDraw) {
  const Graph g = correlated_model();
  auto run = [&](std::uint64_t seed) {
    Rng rng(seed);
    return hmc::run_chain(g, config(0.0, 7, 50, 100), rng, std::nullopt, nullptr);
  };
  const ChainResult a = run(8);
  const ChainResult b = run(8);
  EXPECT_EQ(a.draws, b.draws);
  EXPECT_EQ(a.step_size, b.step_size);
  EXPECT_EQ(a.accept_rate, b.accept_rate);
  EXPECT_NE(a.draws, run(9).draws);
  Evaluator ev(g);
  for (std::size_t i = 0; i < a.draws.size(); ++i) {
    ev.compute(g, a.draws[i]);
    EXPECT_DOUBLE_EQ(a.stats[i].lp, ev.logp);
    EXPECT_GE(a.stats[i].energy, -a.stats[i].lp);
    EXPECT_EQ(a.stats[i].n_steps, 7u);
    EXPECT_EQ(a.stats[i].tree_depth, 0u);
  }
}

TEST(HmcChain, WrongStartingLengthIsAnInternalError) {
  const Graph g = normal_model(2);
  Rng rng(1);
  EXPECT_THROW(hmc::run_chain(g, config(0.1, 3, 1, 1), rng, std::vector<double>{}, nullptr),
               InternalError);
}

TEST(HmcStatistics, TenDimensionalStandardNormal) {
  // Every coordinate oscillates with period 2 pi, and the adapted step size is about 0.7: three
  // steps travel a third of a period, while ten would come back almost to the start.
  const Graph g = normal_model(10);
  Rng rng(424242);
  const ChainResult r = hmc::run_chain(g, config(0.0, 3, 2000, 500), rng, std::nullopt, nullptr);
  EXPECT_GT(r.accept_rate, 0.6);
  expect_standard_normal_moments(r, 10, 0.15);
}

TEST(HmcStatistics, CorrelatedNormalWithDifferentScales) {
  // After adaptation the standardised target has periods of about 8.7 (along the correlation)
  // and 2 (across it), and the step size is about 0.45: five steps keep the trajectory clear of
  // both periods, where a fixed trajectory would return to its start.
  const Graph g = correlated_model();
  Rng rng(31337);
  const ChainResult r = hmc::run_chain(g, config(0.0, 5, 3000, 1000), rng, std::nullopt, nullptr);
  expect_correlated_moments(r);
}

}  // namespace
}  // namespace vorpex
