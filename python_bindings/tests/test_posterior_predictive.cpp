// Tests of posterior predictive draws: inverse transforms, the random subsample of stored draws,
// replicated values against a hand computation of the same random stream, and the failures.
#include "posterior_predictive.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "compile.hpp"
#include "errors.hpp"
#include "random.hpp"

namespace vorpex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Draws = std::vector<std::vector<std::vector<double>>>;  // [chain][draw][coordinate]

Hyper fixed(double v) { return hyper::Fixed{v}; }
Hyper from(const char* name) { return hyper::FromParam{name}; }

const std::vector<double> kX{1.0, 2.0, -0.5, 0.0};
const std::vector<double> kX2{0.3, -0.7, 1.1, 2.0};
const std::vector<double> kM{1.0, 0.5, -1.0, 0.2, 0.0, 1.0, -0.3, 2.0, 0.7, 1.5, -0.4, 0.1};

BoundData data() {
  BoundData d;
  d.vectors.insert_or_assign("y", {0.5, -1.0, 2.0, 0.25});
  d.vectors.insert_or_assign("x", kX);
  d.vectors.insert_or_assign("x2", kX2);
  d.matrices.insert_or_assign("X", BoundMatrix{kM, 4, 3});
  return d;
}

Graph compile(const std::vector<PriorSpec>& priors, const std::vector<LikelihoodSpec>& liks) {
  return compile_model(priors, liks, data(), EntryPoint::Sample).graph;
}

// Coordinates a (Normal), b (Uniform(-1, 3): Interval), p (Beta: Logit), s (Gamma: Log).
// "lin" has mean b*x + a + p*x2 and sigma s; "flat" has the scalar mean a and sigma 0.5.
Graph every_transform_model() {
  return compile({prior::Normal{"a", fixed(0), fixed(1)}, prior::Uniform{"b", -1.0, 3.0},
                  prior::Beta{"p", 2.0, 2.0}, prior::Gamma{"s", 2.0, 1.0}},
                 {LikelihoodSpec{"lin",
                                 sum(sum(param_times_data("b", "x"), param_term("a")),
                                     param_times_data("p", "x2")),
                                 from("s"), "y"},
                  LikelihoodSpec{"flat", param_term("a"), fixed(0.5), "y"}});
}

// Means and sigma of every_transform_model at constrained values v, per likelihood.
std::vector<std::vector<double>> means(const std::vector<double>& v) {
  std::vector<double> lin, flat;
  for (std::size_t i = 0; i < 4; ++i) {
    lin.push_back(v[1] * kX[i] + v[0] + v[2] * kX2[i]);
    flat.push_back(v[0]);
  }
  return {lin, flat};
}
std::vector<double> sigmas(const std::vector<double>& v) { return {v[3], 0.5}; }

// Two chains of three draws, every coordinate inside its transform's range and distinct per draw.
Draws every_transform_draws() {
  Draws s(2);
  for (std::size_t c = 0; c < 2; ++c) {
    for (std::size_t d = 0; d < 3; ++d) {
      const double t = static_cast<double>(3 * c + d);
      s[c].push_back({-0.2 + 0.3 * t, -0.5 + 0.6 * t, 0.1 + 0.15 * t, 0.4 + 0.25 * t});
    }
  }
  return s;
}

// The replicated values the stream of Rng(seed) gives: draws in the order of `used`, then
// likelihoods, then observations, one standard normal each.
std::vector<std::vector<double>> expected_values(
    const Draws& s, const std::vector<DrawRef>& used, std::uint64_t seed,
    const std::function<std::vector<std::vector<double>>(const std::vector<double>&)>& mu,
    const std::function<std::vector<double>(const std::vector<double>&)>& sigma) {
  Rng rng(seed);
  std::vector<std::vector<double>> out;
  for (const DrawRef& r : used) {
    const auto& v = s[r.chain][r.draw];
    const auto m = mu(v);
    const auto sd = sigma(v);
    out.resize(m.size());
    for (std::size_t k = 0; k < m.size(); ++k) {
      for (const double mi : m[k]) out[k].push_back(mi + rng.normal() * sd[k]);
    }
  }
  return out;
}

