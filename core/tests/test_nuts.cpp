// Tests of the NUTS integrator, tree builder and chain: golden trees on small models, integrator
// accuracy, chain edge cases and statistical recovery of known posteriors.
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
#include "nuts.hpp"
#include "progress.hpp"
#include "random.hpp"

namespace vorpex {
namespace {

using chain_testing::config;
using chain_testing::correlated_model;
using chain_testing::expect_correlated_moments;
using chain_testing::expect_standard_normal_moments;
using chain_testing::normal_model;
using nuts::PhasePoint;
using nuts::Subtree;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Models

// d coordinates that nothing reads and a constant log density: the gradient is zero, so the
// integrator moves in straight lines and conserves energy exactly.
Graph flat_model(std::size_t d, double logp = 0.0) {
  Graph g;
  if (d > 0) g.add_vector_params("x", d);
  g.logp_terms.push_back(g.add_constant(logp));
  return g;
}

// One coordinate, flat on [lo, hi] and -inf outside.
Graph box_model(double lo, double hi) {
  Graph g;
  const NodeId x = g.add_param_with_transform("x", Transform::identity());
  const NodeId a = g.add_constant(lo);
  const NodeId b = g.add_constant(hi);
  g.logp_terms.push_back(g.add_node(op::UniformLogp{x, a, b}));
  return g;
}

// log x on the raw coordinate: NaN for x < 0.
Graph log_model() {
  Graph g;
  const NodeId x = g.add_param_with_transform("x", Transform::identity());
  g.logp_terms.push_back(g.add_node(op::Log{x}));
  return g;
}

PhasePoint point_at(const Graph& g, Evaluator& ev, std::vector<double> q, std::vector<double> p) {
  PhasePoint pt(q.size());
  pt.position = std::move(q);
  pt.momentum = std::move(p);
  ev.compute(g, pt.position);
  pt.logp = ev.logp;
  pt.grad.assign(ev.grad.begin(), ev.grad.end());
  return pt;
}

double hamiltonian(const PhasePoint& pt, const std::vector<double>& m) {
  return nuts::kinetic_energy(pt.momentum, m) - pt.logp;
}

// Number of uniforms drawn from `before` to reach the state of `after` (up to `limit`), or -1.
int uniforms_drawn(Rng before, Rng after, int limit = 64) {
  for (int n = 0; n <= limit; ++n) {
    Rng probe = after;
    Rng ref = before;
    if (probe.next_u64() == ref.next_u64()) {
      // Confirm on a second word to rule out a chance match.
      if (probe.next_u64() == ref.next_u64()) return n;
    }
    before.uniform();
  }
  return -1;
}

void expect_same_point(const PhasePoint& a, const PhasePoint& b) {
  EXPECT_EQ(a.position, b.position);
  EXPECT_EQ(a.momentum, b.momentum);
  EXPECT_EQ(a.grad, b.grad);
  EXPECT_EQ(a.logp, b.logp);
}

// ---------------------------------------------------------------------------------------------
// Integrator

TEST(NutsIntegrator, OneStepByHand) {
  const Graph g = normal_model(1);
  Evaluator ev(g);
  const PhasePoint start = point_at(g, ev, {0.3}, {0.7});
  const std::vector<double> m = {2.0};
  const PhasePoint x = nuts::leapfrog(g, ev, start, m, 0.1, 1);
  // p1/2 = 0.7 + 0.05 * (-0.3); q' = 0.3 + 0.1 * 2 * p1/2; p' = p1/2 + 0.05 * (-q').
  const double ph = 0.7 - 0.05 * 0.3;
  const double q1 = 0.3 + 0.2 * ph;
  EXPECT_DOUBLE_EQ(x.position[0], q1);
  EXPECT_DOUBLE_EQ(x.momentum[0], ph - 0.05 * q1);
  EXPECT_DOUBLE_EQ(x.grad[0], -q1);
  EXPECT_DOUBLE_EQ(x.logp, -0.5 * q1 * q1 - 0.9189385332046727);
  EXPECT_EQ(start.position[0], 0.3);  // the start point is left alone
}

// Largest energy error over a trajectory of fixed length, with inverse metric m.
double max_energy_error(double step, double duration) {
  const Graph g = normal_model(5, 2.0);
  Evaluator ev(g);
  const std::vector<double> m = {1.0, 0.5, 2.0, 1.0, 0.25};
  PhasePoint a = point_at(g, ev, {1.0, -2.0, 0.5, 3.0, -1.0}, {0.3, 1.1, -0.7, 0.2, 2.0});
  PhasePoint b(5);
  const double h0 = hamiltonian(a, m);
  double worst = 0.0;
  const int n = static_cast<int>(std::lround(duration / step));
  for (int i = 0; i < n; ++i) {
    nuts::leapfrog(g, ev, a, m, step, 5, b);
    std::swap(a, b);
    worst = std::max(worst, std::abs(hamiltonian(a, m) - h0));
  }
  return worst;
}

TEST(NutsIntegrator, EnergyErrorIsBoundedAndSecondOrder) {
  const double coarse = max_energy_error(0.2, 200.0);
  const double fine = max_energy_error(0.1, 200.0);
  EXPECT_LT(coarse, 0.05);  // no drift over 1000 steps
  // A second-order integrator's energy error shrinks by 4 when the step halves.
  EXPECT_NEAR(coarse / fine, 4.0, 0.4);
}

TEST(NutsIntegrator, TimeReversible) {
  const Graph g = correlated_model();
  Evaluator ev(g);
  const std::vector<double> m = {1.0, 1e-4};
  const PhasePoint start = point_at(g, ev, {0.4, 30.0}, {-1.2, 0.01});
  PhasePoint a = start;
  PhasePoint b(2);
  for (int i = 0; i < 50; ++i) {
    nuts::leapfrog(g, ev, a, m, 0.05, 2, b);
    std::swap(a, b);
  }
  EXPECT_GT(std::abs(a.position[0] - start.position[0]), 0.1);
  for (double& p : a.momentum) p = -p;
  for (int i = 0; i < 50; ++i) {
    nuts::leapfrog(g, ev, a, m, 0.05, 2, b);
    std::swap(a, b);
  }
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_NEAR(a.position[k], start.position[k], 1e-12 * (1.0 + std::abs(start.position[k])));
    EXPECT_NEAR(-a.momentum[k], start.momentum[k], 1e-12);
  }
}

TEST(NutsIntegrator, ShortVectorsAreInternalErrors) {
  const Graph g = normal_model(2);
  Evaluator ev(g);
  const PhasePoint start = point_at(g, ev, {0.0, 0.0}, {1.0, 1.0});
  EXPECT_THROW(nuts::leapfrog(g, ev, start, {1.0}, 0.1, 2), InternalError);
  PhasePoint short_start = start;
  short_start.momentum.resize(1);
  EXPECT_THROW(nuts::leapfrog(g, ev, short_start, {1.0, 1.0}, 0.1, 2), InternalError);
  Rng rng(1);
  EXPECT_THROW(nuts::build_subtree(g, ev, short_start, {1.0, 1.0}, 0.1, 0.0, 2, 2, rng),
               InternalError);
}

// ---------------------------------------------------------------------------------------------
// Tree builder

TEST(NutsTree, LeafIsOneStepWithThreeEqualPointsAndNoRandomDraw) {
  const Graph g = normal_model(1);
  Evaluator ev(g);
  const std::vector<double> m = {2.0};
  const PhasePoint start = point_at(g, ev, {0.3}, {0.7});
  const double h0 = hamiltonian(start, m);
  for (double step : {0.1, -0.1}) {
    Rng rng(7);
    const Rng before = rng;
    const Subtree s = nuts::build_subtree(g, ev, start, m, step, h0, 0, 1, rng);
    const PhasePoint x = nuts::leapfrog(g, ev, start, m, step, 1);
    expect_same_point(s.plus, x);
    expect_same_point(s.minus, x);
    expect_same_point(s.proposal, x);
    EXPECT_EQ(s.depth, 0u);
    EXPECT_EQ(s.n_leapfrog, 1u);
    EXPECT_FALSE(s.turning);
    EXPECT_FALSE(s.diverged);
    EXPECT_DOUBLE_EQ(s.log_weight, h0 - hamiltonian(x, m));
    EXPECT_EQ(uniforms_drawn(before, rng), 0);
  }
}

TEST(NutsTree, LeafDivergenceThreshold) {
  // Flat density, momentum 1: the leaf's Hamiltonian is 0.5 - logp, so H0 sets the energy error.
  struct Case {
    double logp, h0;
    bool divergent;
    double log_weight;
  };
  const std::vector<Case> cases = {
      {0.0, 0.5 - 1000.0, false, -1000.0},         // exactly 1000: kept
      {0.0, 0.5 - 1000.0 - 1e-9, true, -kInf},     // just above 1000
      {0.0, 5000.5, false, 5000.0},                // a large gain in probability
      {-kInf, 0.5, true, -kInf},                   // log density -inf
      {kNaN, 0.5, true, -kInf},                    // log density NaN
      {0.0, kNaN, true, -kInf},                    // non-finite starting energy
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.h0);
    const Graph g = flat_model(1, c.logp);
    Evaluator ev(g);
    PhasePoint start(1);
    start.momentum[0] = 1.0;
    Rng rng(3);
    const Subtree s = nuts::build_subtree(g, ev, start, {1.0}, 0.25, c.h0, 0, 1, rng);
    EXPECT_EQ(s.diverged, c.divergent);
    EXPECT_EQ(s.log_weight, c.log_weight);
    EXPECT_EQ(s.n_leapfrog, 1u);
  }
}

