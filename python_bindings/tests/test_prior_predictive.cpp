// Tests of prior predictive draws: the random stream replayed by hand prior by prior, hierarchical
// hyperparameters within a draw, widened blocks, shapes, and every refusal of a parameter.
#include "prior_predictive.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "errors.hpp"

namespace vorpex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Hyper fixed(double v) { return hyper::Fixed{v}; }
Hyper from(const char* name) { return hyper::FromParam{name}; }

LikelihoodSpec lik(MuExpr mean, Hyper sigma, const char* obs = "y", const char* name = "obs") {
  return LikelihoodSpec{name, std::move(mean), std::move(sigma), obs};
}

// y and x of length 3; X of 3 x 2.
BoundData small_data() {
  BoundData d;
  d.vectors.insert_or_assign("y", {0.5, -1.0, 2.0});
  d.vectors.insert_or_assign("x", {1.0, 2.0, -0.5});
  d.matrices.insert_or_assign("X", BoundMatrix{{1.0, 0.5, -1.0, 0.2, 0.3, 2.0}, 3, 2});
  return d;
}

double clamp01(double q) { return std::clamp(q, 1e-12, 0.999999999999); }

void expect_close(double got, double want, const std::string& what) {
  EXPECT_NEAR(got, want, 1e-12 * std::max(1.0, std::fabs(want))) << what;
}

std::string user_error(const std::vector<PriorSpec>& priors,
                       const std::vector<LikelihoodSpec>& liks, std::size_t n = 5) {
  try {
    sample_prior_predictive(priors, liks, small_data(), n, 7);
  } catch (const UserError& e) {
    return e.what();
  }
  return "<no error>";
}

// Every prior kind in one model, replayed against a generator with the same seed: the priors in
// declaration order with their own variates, then the likelihood's noise, for two draws.
TEST(PriorPredictive, RandomStreamFollowsDeclarationOrder) {
  const std::vector<PriorSpec> priors{
      prior::Normal{"a", fixed(1.0), fixed(2.0)}, prior::HalfNormal{"s", fixed(3.0)},
      prior::StudentT{"t", 4.0, 0.5, 2.0},        prior::StudentT{"c", 1.0, 0.0, 1.0},
      prior::Uniform{"u", -1.0, 3.0},             prior::Bernoulli{"b", 0.3},
      prior::Poisson{"k", 2.5},                   prior::Gamma{"g", 2.0, 4.0},
      prior::Beta{"e", 2.0, 3.0},                 prior::VectorNormal{"w", 2, 0.5, 1.5}};
  const std::vector<LikelihoodSpec> liks{lik(param_times_data("a", "x"), from("s"))};
  const PriorPredictive r = sample_prior_predictive(priors, liks, small_data(), 2, 99);

  ASSERT_EQ(r.param_names, (std::vector<std::string>{"a", "s", "t", "c", "u", "b", "k", "g", "e",
                                                     "w[0]", "w[1]"}));
  ASSERT_EQ(r.likelihood_names, std::vector<std::string>{"obs"});
  ASSERT_EQ(r.n_obs, std::vector<std::size_t>{3});
  ASSERT_EQ(r.observations[0].size(), 6u);

  Rng rng(99);
  const std::vector<double> x{1.0, 2.0, -0.5};
  for (std::size_t d = 0; d < 2; ++d) {
    std::vector<double> want;
    const double a = 1.0 + 2.0 * rng.normal();
    const double s = std::fabs(3.0 * rng.normal());
    const double zt = rng.normal();
    const double t = 0.5 + 2.0 * zt * std::sqrt(4.0 / rng.chi_square(4.0));
    const double zc = rng.normal();
    const double zc2 = rng.normal();
    const double c = zc * std::sqrt(1.0 / (zc2 * zc2));
    const double u = -1.0 + 4.0 * rng.uniform();
    const double b = rng.uniform() < 0.3 ? 1.0 : 0.0;
    const double k = rng.poisson(2.5);
    const double g = rng.gamma(2.0, 0.25);
    const double e = clamp01(rng.beta(2.0, 3.0));
    const double w0 = 0.5 + 1.5 * rng.normal();
    const double w1 = 0.5 + 1.5 * rng.normal();
    want = {a, s, t, c, u, b, k, g, e, w0, w1};
    for (std::size_t i = 0; i < want.size(); ++i) {
      expect_close(r.params[i][d], want[i], r.param_names[i] + " draw " + std::to_string(d));
    }
    EXPECT_EQ(r.params[6][d], std::floor(r.params[6][d]));  // a Poisson count
    for (std::size_t i = 0; i < 3; ++i) {
      expect_close(r.observations[0][d * 3 + i], a * x[i] + rng.normal() * s, "obs");
    }
  }
}