void expect_close(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], want[i], 1e-12 * std::max(1.0, std::abs(want[i]))) << "entry " << i;
  }
}

std::vector<DrawRef> all_draws(const std::vector<std::size_t>& per_chain) {
  return select_draws(per_chain, std::nullopt, 0);
}

// ---- inverse transforms ----

TEST(PosteriorPredictive, UnconstrainInvertsEachTransformAndClampsItsEdges) {
  const Transform id = Transform::identity(), lg = Transform::log(), lt = Transform::logit(),
                  iv = Transform::interval(-1.0, 3.0);
  struct Case {
    Transform t;
    double x;
  };
  for (const Case& c : {Case{id, -2.5}, Case{lg, 0.03}, Case{lg, 40.0}, Case{lt, 0.2},
                        Case{lt, 0.97}, Case{iv, -0.9}, Case{iv, 2.5}}) {
    EXPECT_NEAR(constrain(c.t, unconstrain(c.t, c.x)), c.x, 1e-13 * std::max(1.0, std::abs(c.x)));
  }
  const double edge = std::log(1e-12 / (1.0 - 1e-12));
  EXPECT_DOUBLE_EQ(unconstrain(lg, 0.0), std::log(1e-12));
  EXPECT_DOUBLE_EQ(unconstrain(lg, -3.0), std::log(1e-12));
  EXPECT_NEAR(unconstrain(lt, 0.0), edge, 1e-9);
  EXPECT_NEAR(unconstrain(lt, 1.0), -edge, 1e-3);  // 1 - 1e-12 is not exact in binary
  EXPECT_NEAR(unconstrain(iv, -1.0), edge, 1e-9);
  EXPECT_NEAR(unconstrain(iv, 7.0), -edge, 1e-3);
  EXPECT_TRUE(std::isfinite(unconstrain(lt, 1.0)));
  EXPECT_TRUE(std::isnan(unconstrain(lg, kNaN)));
  EXPECT_TRUE(std::isnan(unconstrain(lt, kNaN)));
  EXPECT_EQ(unconstrain(lg, kInf), kInf);
  // Without the Log floor (prior draws, positive by construction) the log is taken as it is;
  // fractions are clamped either way.
  EXPECT_EQ(unconstrain(lg, 1e-300, LogFloor::Off), std::log(1e-300));
  EXPECT_EQ(unconstrain(lg, 0.0, LogFloor::Off), -kInf);
  EXPECT_EQ(unconstrain(lt, 0.0, LogFloor::Off), unconstrain(lt, 0.0));
}

// ---- which draws ----

TEST(PosteriorPredictive, AllDrawsInChainMajorOrderWithoutACountOrWithALargeOne) {
  const std::vector<std::size_t> per_chain{2, 0, 3};
  const std::vector<DrawRef> all{{0, 0}, {0, 1}, {2, 0}, {2, 1}, {2, 2}};
  EXPECT_EQ(select_draws(per_chain, std::nullopt, 7), all);
  EXPECT_EQ(select_draws(per_chain, 5, 7), all);
  EXPECT_EQ(select_draws(per_chain, 1000, 7), all);
  EXPECT_TRUE(select_draws(per_chain, 0, 7).empty());
  EXPECT_TRUE(select_draws({}, 3, 7).empty());
  EXPECT_TRUE(select_draws({}, std::nullopt, 7).empty());
}

TEST(PosteriorPredictive, SubsampleIsDistinctOrderedAndReproducible) {
  const std::vector<std::size_t> per_chain{50, 50, 50, 50};
  const auto a = select_draws(per_chain, 20, 11);
  ASSERT_EQ(a.size(), 20u);
  std::set<std::size_t> chains;
  for (std::size_t i = 0; i < a.size(); ++i) {
    chains.insert(a[i].chain);
    EXPECT_LT(a[i].draw, 50u);
    if (i > 0) {
      EXPECT_TRUE(a[i - 1].chain < a[i].chain ||
                  (a[i - 1].chain == a[i].chain && a[i - 1].draw < a[i].draw));
    }
  }
  EXPECT_GT(chains.size(), 1u);  // not the first draws of chain 0
  EXPECT_EQ(select_draws(per_chain, 20, 11), a);
  EXPECT_NE(select_draws(per_chain, 20, 12), a);
}