TEST(NutsTree, FullSubtreeOnAStraightLine) {
  const Graph g = flat_model(1);
  Evaluator ev(g);
  PhasePoint start(1);
  start.momentum[0] = 1.0;
  const double h0 = 0.5;  // every leaf has energy error 0 and weight 1
  for (double step : {0.5, -0.5}) {
    SCOPED_TRACE(step);
    Rng rng(11);
    const Rng before = rng;
    const Subtree s = nuts::build_subtree(g, ev, start, {1.0}, step, h0, 3, 1, rng);
    EXPECT_EQ(s.depth, 3u);
    EXPECT_EQ(s.n_leapfrog, 8u);
    EXPECT_NEAR(s.log_weight, std::log(8.0), 1e-15);
    EXPECT_FALSE(s.turning);
    EXPECT_FALSE(s.diverged);
    // The first new point is one step from the start, which is not part of the subtree.
    const double first = step;
    const double last = 8.0 * step;
    EXPECT_EQ(s.minus.position[0], step > 0 ? first : last);
    EXPECT_EQ(s.plus.position[0], step > 0 ? last : first);
    const double k = s.proposal.position[0] / step;
    EXPECT_TRUE(k >= 1.0 && k <= 8.0 && k == std::floor(k)) << k;
    EXPECT_EQ(uniforms_drawn(before, rng), 7);  // one per merge: 4 + 2 + 1
  }
}