// A hyperparameter reads the value drawn for its parameter earlier in the same draw; with the
// name declared twice it reads the scalar prior compilation resolved, not a vector of that name.
TEST(PriorPredictive, HierarchicalHyperparametersResolveWithinTheDraw) {
  const std::vector<PriorSpec> priors{
      prior::Normal{"m", fixed(5.0), fixed(1.0)}, prior::HalfNormal{"s", fixed(2.0)},
      prior::VectorNormal{"s", 2, 0.0, 1.0}, prior::Normal{"b", from("m"), from("s")},
      prior::HalfNormal{"h", from("s")}};
  const PriorPredictive r = sample_prior_predictive(priors, {}, small_data(), 3, 11);
  ASSERT_EQ(r.param_names, (std::vector<std::string>{"m", "s", "s[0]", "s[1]", "b", "h"}));
  Rng rng(11);
  for (std::size_t d = 0; d < 3; ++d) {
    const double m = 5.0 + rng.normal();
    const double s = std::fabs(2.0 * rng.normal());
    rng.normal();
    rng.normal();
    const double b = m + s * rng.normal();
    const double h = std::fabs(s * rng.normal());
    expect_close(r.params[4][d], b, "b");
    expect_close(r.params[5][d], h, "h");
  }
}

// A scalar prior used with @ becomes a block: each coordinate is drawn from the prior, and the
// simulated means are the matrix times the drawn block.
TEST(PriorPredictive, WidenedPriorIsDrawnCoordinateByCoordinate) {
  const std::vector<PriorSpec> priors{prior::Normal{"beta", fixed(1.0), fixed(2.0)},
                                      prior::Gamma{"g", 3.0, 2.0},
                                      prior::HalfNormal{"sigma", fixed(0.5)}};
  const std::vector<LikelihoodSpec> liks{
      lik(sum(matrix_times_param("beta", "X"), matrix_times_param("g", "X")), from("sigma"))};
  const PriorPredictive r = sample_prior_predictive(priors, liks, small_data(), 1, 5);
  ASSERT_EQ(r.param_names,
            (std::vector<std::string>{"beta[0]", "beta[1]", "g[0]", "g[1]", "sigma"}));
  Rng rng(5);
  const double b0 = 1.0 + 2.0 * rng.normal();
  const double b1 = 1.0 + 2.0 * rng.normal();
  const double g0 = rng.gamma(3.0, 0.5);
  const double g1 = rng.gamma(3.0, 0.5);
  const double sigma = std::fabs(0.5 * rng.normal());
  const std::vector<double> want{b0, b1, g0, g1, sigma};
  for (std::size_t i = 0; i < want.size(); ++i) expect_close(r.params[i][0], want[i], "param");
  const std::vector<double> X{1.0, 0.5, -1.0, 0.2, 0.3, 2.0};
  for (std::size_t i = 0; i < 3; ++i) {
    const double mean = X[2 * i] * (b0 + g0) + X[2 * i + 1] * (b1 + g1);
    expect_close(r.observations[0][i], mean + rng.normal() * sigma, "obs");
  }
}