// Every draw is equally likely to be chosen, across chains of different lengths: over many seeds
// each is chosen n/T of the time, within five binomial standard deviations.
TEST(PosteriorPredictive, SubsampleChoosesEveryDrawEquallyOften) {
  const std::vector<std::size_t> per_chain{3, 7};
  const std::size_t n = 3, total = 10, seeds = 20000;
  std::vector<double> count(total, 0.0);
  for (std::uint64_t seed = 0; seed < seeds; ++seed) {
    for (const DrawRef& r : select_draws(per_chain, n, seed)) count[r.chain * 3 + r.draw] += 1.0;
  }
  const double p = static_cast<double>(n) / static_cast<double>(total);
  const double mean = p * static_cast<double>(seeds);
  const double sd = std::sqrt(mean * (1.0 - p));
  for (std::size_t j = 0; j < total; ++j) EXPECT_NEAR(count[j], mean, 5.0 * sd) << "draw " << j;
}

// The subsample's generator is not the noise generator: a single pick from 1000 draws would be
// the noise stream's first word modulo 1000 if they shared a stream.
TEST(PosteriorPredictive, SubsampleStreamIsApartFromTheNoiseStream) {
  const std::vector<std::size_t> per_chain{1000};
  std::size_t same = 0;
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    Rng noise(seed);
    const std::uint64_t first = noise.next_u64() % 1000;
    const auto pick = select_draws(per_chain, 1, seed);
    same += pick[0].draw == first ? 1u : 0u;
  }
  EXPECT_LT(same, 3u);
}

// ---- replicated values ----

TEST(PosteriorPredictive, ValuesFollowTheNoiseStreamOverEveryTransform) {
  const Graph g = every_transform_model();
  const Draws s = every_transform_draws();
  const auto out = posterior_predictive(g, s, {"lin", "flat"}, std::nullopt, 5);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, "lin");
  EXPECT_EQ(out[1].name, "flat");
  for (const auto& a : out) {
    EXPECT_EQ(a.rows, 6u);
    EXPECT_EQ(a.cols, 4u);
  }
  const auto want = expected_values(s, all_draws({3, 3}), 5, means, sigmas);
  expect_close(out[0].values, want[0]);
  expect_close(out[1].values, want[1]);

  const auto again = posterior_predictive(g, s, {"lin", "flat"}, std::nullopt, 5);
  EXPECT_EQ(again[0].values, out[0].values);
  const auto other = posterior_predictive(g, s, {"lin", "flat"}, std::nullopt, 6);
  EXPECT_NE(other[0].values, out[0].values);
}

TEST(PosteriorPredictive, SubsampleRowsAreTheChosenDrawsWithTheStreamFromTheStart) {
  const Graph g = every_transform_model();
  const Draws s = every_transform_draws();
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{4}}) {
    const auto used = select_draws({3, 3}, n, 9);
    ASSERT_EQ(used.size(), n);
    const auto out = posterior_predictive(g, s, {"lin", "flat"}, n, 9);
    EXPECT_EQ(out[0].rows, n);
    EXPECT_EQ(out[1].cols, 4u);
    if (n == 0) {
      EXPECT_TRUE(out[0].values.empty());
      continue;
    }
    const auto want = expected_values(s, used, 9, means, sigmas);
    expect_close(out[0].values, want[0]);
    expect_close(out[1].values, want[1]);
  }
}