TEST(NutsTree, ProposalIsUniformOverEqualWeightLeaves) {
  const Graph g = flat_model(1);
  Evaluator ev(g);
  PhasePoint start(1);
  start.momentum[0] = 1.0;
  const int n = 8000;
  std::vector<int> counts(8, 0);
  nuts::TreeWorkspace ws(1, 3);
  Subtree s(1);
  Rng rng(2024);
  for (int i = 0; i < n; ++i) {
    nuts::build_subtree(g, ev, start, {1.0}, 1.0, 0.5, 3, 1, rng, ws, s);
    counts[static_cast<std::size_t>(std::lround(s.proposal.position[0])) - 1] += 1;
  }
  const double sd = std::sqrt(n * 0.125 * 0.875);
  for (int c : counts) EXPECT_NEAR(c, n / 8.0, 4.5 * sd);
}

TEST(NutsTree, SecondHalfWinsInProportionToItsWeight) {
  // A coarse step on a Gaussian gives the two leaves of a depth-1 subtree different weights.
  const Graph g = normal_model(1);
  Evaluator ev(g);
  const std::vector<double> m = {1.0};
  const PhasePoint start = point_at(g, ev, {0.0}, {1.5});
  const double h0 = hamiltonian(start, m);
  Rng unused(0);
  const Subtree a = nuts::build_subtree(g, ev, start, m, 1.4, h0, 0, 1, unused);
  const Subtree b = nuts::build_subtree(g, ev, a.plus, m, 1.4, h0, 0, 1, unused);
  const double p_b = std::exp(b.log_weight) / (std::exp(a.log_weight) + std::exp(b.log_weight));
  ASSERT_GT(std::abs(p_b - 0.5), 0.1);
  const int n = 6000;
  int took_b = 0;
  Rng rng(99);
  nuts::TreeWorkspace ws(1, 1);
  Subtree s(1);
  for (int i = 0; i < n; ++i) {
    nuts::build_subtree(g, ev, start, m, 1.4, h0, 1, 1, rng, ws, s);
    ASSERT_FALSE(s.diverged);
    EXPECT_NEAR(s.log_weight, std::log(std::exp(a.log_weight) + std::exp(b.log_weight)), 1e-12);
    if (s.proposal.position[0] == b.plus.position[0]) took_b += 1;
  }
  EXPECT_NEAR(took_b, n * p_b, 4.5 * std::sqrt(n * p_b * (1.0 - p_b)));
}

