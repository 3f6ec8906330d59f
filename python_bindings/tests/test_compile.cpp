// Tests of model compilation: coordinate layout, widening, fused and general mean paths, every
// compilation message and the order in which they are found, and the log density of compiled
// models (by hand and against finite differences).
#include "compile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "autodiff.hpp"
#include "errors.hpp"

namespace vorpex {
namespace {

constexpr double kC0 = 0.9189385332046727;  // ln sqrt(2 pi)
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Hyper fixed(double v) { return hyper::Fixed{v}; }
Hyper from(const char* name) { return hyper::FromParam{name}; }

LikelihoodSpec lik(MuExpr mean, Hyper sigma = fixed(1.0), const char* obs = "y",
                   const char* name = "obs") {
  return LikelihoodSpec{name, std::move(mean), std::move(sigma), obs};
}

// y, x, x2 of length 4; X of 4 x 3.
BoundData standard_data() {
  BoundData d;
  d.vectors.insert_or_assign("y", {0.5, -1.0, 2.0, 0.25});
  d.vectors.insert_or_assign("x", {1.0, 2.0, -0.5, 0.0});
  d.vectors.insert_or_assign("x2", {0.3, -0.7, 1.1, 2.0});
  d.matrices.insert_or_assign("X", BoundMatrix{{1.0, 0.5, -1.0, 0.2, 0.0, 1.0, -0.3, 2.0, 0.7,
                                                 1.5, -0.4, 0.1},
                                                4, 3});
  return d;
}

CompiledModel compile(const std::vector<PriorSpec>& priors,
                      const std::vector<LikelihoodSpec>& liks,
                      const BoundData& data = standard_data(),
                      EntryPoint entry = EntryPoint::Sample) {
  return compile_model(priors, liks, data, entry);
}

std::string compile_error(const std::vector<PriorSpec>& priors,
                          const std::vector<LikelihoodSpec>& liks,
                          const BoundData& data = standard_data(),
                          EntryPoint entry = EntryPoint::Sample) {
  try {
    compile_model(priors, liks, data, entry);
  } catch (const UserError& e) {
    return e.what();
  }
  return "<compiled>";
}

template <class T>
const T& op_of(const Graph& g, NodeId id) {
  const T* p = std::get_if<T>(&g.nodes.at(id).op);
  if (!p) throw std::runtime_error("node " + std::to_string(id) + " has another op");
  return *p;
}

// The mean node of the single likelihood.
NodeId mean_node(const Graph& g) { return g.normal_obs_predictors().at(0).mu; }

double logp_at(const Graph& g, const std::vector<double>& u) {
  Evaluator ev(g);
  ev.compute(g, u);
  return ev.logp;
}

void expect_gradient_matches(const Graph& g, const std::vector<double>& u) {
  Evaluator ev(g);
  ev.compute(g, u);
  ASSERT_TRUE(std::isfinite(ev.logp));
  for (std::size_t i = 0; i < u.size(); ++i) {
    const double h = 1e-5;
    auto f = [&](double d) {
      std::vector<double> v = u;
      v[i] += d;
      return logp_at(g, v);
    };
    const double fd = (8.0 * (f(h) - f(-h)) - (f(2 * h) - f(-2 * h))) / (12.0 * h);
    EXPECT_NEAR(ev.grad[i], fd, 1e-6 * std::max(1.0, std::abs(fd))) << g.param_names[i];
  }
}

// ---- layout ----

TEST(Compile, CoordinatesFollowDeclarationOrder) {
  const auto m = compile({prior::Normal{"a", fixed(0), fixed(1)}, prior::HalfNormal{"b", fixed(1)},
                          prior::VectorNormal{"w", 3, 0.0, 1.0}, prior::Gamma{"g", 2.0, 1.0}},
                         {});
  EXPECT_EQ(m.graph.param_names,
            (std::vector<std::string>{"a", "b", "w[0]", "w[1]", "w[2]", "g"}));
  const std::vector<TransformKind> kinds{TransformKind::Identity, TransformKind::Log,
                                         TransformKind::Identity, TransformKind::Identity,
                                         TransformKind::Identity, TransformKind::Log};
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(m.graph.transforms[i].kind, kinds[i]);
  ASSERT_EQ(m.priors.size(), 4u);
  EXPECT_EQ(m.priors[2].start, 2u);
  EXPECT_EQ(m.priors[2].count, 3u);
  EXPECT_TRUE(m.priors[2].is_vector);
  EXPECT_EQ(m.priors[3].start, 5u);
  EXPECT_FALSE(m.priors[3].is_vector);
}

TEST(Compile, ScalarPriorUsedWithMatmulIsWidenedInPlace) {
  struct Case {
    PriorSpec prior;
    TransformKind kind;
  };
  const std::vector<Case> cases{
      {prior::Normal{"beta", fixed(0), fixed(2)}, TransformKind::Identity},
      {prior::HalfNormal{"beta", fixed(2)}, TransformKind::Log},
      {prior::StudentT{"beta", 3.0, 0.0, 1.0}, TransformKind::Identity},
      {prior::Uniform{"beta", -1.0, 4.0}, TransformKind::Interval},
      {prior::Gamma{"beta", 2.0, 3.0}, TransformKind::Log},
      {prior::Beta{"beta", 2.0, 3.0}, TransformKind::Logit},
  };
  for (const auto& c : cases) {
    const auto m = compile({prior::Normal{"a", fixed(0), fixed(1)}, c.prior,
                            prior::HalfNormal{"s", fixed(1)}},
                           {lik(matrix_times_param("beta", "X"), from("s"))});
    const Graph& g = m.graph;
    EXPECT_EQ(g.param_names, (std::vector<std::string>{"a", "beta[0]", "beta[1]", "beta[2]", "s"}));
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(g.transforms[i].kind, c.kind);
    if (c.kind == TransformKind::Interval) {
      EXPECT_EQ(g.transforms[2].lo, -1.0);
      EXPECT_EQ(g.transforms[2].hi, 4.0);
    }
    const auto& mv = op_of<op::MatVecMul>(g, mean_node(g));
    EXPECT_EQ(mv.start, 1u);
    EXPECT_EQ(mv.count, 3u);
    EXPECT_FALSE(mv.intercept.has_value());
    EXPECT_EQ(mv.transform.kind, c.kind);
    EXPECT_TRUE(m.priors[1].is_vector);
    expect_gradient_matches(g, {0.3, -0.2, 0.4, 0.1, -0.5});
  }
}

TEST(Compile, WideningFailuresNameTheParameter) {
  const auto mean = lik(matrix_times_param("beta", "X"));
  EXPECT_EQ(compile_error({prior::HalfNormal{"t", fixed(1)},
                           prior::Normal{"beta", fixed(0), from("t")}},
                          {mean}),
            "Parameter 'beta' is used in a matrix multiply (@) but has hierarchical "
            "hyperparameters. Hierarchical vector params are not yet supported.");
  EXPECT_EQ(compile_error({prior::HalfNormal{"t", fixed(1)}, prior::HalfNormal{"beta", from("t")}},
                          {mean}),
            "Parameter 'beta' is used in a matrix multiply (@) but has a hierarchical sigma. "
            "Hierarchical vector params are not yet supported.");
  EXPECT_EQ(compile_error({prior::Bernoulli{"beta", 0.5}}, {mean}),
            "Parameter 'beta' is used with @ but has a Bernoulli prior. Discrete distributions "
            "cannot be auto-promoted to vector params.");
  EXPECT_EQ(compile_error({prior::Poisson{"beta", 2.0}}, {mean}),
            "Parameter 'beta' is used with @ but has a Poisson prior. Discrete distributions "
            "cannot be auto-promoted to vector params.");
}

TEST(Compile, VectorNormalKeepsItsDeclaredLength) {
  EXPECT_EQ(compile_error({prior::VectorNormal{"w", 2, 0.0, 1.0}},
                          {lik(matrix_times_param("w", "X"))}),
            "Vector param 'w' has length 2 but matrix 'X' has 3 columns");
  const auto m = compile({prior::VectorNormal{"w", 3, 0.0, 1.0}},
                         {lik(matrix_times_param("w", "X"))});
  EXPECT_EQ(m.graph.n_params, 3u);
}

// ---- mean expressions ----

TEST(Compile, LinearSumBecomesOneFusedNodeOverConstrainedValues) {
  // b1 * x + a + b2 * x2 with a half-normal b1: the coefficient is b1's Exp node.
  const auto m = compile({prior::Normal{"a", fixed(0), fixed(1)}, prior::HalfNormal{"b1", fixed(1)},
                          prior::Normal{"b2", fixed(0), fixed(1)}},
                         {lik(sum(sum(param_times_data("b1", "x"), param_term("a")),
                                  param_times_data("b2", "x2")))});
  const Graph& g = m.graph;
  const auto& f = op_of<op::FusedLinearMu>(g, mean_node(g));
  ASSERT_EQ(f.coefs.size(), 2u);
  const auto& exp_b1 = op_of<op::Exp>(g, f.coefs[0]);
  EXPECT_EQ(g.nodes[exp_b1.a].name, "b1");
  EXPECT_EQ(g.nodes[f.coefs[1]].name, "b2");
  EXPECT_EQ(g.data[f.cols[0]], (std::vector<double>{1.0, 2.0, -0.5, 0.0}));
  EXPECT_EQ(g.data[f.cols[1]], (std::vector<double>{0.3, -0.7, 1.1, 2.0}));
  ASSERT_TRUE(f.intercept.has_value());
  EXPECT_EQ(g.nodes[*f.intercept].name, "a");
}

TEST(Compile, GeneralPathShapes) {
  const std::vector<PriorSpec> priors{prior::Normal{"a", fixed(0), fixed(1)},
                                      prior::Normal{"c", fixed(0), fixed(1)},
                                      prior::Normal{"b", fixed(0), fixed(1)},
                                      prior::VectorNormal{"w", 3, 0.0, 1.0}};
  {  // A lone parameter is broadcast to a column.
    const auto m = compile(priors, {lik(param_term("a"))});
    const auto& bc = op_of<op::ScalarBroadcast>(m.graph, mean_node(m.graph));
    EXPECT_EQ(m.graph.nodes[bc.s].name, "a");
  }
  {  // Two parameters: add, then broadcast.
    const auto m = compile(priors, {lik(sum(param_term("a"), param_term("c")))});
    const auto& bc = op_of<op::ScalarBroadcast>(m.graph, mean_node(m.graph));
    op_of<op::Add>(m.graph, bc.s);
  }
  {  // Matrix product plus a parameter: the scalar always comes first.
    const auto m = compile(priors, {lik(sum(matrix_times_param("w", "X"), param_term("a")))});
    const auto& sba = op_of<op::ScalarBroadcastAdd>(m.graph, mean_node(m.graph));
    EXPECT_EQ(m.graph.nodes[sba.s].name, "a");
    op_of<op::MatVecMul>(m.graph, sba.v);
  }
  {  // Two bare parameters send a linear sum to the general path.
    const auto m = compile(priors, {lik(sum(sum(param_term("a"), param_term("c")),
                                            param_times_data("b", "x")))});
    const auto& sba = op_of<op::ScalarBroadcastAdd>(m.graph, mean_node(m.graph));
    op_of<op::Add>(m.graph, sba.s);
    // A lone product is itself linear, so it becomes a one-term fused node.
    EXPECT_EQ(op_of<op::FusedLinearMu>(m.graph, sba.v).coefs.size(), 1u);
  }
  {  // Two column sides: vector_add.
    const auto m = compile(priors, {lik(sum(matrix_times_param("w", "X"),
                                            sum(param_times_data("b", "x"), param_term("a"))))});
    const auto& va = op_of<op::VectorAdd>(m.graph, mean_node(m.graph));
    op_of<op::MatVecMul>(m.graph, va.a);
    op_of<op::FusedLinearMu>(m.graph, va.b);
  }
}

// The mean reads each parameter on the scale its draws are reported on: for y ~ N(beta * x, 1)
// with beta ~ HalfNormal(1), the density of u = log(beta) is known in closed form.
TEST(Compile, MeanUsesTheConstrainedValue) {
  const BoundData d = standard_data();
  for (const bool fused : {true, false}) {
    // A second bare parameter sends the sum to the general path: beta + z + beta * x.
    std::vector<PriorSpec> priors{prior::HalfNormal{"beta", fixed(1)},
                                  prior::Normal{"z", fixed(0), fixed(1)}};
    MuExpr mean = fused ? param_times_data("beta", "x")
                        : sum(sum(param_term("beta"), param_term("z")), param_times_data("beta", "x"));
    const auto m = compile(priors, {lik(std::move(mean))}, d);
    const double u = 0.4;
    const double beta = std::exp(u);
    double expected = std::log(2.0) - kC0 - 0.5 * beta * beta + u;  // half-normal + Jacobian
    expected += -kC0;                                                // z ~ N(0, 1) at z = 0
    const auto& x = *d.vectors.find("x");
    const auto& y = *d.vectors.find("y");
    double ss = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double r = y[i] - (fused ? 0.0 : beta) - beta * x[i];
      ss += r * r;
    }
    expected += -4.0 * kC0 - 0.5 * ss;
    EXPECT_NEAR(logp_at(m.graph, {u, 0.0}), expected, 1e-12) << (fused ? "fused" : "general");
  }
}

TEST(Compile, GradientOfAMixedModelMatchesFiniteDifferences) {
  // Every constrained family in a mean, hierarchical scales, a widened positive block.
  const auto m = compile(
      {prior::HalfNormal{"tau", fixed(1.5)}, prior::Normal{"mu", fixed(0), from("tau")},
       prior::Gamma{"g", 2.0, 1.0}, prior::Beta{"p", 2.0, 2.0},
       prior::Uniform{"u", 0.5, 3.0}, prior::Gamma{"w", 2.0, 2.0},
       prior::HalfNormal{"sigma", fixed(1)}},
      {lik(sum(sum(param_times_data("g", "x"), param_term("mu")), param_times_data("p", "x2")),
           from("sigma")),
       lik(sum(sum(matrix_times_param("w", "X"), param_term("u")), param_term("mu")), from("u"),
           "y", "obs2")});
  EXPECT_EQ(m.graph.n_params, 9u);
  expect_gradient_matches(m.graph, {0.2, -0.3, 0.1, 0.4, -0.6, 0.3, -0.2, 0.5, -0.1});
}

// ---- messages ----

struct MessageCase {
  const char* what;
  std::vector<PriorSpec> priors;
  std::vector<LikelihoodSpec> liks;
  std::string message;
};

TEST(Compile, EveryNameResolutionMessage) {
  const PriorSpec a = prior::Normal{"a", fixed(0), fixed(1)};
  const std::vector<MessageCase> cases{
      {"matrix key in collect", {a}, {lik(matrix_times_param("a", "Q"))},
       "Missing matrix key 'Q' in data dict"},
      {"hyperparameter", {prior::Normal{"b", from("t"), fixed(1)}}, {},
       "Hyperparameter 't' not found. Declare it before the prior that references it."},
      {"hyperparameter declared later",
       {prior::Normal{"b", fixed(0), from("t")}, prior::HalfNormal{"t", fixed(1)}}, {},
       "Hyperparameter 't' not found. Declare it before the prior that references it."},
      {"vector as hyperparameter",
       {prior::VectorNormal{"v", 2, 0.0, 1.0}, prior::Normal{"b", from("v"), fixed(1)}}, {},
       "Hyperparameter 'v' not found. Declare it before the prior that references it."},
      {"likelihood sigma", {a}, {lik(param_term("a"), from("s"))},
       "sigma parameter 's' not found. Did you declare it as a prior?"},
      {"likelihood sigma naming a vector", {a, prior::VectorNormal{"s", 3, 0.0, 1.0}},
       {lik(param_term("a"), from("s"))},
       "sigma parameter 's' not found. Did you declare it as a prior?"},
      {"unknown param, general", {a}, {lik(param_term("nope"))}, "Unknown param: nope"},
      {"unknown param, fused coefficient", {a}, {lik(param_times_data("nope", "x"))},
       "Unknown param: nope"},
      {"unknown param, fused intercept", {a},
       {lik(sum(param_times_data("a", "x"), param_term("nope")))}, "Unknown param: nope"},
      {"widened parameter used as a scalar", {prior::Normal{"w", fixed(0), fixed(1)}},
       {lik(sum(matrix_times_param("w", "X"), param_term("w")))}, "Unknown param: w"},
      {"missing column, fused", {a}, {lik(param_times_data("a", "q"))}, "Missing data key: q"},
      {"missing column, general", {a},
       {lik(sum(sum(param_term("a"), param_term("a")), param_times_data("a", "q")))},
       "Missing data key: q"},
      {"unknown vector param", {a}, {lik(matrix_times_param("nope", "X"))},
       "Unknown vector param 'nope' \u2014 did you call vector_normal_prior?"},
      {"observed key", {a}, {lik(param_term("a"), fixed(1), "yy")},
       "Missing observed data key: yy"},
  };
  for (const auto& c : cases) EXPECT_EQ(compile_error(c.priors, c.liks), c.message) << c.what;
}

TEST(Compile, ObservedKeyMessageDependsOnTheEntryPoint) {
  const std::vector<PriorSpec> priors{prior::Normal{"a", fixed(0), fixed(1)}};
  const std::vector<LikelihoodSpec> liks{lik(param_term("a"), fixed(1), "yy")};
  EXPECT_EQ(compile_error(priors, liks, standard_data(), EntryPoint::Sample),
            "Missing observed data key: yy");
  EXPECT_EQ(compile_error(priors, liks, standard_data(), EntryPoint::BatchSample),
            "Missing data key: yy");
  EXPECT_EQ(compile_error(priors, liks, standard_data(), EntryPoint::PriorPredictive),
            "Missing data key: yy");
}

TEST(Compile, OrderOfDetection) {
  // Matrix keys of every likelihood come before any prior.
  EXPECT_EQ(compile_error({prior::Normal{"b", from("t"), fixed(1)}},
                          {lik(param_term("b")), lik(matrix_times_param("w", "Q"))}),
            "Missing matrix key 'Q' in data dict");
  // Priors before any likelihood; within a prior, mu before sigma.
  EXPECT_EQ(compile_error({prior::Normal{"b", from("m"), from("t")}},
                          {lik(param_term("nope"))}),
            "Hyperparameter 'm' not found. Declare it before the prior that references it.");
  EXPECT_EQ(compile_error({prior::Normal{"b", fixed(kNaN), from("t")}}, {}),
            "Prior 'b': 'mu' must be finite, got nan");
  // Within a likelihood: mean, then sigma, then observed key.
  const std::vector<PriorSpec> a{prior::Normal{"a", fixed(0), fixed(1)}};
  EXPECT_EQ(compile_error(a, {lik(param_term("nope"), from("s"), "yy")}), "Unknown param: nope");
  EXPECT_EQ(compile_error(a, {lik(param_term("a"), from("s"), "yy")}),
            "sigma parameter 's' not found. Did you declare it as a prior?");
  // Likelihoods in declaration order; lengths only once everything else compiled.
  BoundData d = standard_data();
  d.vectors.insert_or_assign("short", {1.0});
  EXPECT_EQ(compile_error(a, {lik(param_times_data("a", "short")), lik(param_term("nope"))}, d),
            "Unknown param: nope");
}

TEST(Compile, ImpossibleFixedValuesAreRefused) {
  const std::vector<MessageCase> cases{
      {"normal mu", {prior::Normal{"n", fixed(kInf), fixed(1)}}, {},
       "Prior 'n': 'mu' must be finite, got inf"},
      {"normal sigma", {prior::Normal{"n", fixed(0), fixed(0)}}, {},
       "Prior 'n': 'sigma' must be positive and finite, got 0.0"},
      {"half-normal sigma", {prior::HalfNormal{"h", fixed(-1)}}, {},
       "Prior 'h': 'sigma' must be positive and finite, got -1.0"},
      {"student-t nu", {prior::StudentT{"t", 0.0, 0.0, 1.0}}, {},
       "Prior 't': 'nu' must be positive and finite, got 0.0"},
      {"student-t mu", {prior::StudentT{"t", 3.0, -kInf, 1.0}}, {},
       "Prior 't': 'mu' must be finite, got -inf"},
      {"student-t sigma", {prior::StudentT{"t", 3.0, 0.0, kNaN}}, {},
       "Prior 't': 'sigma' must be positive and finite, got nan"},
      {"uniform bound", {prior::Uniform{"u", 0.0, kInf}}, {},
       "Prior 'u': 'upper' must be finite, got inf"},
      {"uniform order", {prior::Uniform{"u", 1.0, 1.0}}, {},
       "Prior 'u': 'lower' must be less than 'upper', got lower=1.0, upper=1.0"},
      {"bernoulli p", {prior::Bernoulli{"b", 1.5}}, {},
       "Prior 'b': 'p' must be between 0 and 1, got 1.5"},
      {"poisson lam", {prior::Poisson{"k", 0.0}}, {},
       "Prior 'k': 'lam' must be positive and finite, got 0.0"},
      {"gamma alpha", {prior::Gamma{"g", -2.0, 1.0}}, {},
       "Prior 'g': 'alpha' must be positive and finite, got -2.0"},
      {"gamma rate", {prior::Gamma{"g", 2.0, 0.0}}, {},
       "Prior 'g': 'beta' must be positive and finite, got 0.0"},
      {"beta beta", {prior::Beta{"p", 1.0, -0.5}}, {},
       "Prior 'p': 'beta' must be positive and finite, got -0.5"},
      {"vector sigma", {prior::VectorNormal{"v", 2, 0.0, -1e300}}, {},
       "Prior 'v': 'sigma' must be positive and finite, got -1e+300"},
      {"widened sigma", {prior::HalfNormal{"w", fixed(0)}}, {lik(matrix_times_param("w", "X"))},
       "Prior 'w': 'sigma' must be positive and finite, got 0.0"},
      {"likelihood sigma", {prior::Normal{"a", fixed(0), fixed(1)}},
       {lik(param_term("a"), fixed(-2), "y", "obs")},
       "Likelihood 'obs': 'sigma' must be positive and finite, got -2.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(compile_error(c.priors, c.liks), c.message) << c.what;
  // Edges that are possible compile.
  EXPECT_EQ(compile_error({prior::Bernoulli{"b", 0.0}, prior::Bernoulli{"c", 1.0},
                           prior::Uniform{"u", -1.0, -0.5}},
                          {}),
            "<compiled>");
}

TEST(Compile, ScaleParametersMustBePositive) {
  const std::string need =
      " does not keep it positive; a scale parameter needs a half_normal_prior, gamma_prior, "
      "beta_prior or uniform_prior with lower >= 0";
  const std::vector<MessageCase> cases{
      {"normal as sigma",
       {prior::Normal{"t", fixed(0), fixed(1)}, prior::Normal{"b", fixed(0), from("t")}}, {},
       "Prior 'b': 'sigma' names parameter 't', whose normal prior" + need},
      {"student-t as half-normal sigma",
       {prior::StudentT{"t", 3.0, 0.0, 1.0}, prior::HalfNormal{"b", from("t")}}, {},
       "Prior 'b': 'sigma' names parameter 't', whose Student-t prior" + need},
      {"uniform below zero as likelihood sigma",
       {prior::Uniform{"t", -1.0, 1.0}, prior::Normal{"a", fixed(0), fixed(1)}},
       {lik(param_term("a"), from("t"))},
       "Likelihood 'obs': 'sigma' names parameter 't', whose uniform prior with lower -1.0" +
           need},
      {"poisson", {prior::Poisson{"t", 2.0}, prior::HalfNormal{"b", from("t")}}, {},
       "Prior 'b': 'sigma' names parameter 't', whose Poisson prior" + need},
  };
  for (const auto& c : cases) EXPECT_EQ(compile_error(c.priors, c.liks), c.message) << c.what;
  // Any scalar may be a location; positive families may be scales.
  EXPECT_EQ(compile_error({prior::StudentT{"m", 3.0, 0.0, 1.0}, prior::HalfNormal{"h", fixed(1)},
                           prior::Gamma{"g", 2.0, 1.0}, prior::Beta{"p", 2.0, 2.0},
                           prior::Uniform{"u", 0.0, 2.0}, prior::Normal{"n1", from("m"), from("h")},
                           prior::Normal{"n2", fixed(0), from("g")},
                           prior::HalfNormal{"n3", from("p")}},
                          {lik(param_term("n1"), from("u"))}),
            "<compiled>");
}

TEST(Compile, LengthsMustMatchTheObservationCount) {
  BoundData d = standard_data();
  d.vectors.insert_or_assign("x5", {1.0, 2.0, 3.0, 4.0, 5.0});
  d.vectors.insert_or_assign("y5", {1.0, 2.0, 3.0, 4.0, 5.0});
  d.matrices.insert_or_assign("X5", BoundMatrix{std::vector<double>(10, 1.0), 5, 2});
  const std::vector<PriorSpec> priors{prior::Normal{"a", fixed(0), fixed(1)},
                                      prior::Normal{"b", fixed(0), fixed(1)},
                                      prior::VectorNormal{"w", 2, 0.0, 1.0}};
  const std::vector<MessageCase> cases{
      {"column", priors, {lik(sum(param_times_data("a", "x"), param_times_data("b", "x5")))},
       "Data key 'x5' has length 5 but the model's observation count is 4 (the length of data "
       "key 'x')"},
      {"observed", priors, {lik(param_times_data("a", "x"), fixed(1), "y5")},
       "Observed data key 'y5' has length 5 but the model's observation count is 4 (the length "
       "of data key 'x')"},
      {"matrix rows", priors,
       {lik(sum(matrix_times_param("w", "X5"), param_times_data("a", "x")))},
       "Matrix key 'X5' has 5 rows but the model's observation count is 4 (the length of data "
       "key 'x')"},
      {"second likelihood's observed vector", priors,
       {lik(param_term("a")), lik(param_term("b"), fixed(1), "y5", "other")},
       "Observed data key 'y5' has length 5 but the model's observation count is 4 (the length "
       "of observed data key 'y')"},
      {"observed against matrix rows", priors,
       {lik(matrix_times_param("w", "X5"), fixed(1), "y")},
       "Matrix key 'X5' has 5 rows but the model's observation count is 4 (the length of "
       "observed data key 'y')"},
  };
  for (const auto& c : cases) EXPECT_EQ(compile_error(c.priors, c.liks, d), c.message) << c.what;
  // Empty columns are consistent with each other.
  BoundData empty;
  empty.vectors.insert_or_assign("x", {});
  empty.vectors.insert_or_assign("y", {});
  EXPECT_EQ(compile_error(priors, {lik(param_times_data("a", "x"))}, empty), "<compiled>");
}

TEST(Compile, NonFiniteDataIsRefusedWithKeyAndIndex) {
  const std::vector<PriorSpec> priors{prior::Normal{"a", fixed(0), fixed(1)},
                                      prior::VectorNormal{"w", 3, 0.0, 1.0}};
  struct Case {
    const char* key;
    std::size_t index;
    double value;
    MuExpr mean;
    std::string message;
  };
  std::vector<Case> cases;
  cases.push_back({"x", 2, kNaN, param_times_data("a", "x"),
                   "Data key 'x' holds a non-finite value (nan) at index 2"});
  cases.push_back({"x", 0, kInf, sum(sum(param_term("a"), param_term("a")),
                                     param_times_data("a", "x")),
                   "Data key 'x' holds a non-finite value (inf) at index 0"});
  cases.push_back({"y", 3, -kInf, param_term("a"),
                   "Data key 'y' holds a non-finite value (-inf) at index 3"});
  cases.push_back({"X", 7, kNaN, matrix_times_param("w", "X"),
                   "Matrix key 'X' holds a non-finite value (nan) at index [2, 1]"});
  for (auto& c : cases) {
    BoundData d = standard_data();
    if (std::string(c.key) == "X") {
      BoundMatrix m = *d.matrices.find("X");
      m.values[c.index] = c.value;
      d.matrices.insert_or_assign("X", m);
    } else {
      std::vector<double> v = *d.vectors.find(c.key);
      v[c.index] = c.value;
      d.vectors.insert_or_assign(c.key, v);
    }
    EXPECT_EQ(compile_error(priors, {lik(std::move(c.mean))}, d), c.message);
  }
  // Data the model does not use may hold anything.
  BoundData d = standard_data();
  d.vectors.insert_or_assign("unused", {kNaN});
  EXPECT_EQ(compile_error(priors, {lik(param_times_data("a", "x"))}, d), "<compiled>");
}

TEST(Compile, CompilingTwiceGivesIdenticalGraphs) {
  const std::vector<PriorSpec> priors{prior::Normal{"a", fixed(0), fixed(1)},
                                      prior::Gamma{"w", 2.0, 1.0}};
  const std::vector<LikelihoodSpec> liks{
      lik(sum(matrix_times_param("w", "X"), param_term("a")))};
  const auto m1 = compile(priors, liks);
  const auto m2 = compile(priors, liks);
  EXPECT_EQ(m1.graph.nodes.size(), m2.graph.nodes.size());
  EXPECT_EQ(m1.graph.param_names, m2.graph.param_names);
  EXPECT_EQ(m1.graph.logp_terms, m2.graph.logp_terms);
  const std::vector<double> u{0.1, 0.2, -0.3, 0.4};
  EXPECT_EQ(logp_at(m1.graph, u), logp_at(m2.graph, u));
}

TEST(Compile, NoDataCheckAndValueFormat) {
  ModelSpec spec;
  EXPECT_NO_THROW(require_data(spec, {}));
  spec.likelihoods.push_back(lik(param_term("a")));
  try {
    require_data(spec, {});
    ADD_FAILURE() << "no error";
  } catch (const UserError& e) {
    EXPECT_STREQ(e.what(),
                 "No data provided. Pass data= to sample() or bind it via ModelBuilder(data=...).");
  }
  EXPECT_EQ(format_value(1.0), "1.0");
  EXPECT_EQ(format_value(-0.5), "-0.5");
  EXPECT_EQ(format_value(1e-5), "1e-05");
  EXPECT_EQ(format_value(-kInf), "-inf");
}

}  // namespace
}  // namespace vorpex