TEST(PosteriorPredictive, MatrixMeanOverAVectorParameter) {
  const Graph g = compile({prior::VectorNormal{"w", 3, 0.0, 1.0}},
                          {LikelihoodSpec{"y", matrix_times_param("w", "X"), fixed(2.0), "y"}});
  const Draws s{{{0.5, -1.0, 2.0}, {0.0, 0.25, -0.75}}};
  auto mu = [](const std::vector<double>& w) {
    std::vector<double> m(4, 0.0);
    for (std::size_t i = 0; i < 4; ++i) {
      for (std::size_t j = 0; j < 3; ++j) m[i] += kM[i * 3 + j] * w[j];
    }
    return std::vector<std::vector<double>>{m};
  };
  auto sd = [](const std::vector<double>&) { return std::vector<double>{2.0}; };
  const auto out = posterior_predictive(g, s, {"y"}, std::nullopt, 3);
  expect_close(out.at(0).values, expected_values(s, all_draws({2}), 3, mu, sd).at(0));
}

// A sigma of 0 or NaN is floored at 1e-12; its magnitude is used when negative.
TEST(PosteriorPredictive, DegenerateSigmaIsFlooredAndNegativeIsItsMagnitude) {
  const Graph pos = compile({prior::Normal{"a", fixed(0), fixed(1)}, prior::HalfNormal{"s", fixed(1)}},
                            {LikelihoodSpec{"y", param_term("a"), from("s"), "y"}});
  for (const double sigma : {0.0, kNaN}) {
    const auto out = posterior_predictive(pos, {{{1.5, sigma}}}, {"y"}, std::nullopt, 1);
    for (const double v : out.at(0).values) EXPECT_NEAR(v, 1.5, 1e-10);
  }
  // A Normal-prior parameter may be negative when a graph is built by hand.
  Graph g;
  const NodeId a = g.add_param_with_transform("a", Transform::identity());
  const NodeId s = g.add_param_with_transform("s", Transform::identity());
  g.normal_obs_logp(g.scalar_broadcast(a), s, g.add_obs_data({0.0, 0.0, 0.0}));
  const auto neg = posterior_predictive(g, {{{1.0, -2.0}}}, {"y"}, std::nullopt, 4);
  const auto posv = posterior_predictive(g, {{{1.0, 2.0}}}, {"y"}, std::nullopt, 4);
  EXPECT_EQ(neg.at(0).values, posv.at(0).values);
}

TEST(PosteriorPredictive, ModelWithoutLikelihoodsGivesNoArrays) {
  const Graph g = compile({prior::Normal{"a", fixed(0), fixed(1)}}, {});
  EXPECT_TRUE(posterior_predictive(g, {{{0.1}, {0.2}}}, {}, std::nullopt, 1).empty());
}

// ---- failures ----

TEST(PosteriorPredictive, InfiniteSigmaIsAUserErrorNamingTheLikelihoodAndValue) {
  const Graph g = compile({prior::Normal{"a", fixed(0), fixed(1)}, prior::HalfNormal{"s", fixed(1)}},
                          {LikelihoodSpec{"flat", param_term("a"), fixed(1.0), "y"},
                           LikelihoodSpec{"obs", param_term("a"), from("s"), "y"}});
  const Draws s{{{0.0, 1.0}}, {{0.0, 1.0}, {0.0, kInf}}};
  try {
    posterior_predictive(g, s, {"flat", "obs"}, std::nullopt, 1);
    FAIL() << "no error";
  } catch (const UserError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Likelihood 'obs': 'sigma' must be finite, got inf at draw 1 of chain 1");
  }
  // Draws that leave the infinite one out succeed.
  EXPECT_NO_THROW(posterior_predictive(g, {{{0.0, 1.0}}}, {"flat", "obs"}, std::nullopt, 1));
}

TEST(PosteriorPredictive, MismatchedRecordsAreInternalErrors) {
  const Graph g = compile({prior::Normal{"a", fixed(0), fixed(1)}},
                          {LikelihoodSpec{"y", param_term("a"), fixed(1.0), "y"}});
  EXPECT_THROW(posterior_predictive(g, {{{0.0}}}, {}, std::nullopt, 1), InternalError);
  EXPECT_THROW(posterior_predictive(g, {{{0.0, 1.0}}}, {"y"}, std::nullopt, 1), InternalError);
}

}  // namespace
}  // namespace vorpex