TEST(NutsTree, DivergenceInsideTheSubtree) {
  // Flat on [-10, hi], start at 0 with momentum 1 and step 1: the leaves are at 1, 2, 3, ... and
  // the first one beyond hi diverges.
  struct Case {
    double hi;
    std::uint64_t depth;
    std::uint64_t reported_depth, n_leapfrog;
    int uniforms;
    double log_weight;
  };
  const std::vector<Case> cases = {
      {0.5, 3, 0, 1, 0, -kInf},             // the very first leaf diverges
      {1.5, 2, 1, 2, 0, 0.0},               // first half (depth 1) diverges: its depth is reported
      {2.5, 2, 2, 3, 1, std::log(2.0)},     // second half diverges: both halves' steps counted
      {3.5, 3, 2, 4, 1, std::log(2.0)},     // first half of depth 2 diverges in its second half
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hi);
    const Graph g = box_model(-10.0, c.hi);
    Evaluator ev(g);
    const PhasePoint start = point_at(g, ev, {0.0}, {1.0});
    const double h0 = hamiltonian(start, {1.0});
    Rng rng(5);
    const Rng before = rng;
    const Subtree s = nuts::build_subtree(g, ev, start, {1.0}, 1.0, h0, c.depth, 1, rng);
    EXPECT_TRUE(s.diverged);
    EXPECT_FALSE(s.turning);
    EXPECT_EQ(s.depth, c.reported_depth);
    EXPECT_EQ(s.n_leapfrog, c.n_leapfrog);
    if (c.log_weight == -kInf) {
      EXPECT_EQ(s.log_weight, -kInf);
    } else {
      EXPECT_NEAR(s.log_weight, c.log_weight, 1e-15);
      EXPECT_LT(s.proposal.position[0], c.hi);  // never from the divergent part
    }
    EXPECT_EQ(uniforms_drawn(before, rng), c.uniforms);
  }
}