TEST(PriorPredictive, ShapesWithoutDrawsOrLikelihoods) {
  const std::vector<PriorSpec> priors{prior::Normal{"a", fixed(0.0), fixed(1.0)},
                                      prior::VectorNormal{"w", 3, 0.0, 1.0}};
  const std::vector<LikelihoodSpec> liks{lik(param_term("a"), fixed(1.0), "y", "first"),
                                         lik(param_term("a"), fixed(2.0), "y", "second")};
  const PriorPredictive empty = sample_prior_predictive(priors, liks, small_data(), 0, 1);
  EXPECT_EQ(empty.params.size(), 4u);
  for (const auto& column : empty.params) EXPECT_TRUE(column.empty());
  EXPECT_EQ(empty.likelihood_names, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(empty.n_obs, (std::vector<std::size_t>{3, 3}));
  for (const auto& obs : empty.observations) EXPECT_TRUE(obs.empty());

  const PriorPredictive bare = sample_prior_predictive(priors, {}, BoundData{}, 4, 1);
  EXPECT_TRUE(bare.likelihood_names.empty());
  EXPECT_TRUE(bare.observations.empty());
  EXPECT_EQ(bare.params.at(3).size(), 4u);
}

// A scalar mean is shared by the observations of a draw, each with its own noise.
TEST(PriorPredictive, ScalarMeanGetsNoisePerObservation) {
  const PriorPredictive r = sample_prior_predictive(
      {prior::Normal{"a", fixed(0.0), fixed(1.0)}}, {lik(param_term("a"), fixed(0.25))},
      small_data(), 1, 3);
  Rng rng(3);
  const double a = rng.normal();
  for (std::size_t i = 0; i < 3; ++i) {
    expect_close(r.observations[0][i], a + rng.normal() * 0.25, "obs");
  }
}

TEST(PriorPredictive, BernoulliDrawsAreZeroOrOneAndHonourTheEdges) {
  const PriorPredictive r = sample_prior_predictive(
      {prior::Bernoulli{"never", 0.0}, prior::Bernoulli{"always", 1.0},
       prior::Bernoulli{"half", 0.5}},
      {}, BoundData{}, 200, 8);
  for (double v : r.params[0]) EXPECT_EQ(v, 0.0);
  for (double v : r.params[1]) EXPECT_EQ(v, 1.0);
  std::size_t ones = 0;
  for (double v : r.params[2]) {
    EXPECT_TRUE(v == 0.0 || v == 1.0);
    ones += v == 1.0 ? 1 : 0;
  }
  EXPECT_GT(ones, 0u);
  EXPECT_LT(ones, 200u);
}

// Parameters that admit no draw, met directly (compilation already refuses the fixed ones).
TEST(PriorPredictive, ParametersWithoutADrawAreUserErrors) {
  struct Case {
    PriorSpec prior;
    ResolvedScale hypers;
    std::string message;
  };
  const std::string from_s = "s";
  const std::vector<Case> cases{
      {prior::StudentT{"t", 0.0, 0.0, 1.0}, {},
       "Prior 't': 'nu' must be positive and finite, got 0.0"},
      {prior::StudentT{"t", -2.0, 0.0, 1.0}, {},
       "Prior 't': 'nu' must be positive and finite, got -2.0"},
      {prior::StudentT{"t", 3.0, 0.0, kInf}, {}, "Prior 't': 'sigma' must be finite, got inf"},
      {prior::Uniform{"u", 2.0, 2.0}, {},
       "Prior 'u': 'lower' must be less than 'upper', got lower=2.0, upper=2.0"},
      {prior::Uniform{"u", -1e308, 1e308}, {},
       "Prior 'u': the width upper - lower must be finite, got lower=-1e+308, upper=1e+308"},
      {prior::Gamma{"g", 0.0, 1.0}, {}, "Prior 'g': 'alpha' must be positive and finite, got 0.0"},
      {prior::Gamma{"g", 2.0, -1.0}, {}, "Prior 'g': 'beta' must be positive and finite, got -1.0"},
      {prior::Gamma{"g", 2.0, kInf}, {}, "Prior 'g': 'beta' must be positive and finite, got inf"},
      {prior::Beta{"e", -1.0, 1.0}, {}, "Prior 'e': 'alpha' must be positive and finite, got -1.0"},
      {prior::Beta{"e", 1.0, 0.0}, {}, "Prior 'e': 'beta' must be positive and finite, got 0.0"},
      {prior::Poisson{"k", -1.0}, {}, "Prior 'k': 'lam' must be non-negative and finite, got -1.0"},
      {prior::Normal{"n", fixed(0.0), fixed(1.0)}, {0.0, -kInf, nullptr},
       "Prior 'n': 'sigma' must be finite, got -inf"},
      {prior::HalfNormal{"h", from("s")}, {0.0, kInf, &from_s},
       "Prior 'h': 'sigma' must be finite, got inf (the value drawn for 's')"},
      {prior::VectorNormal{"w", 2, 0.0, kInf}, {}, "Prior 'w': 'sigma' must be finite, got inf"},
  };
  for (const auto& c : cases) {
    Rng rng(1);
    try {
      draw_prior_value(c.prior, c.hypers, rng);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const UserError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

// Scales that overflow only in the draw: a gamma variate beyond the largest double used as a
// hyperparameter or as a likelihood's sigma.
TEST(PriorPredictive, InfiniteDrawnScalesAreUserErrors) {
  const PriorSpec huge = prior::Gamma{"g", 1e300, 1e-10};
  EXPECT_EQ(user_error({huge, prior::Normal{"b", fixed(0.0), from("g")}}, {}),
            "Prior 'b': 'sigma' must be finite, got inf (the value drawn for 'g')");
  EXPECT_EQ(user_error({prior::Normal{"a", fixed(0.0), fixed(1.0)}, huge},
                       {lik(param_term("a"), from("g"))}),
            "Likelihood 'obs': 'sigma' must be finite, got inf at draw 0");
}

TEST(PriorPredictive, MissingObservedColumnNamesTheKey) {
  EXPECT_EQ(user_error({prior::Normal{"a", fixed(0.0), fixed(1.0)}},
                       {lik(param_term("a"), fixed(1.0), "nope")}),
            "Missing data key: nope");
}

TEST(PriorPredictive, SameSeedSameDraws) {
  const std::vector<PriorSpec> priors{prior::StudentT{"t", 3.0, 0.0, 1.0},
                                      prior::HalfNormal{"s", fixed(1.0)}};
  const std::vector<LikelihoodSpec> liks{lik(param_times_data("t", "x"), from("s"))};
  const PriorPredictive a = sample_prior_predictive(priors, liks, small_data(), 20, 4);
  const PriorPredictive b = sample_prior_predictive(priors, liks, small_data(), 20, 4);
  const PriorPredictive c = sample_prior_predictive(priors, liks, small_data(), 20, 5);
  EXPECT_EQ(a.params, b.params);
  EXPECT_EQ(a.observations, b.observations);
  EXPECT_NE(a.params, c.params);
}

}  // namespace
}  // namespace vorpex