TEST(NutsTree, UTurns) {
  // A unit Gaussian from q = 0 with momentum 1 follows q(t) ~ sin t.
  const Graph g = normal_model(1);
  Evaluator ev(g);
  const std::vector<double> m = {1.0};
  const PhasePoint start = point_at(g, ev, {0.0}, {1.0});
  const double h0 = hamiltonian(start, m);
  struct Case {
    double step;
    std::uint64_t depth, reported_depth, n_leapfrog;
    int uniforms;
  };
  const std::vector<Case> cases = {
      // Leaves at t = 0.5 .. 2: the second half (1.5, 2) turns; the merge still draws.
      {0.5, 2, 2, 4, 3},
      // Leaves at t = 0.7 .. 2.8: neither half turns, the whole subtree does.
      {0.7, 2, 2, 4, 3},
      // The depth-2 first half of a depth-3 subtree turns: its depth and steps are reported.
      {0.5, 3, 2, 4, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    Rng rng(8);
    const Rng before = rng;
    const Subtree s = nuts::build_subtree(g, ev, start, m, c.step, h0, c.depth, 1, rng);
    EXPECT_TRUE(s.turning);
    EXPECT_FALSE(s.diverged);
    EXPECT_EQ(s.depth, c.reported_depth);
    EXPECT_EQ(s.n_leapfrog, c.n_leapfrog);
    EXPECT_EQ(uniforms_drawn(before, rng), c.uniforms);
  }
  // The halves of the second case do not turn on their own.
  Rng rng(8);
  const Subtree first = nuts::build_subtree(g, ev, start, m, 0.7, h0, 1, 1, rng);
  EXPECT_FALSE(first.turning);
  const Subtree second = nuts::build_subtree(g, ev, first.plus, m, 0.7, h0, 1, 1, rng);
  EXPECT_FALSE(second.turning);
}

TEST(NutsTree, ZeroDimensionsNeverTurn) {
  const Graph g = flat_model(0);
  Evaluator ev(g);
  const PhasePoint start(0);
  Rng rng(1);
  const Subtree s = nuts::build_subtree(g, ev, start, {}, 0.1, 0.0, 4, 0, rng);
  EXPECT_FALSE(s.turning);
  EXPECT_FALSE(s.diverged);
  EXPECT_EQ(s.n_leapfrog, 16u);
  EXPECT_NEAR(s.log_weight, std::log(16.0), 1e-14);
}

// ---------------------------------------------------------------------------------------------
// Chain

TEST(NutsChain, MaxTreeDepthZeroNeverMoves) {
  const Graph g = normal_model(3);
  const std::vector<double> q0 = {0.5, -1.0, 2.0};
  Rng rng(4);
  Rng expected = rng;
  const ChainResult r = nuts::run_chain(g, config(0.3, 0, 10, 20), rng, q0, nullptr);
  ASSERT_EQ(r.draws.size(), 10u);
  for (const auto& d : r.draws) EXPECT_EQ(d, q0);
  EXPECT_EQ(r.accept_rate, 0.0);
  EXPECT_EQ(r.divergences, 0u);
  for (const DrawStats& s : r.stats) {
    EXPECT_EQ(s.n_steps, 0u);
    EXPECT_EQ(s.tree_depth, 0u);
    EXPECT_FALSE(s.divergent);
  }
  // A given step size skips the search: only the momenta were drawn.
  for (int i = 0; i < 30 * 3; ++i) expected.normal();
  EXPECT_EQ(rng.next_u64(), expected.next_u64());
}

TEST(NutsChain, WithoutWarmupTheGivenStepSizeIsKept) {
  const Graph g = normal_model(4);
  Rng rng(12);
  const ChainResult r = nuts::run_chain(g, config(0.4, 10, 50, 0), rng, std::nullopt, nullptr);
  EXPECT_EQ(r.step_size, 0.4);
  double sum = 0.0;
  for (const DrawStats& s : r.stats) sum += s.accept_stat;
  EXPECT_NEAR(r.accept_rate, sum / 50.0, 1e-14);
}

TEST(NutsChain, NoDrawsStillReportsWarmup) {
  const Graph g = normal_model(2);
  Rng rng(13);
  ProgressState progress;
  const ChainResult r = nuts::run_chain(g, config(0.0, 10, 0, 40), rng, std::nullopt, &progress);
  EXPECT_TRUE(r.draws.empty());
  EXPECT_TRUE(r.stats.empty());
  EXPECT_GT(r.accept_rate, 0.3);
  EXPECT_EQ(progress.completed.load(), 40u);
}

TEST(NutsChain, DivergentStartNeverMoves) {
  const Graph g = log_model();  // log(-1) is NaN
  const std::vector<double> q0 = {-1.0};
  for (double step : {0.0, 0.5}) {
    SCOPED_TRACE(step);
    Rng rng(21);
    ProgressState progress;
    const ChainResult r = nuts::run_chain(g, config(step, 10, 15, 25), rng, q0, &progress);
    EXPECT_EQ(r.divergences, 40u);
    EXPECT_EQ(r.accept_rate, 0.0);
    EXPECT_EQ(progress.completed.load(), 40u);
    EXPECT_EQ(progress.divergences.load(), 40u);
    for (const auto& d : r.draws) EXPECT_EQ(d, q0);
    for (const DrawStats& s : r.stats) {
      EXPECT_TRUE(s.divergent);
      EXPECT_EQ(s.n_steps, 1u);
      EXPECT_EQ(s.tree_depth, 1u);
    }
    EXPECT_LT(r.step_size, 0.5);  // warm-up shrank the step size
  }
}

TEST(NutsChain, StepSizeSearchClamps) {
  // An extremely narrow Gaussian keeps the one-step ratio below 1/2 at every step size down to
  // 2^-50; an extremely wide one keeps it above 1/2 up to 2^50.
  struct Case {
    double sigma, expected;
  };
  for (const Case c : {Case{1e-20, 1e-10}, Case{1e20, 1000.0}}) {
    const Graph g = normal_model(1, c.sigma);
    Rng rng(31);
    const ChainResult r = nuts::run_chain(g, config(0.0, 0, 1, 0), rng, std::nullopt, nullptr);
    EXPECT_EQ(r.step_size, c.expected);
  }
}

TEST(NutsChain, ReproducibleAndSeedDependent) {
  const Graph g = correlated_model();
  auto run = [&](std::uint64_t seed) {
    Rng rng(seed);
    return nuts::run_chain(g, config(0.0, 10, 30, 60), rng, std::nullopt, nullptr);
  };
  const ChainResult a = run(5);
  const ChainResult b = run(5);
  const ChainResult c = run(6);
  EXPECT_EQ(a.draws, b.draws);
  EXPECT_EQ(a.step_size, b.step_size);
  EXPECT_EQ(a.accept_rate, b.accept_rate);
  ASSERT_EQ(a.stats.size(), b.stats.size());
  for (std::size_t i = 0; i < a.stats.size(); ++i) {
    EXPECT_EQ(a.stats[i].energy, b.stats[i].energy);
    EXPECT_EQ(a.stats[i].n_steps, b.stats[i].n_steps);
  }
  EXPECT_NE(a.draws, c.draws);
}

TEST(NutsChain, PerDrawStatisticsDescribeTheDraw) {
  const Graph g = normal_model(3);
  Rng rng(17);
  ProgressState progress;
  const ChainResult r = nuts::run_chain(g, config(0.0, 6, 200, 100), rng, std::nullopt, &progress);
  EXPECT_EQ(progress.completed.load(), 300u);
  EXPECT_EQ(progress.divergences.load(), r.divergences);
  Evaluator ev(g);
  bool some_depth_above_one = false;
  for (std::size_t i = 0; i < r.draws.size(); ++i) {
    const DrawStats& s = r.stats[i];
    ev.compute(g, r.draws[i]);
    EXPECT_DOUBLE_EQ(s.lp, ev.logp);
    EXPECT_GE(s.energy, -s.lp);  // the kinetic energy is never negative
    EXPECT_GE(s.tree_depth, 1u);
    EXPECT_LE(s.tree_depth, 6u);
    EXPECT_GE(s.n_steps, 1u);
    EXPECT_LE(s.n_steps, (1u << s.tree_depth) - 1u);
    EXPECT_GE(s.accept_stat, 0.0);
    EXPECT_LE(s.accept_stat, 1.0);
    some_depth_above_one = some_depth_above_one || s.tree_depth > 1;
  }
  EXPECT_TRUE(some_depth_above_one);
}

TEST(NutsChain, MetricAdaptationEqualisesScales) {
  // Independent normals with standard deviations 1 and 1000. With the unit metric a trajectory
  // needs about 1000 / eps steps to cross y's scale; once the inverse metric holds the variances,
  // both coordinates look alike and trees of depth 2 or 3 suffice.
  Graph g;
  g.add_vector_params("x", 2);
  g.vector_normal_logp(0, 1, 0.0, 1.0);
  g.vector_normal_logp(1, 1, 0.0, 1000.0);
  Rng rng(23);
  const ChainResult r = nuts::run_chain(g, config(0.0, 10, 200, 300), rng, std::nullopt, nullptr);
  double steps = 0.0;
  for (const DrawStats& s : r.stats) steps += s.n_steps / 200.0;
  EXPECT_LT(steps, 7.0);
  EXPECT_GT(r.step_size, 0.3);
  // Short trees must not come from leaving y behind: it still covers its scale.
  double var_y = 0.0;
  for (const auto& d : r.draws) var_y += d[1] * d[1] / 200.0;
  EXPECT_GT(var_y, 0.5 * 1e6);
  EXPECT_LT(var_y, 2.0 * 1e6);
}

TEST(NutsChain, WrongStartingLengthIsAnInternalError) {
  const Graph g = normal_model(3);
  Rng rng(1);
  EXPECT_THROW(nuts::run_chain(g, config(0.1, 3, 1, 1), rng, std::vector<double>{1.0}, nullptr),
               InternalError);
}

// ---------------------------------------------------------------------------------------------
// Statistical recovery. Each expectation is checked against its batch-means Monte Carlo
// standard error; the error itself must stay small, so a sticky chain cannot pass by being
// uncertain.

std::uint64_t sampling_divergences(const ChainResult& r) {
  std::uint64_t n = 0;
  for (const DrawStats& s : r.stats) n += s.divergent ? 1 : 0;
  return n;
}

TEST(NutsStatistics, TenDimensionalStandardNormal) {
  const Graph g = normal_model(10);
  Rng rng(20240601);
  const ChainResult r = nuts::run_chain(g, config(0.0, 10, 2000, 500), rng, std::nullopt, nullptr);
  EXPECT_EQ(sampling_divergences(r), 0u);
  EXPECT_GT(r.accept_rate, 0.6);
  // Standard errors bounded as for an effective sample size of at least 200.
  expect_standard_normal_moments(r, 10, 0.1);
}

TEST(NutsStatistics, CorrelatedNormalWithDifferentScales) {
  const Graph g = correlated_model();
  Rng rng(777);
  const ChainResult r = nuts::run_chain(g, config(0.0, 10, 3000, 1000), rng, std::nullopt, nullptr);
  EXPECT_EQ(sampling_divergences(r), 0u);
  expect_correlated_moments(r);
  // The adapted metric brought the two scales together: the step size is not set by y's scale.
  EXPECT_GT(r.step_size, 0.05);
}

}  // namespace
}  // namespace vorpex
