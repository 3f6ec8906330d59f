// Tests of the evaluator: gradients of every operation against finite differences, known values
// of the densities and special functions, and the checks made when an evaluator is created.
#include "autodiff.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "errors.hpp"
#include "graph.hpp"

namespace vorpex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kC0 = 0.9189385332046727;

double logp_at(const Graph& g, std::vector<double> u) {
  Evaluator ev(g);
  ev.compute(g, u);
  return ev.logp;
}

// Compares the gradient with a five-point central difference in each coordinate. The step
// follows the coordinate's scale so that points close to a support boundary stay inside it.
void expect_gradient_matches(const Graph& g, const std::vector<double>& u, const std::string& what) {
  Evaluator ev(g);
  ev.compute(g, u);
  ASSERT_TRUE(std::isfinite(ev.logp)) << what;
  for (std::size_t i = 0; i < u.size(); ++i) {
    const double h = 1e-6 * std::max(std::abs(u[i]), 1e-2);
    auto f = [&](double d) {
      std::vector<double> v = u;
      v[i] += d;
      return logp_at(g, v);
    };
    const double fd = (8.0 * (f(h) - f(-h)) - (f(2 * h) - f(-2 * h))) / (12.0 * h);
    EXPECT_NEAR(ev.grad[i], fd, 1e-6 * std::max(1.0, std::abs(fd)))
        << what << ", coordinate " << i << " at u[i] = " << u[i];
  }
}

// A graph of scalar parameters p0..p(k-1), one Param node each (node id = coordinate).
Graph params(std::size_t k) {
  Graph g;
  for (std::size_t i = 0; i < k; ++i) {
    std::string name = "p";
    name += std::to_string(i);
    g.add_param_with_transform(name, Transform::identity());
  }
  return g;
}

// Closes a column node with a normal likelihood whose scale is exp of a new last coordinate.
void observe(Graph& g, NodeId mean, std::vector<double> y) {
  const NodeId log_sigma = g.add_param_with_transform("log_sigma", Transform::identity());
  const NodeId sigma = g.add_node(op::Exp{log_sigma});
  g.normal_obs_logp(mean, sigma, g.add_obs_data(std::move(y)));
}

struct GradientCase {
  std::string name;
  std::function<Graph()> build;
  std::vector<std::vector<double>> points;
};

std::vector<GradientCase> gradient_cases() {
  auto binary = [](auto op_value) {
    return [op_value] {
      Graph g = params(2);
      g.logp_terms.push_back(g.add_node(decltype(op_value){0, 1}));
      return g;
    };
  };
  auto unary = [](auto op_value) {
    return [op_value] {
      Graph g = params(1);
      g.logp_terms.push_back(g.add_node(decltype(op_value){0}));
      return g;
    };
  };
  const std::vector<double> x3 = {0.5, -1.0, 2.0};
  const std::vector<double> y3 = {1.0, 0.2, -0.7};
  auto matvec = [x3, y3](Transform t, bool intercept) {
    return [=] {
      Graph g = params(1);  // the intercept
      const std::size_t start = g.add_vector_params_with_transform("w", 2, t);
      const std::size_t m = g.store_matrix({1.0, 0.5, -2.0, 0.25, 0.75, 3.0}, 3, 2);
      const NodeId mu = g.mat_vec_mul(m, start, 2, intercept ? std::optional<NodeId>(0) : std::nullopt);
      observe(g, mu, y3);
      return g;
    };
  };
  return {
      {"Add", binary(op::Add{}), {{0.3, -1.2}}},
      {"Sub", binary(op::Sub{}), {{0.3, -1.2}}},
      {"Mul", binary(op::Mul{}), {{0.3, -1.2}, {0.0, 2.0}}},
      {"Div", binary(op::Div{}), {{0.3, -1.2}, {-2.0, 1e-2}}},
      {"Neg", unary(op::Neg{}), {{0.7}}},
      {"Exp", unary(op::Exp{}), {{0.7}, {-30.0}}},
      {"Log", unary(op::Log{}), {{0.7}, {1e-3}}},
      {"Sigmoid", unary(op::Sigmoid{}), {{0.7}, {-20.0}, {20.0}}},
      {"Square", unary(op::Square{}), {{-0.7}}},
      {"ScalarMulData of a data column",
       [x3, y3] {
         Graph g = params(1);
         observe(g, g.scalar_mul_data(0, g.add_data("x", x3)), y3);
         return g;
       },
       {{0.4, 0.1}, {-2.0, -1.0}}},
      {"ScalarMulData of a computed column",
       [x3, y3] {
         Graph g = params(2);
         const NodeId v = g.scalar_mul_data(1, g.add_data("x", x3));
         observe(g, g.scalar_mul_data(0, v), y3);
         return g;
       },
       {{0.4, 0.9, 0.1}}},
      {"VectorAdd of computed and data columns",
       [x3, y3] {
         Graph g = params(2);
         const NodeId x = g.add_data("x", x3);
         const NodeId a = g.scalar_mul_data(0, x);
         const NodeId b = g.scalar_broadcast(1);
         observe(g, g.vector_add(g.vector_add(a, b), x), y3);
         return g;
       },
       {{0.4, -0.3, 0.2}}},
      {"ScalarBroadcastAdd",
       [x3, y3] {
         Graph g = params(2);
         const NodeId v = g.scalar_mul_data(1, g.add_data("x", x3));
         observe(g, g.scalar_broadcast_add(0, v), y3);
         return g;
       },
       {{0.4, -0.3, 0.2}}},
      {"ScalarBroadcastAdd of a data column",
       [x3, y3] {
         Graph g = params(1);
         observe(g, g.scalar_broadcast_add(0, g.add_data("x", x3)), y3);
         return g;
       },
       {{0.4, 0.2}}},
      {"ScalarBroadcast",
       [y3] {
         Graph g = params(1);
         observe(g, g.scalar_broadcast(0), y3);
         return g;
       },
       {{0.4, 0.2}, {5.0, -3.0}}},
      {"FusedLinearMu with intercept",
       [x3, y3] {
         Graph g = params(3);
         const std::size_t c0 = g.store_data_vec(x3);
         const std::size_t c1 = g.store_data_vec(y3);
         observe(g, g.fused_linear_mu({1, 2}, {c0, c1}, 0), {0.1, 0.2, 0.3});
         return g;
       },
       {{0.4, -0.3, 0.2, 0.1}}},
      {"FusedLinearMu without intercept",
       [x3, y3] {
         Graph g = params(1);
         observe(g, g.fused_linear_mu({0}, {g.store_data_vec(x3)}, std::nullopt), y3);
         return g;
       },
       {{0.4, -1.0}}},
      {"MatVecMul Identity", matvec(Transform::identity(), true), {{0.3, 0.5, -1.0, 0.2}}},
      {"MatVecMul Identity without intercept", matvec(Transform::identity(), false),
       {{0.0, 0.5, -1.0, 0.2}}},
      {"MatVecMul Log", matvec(Transform::log(), true), {{0.3, 0.5, -1.0, 0.2}, {0.3, -6.0, 2.0, 0.0}}},
      {"MatVecMul Logit", matvec(Transform::logit(), true), {{0.3, 0.5, -1.0, 0.2}, {0.3, 8.0, -8.0, 0.0}}},
      {"MatVecMul Interval", matvec(Transform::interval(-2.0, 3.0), true),
       {{0.3, 0.5, -1.0, 0.2}, {0.3, 7.0, -7.0, 0.0}}},
      {"ScalarBroadcastAdd over a matrix product",
       [y3] {
         Graph g = params(1);
         const std::size_t w = g.add_vector_params_with_transform("w", 2, Transform::log());
         const NodeId prod = g.mat_vec_mul(g.store_matrix({1, 2, 3, 4, 5, 6}, 3, 2), w, 2, std::nullopt);
         observe(g, g.scalar_broadcast_add(0, prod), y3);
         return g;
       },
       {{0.3, -0.5, 0.4, 0.1}}},
      {"two likelihoods of one matrix product",
       [y3] {
         Graph g = params(1);
         const std::size_t w = g.add_vector_params("w", 2);
         const NodeId prod = g.mat_vec_mul(g.store_matrix({1, 2, 3, 4, 5, 6}, 3, 2), w, 2, std::nullopt);
         g.normal_obs_logp(prod, g.add_node(op::Exp{0}), g.add_obs_data(y3));
         g.normal_obs_logp(prod, g.add_constant(2.0), g.add_obs_data({0.0, 1.0, 2.0}));
         return g;
       },
       {{0.3, -0.5, 0.4}}},
      {"NormalObsLogp over a data column",
       [x3, y3] {
         Graph g = params(1);
         g.normal_obs_logp(g.add_data("x", x3), 0, g.add_obs_data(y3));
         return g;
       },
       {{0.8}}},
      {"a coordinate read by two Param nodes",
       [] {
         Graph g = params(1);
         const NodeId again = g.add_node(op::Param{0});
         g.logp_terms.push_back(g.add_node(op::Mul{0, again}));
         g.logp_terms.push_back(g.add_node(op::Exp{again}));
         return g;
       },
       {{0.7}}},
      {"NormalObsLogp scale",
       [y3] {
         Graph g = params(2);
         g.normal_obs_logp(g.scalar_broadcast(0), 1, g.add_obs_data(y3));
         return g;
       },
       {{0.4, 0.8}, {-1.0, 3.0}}},
      {"NormalLogp",
       [] {
         Graph g = params(3);
         g.logp_terms.push_back(g.add_node(op::NormalLogp{0, 1, 2}));
         return g;
       },
       {{0.3, -0.5, 1.5}, {4.0, 0.0, 0.05}}},
      {"HalfNormalLogp",
       [] {
         Graph g = params(2);
         g.logp_terms.push_back(g.add_node(op::HalfNormalLogp{0, 1}));
         return g;
       },
       {{0.3, 1.5}, {1e-3, 0.5}, {6.0, 2.0}}},
      {"StudentTLogp",
       [] {
         Graph g = params(4);
         g.logp_terms.push_back(g.add_node(op::StudentTLogp{0, 1, 2, 3}));
         return g;
       },
       {{0.3, 4.0, -0.5, 1.5}, {10.0, 0.5, 0.0, 0.3}, {-2.0, 30.0, 1.0, 2.0}}},
      {"UniformLogp",
       [] {
         Graph g = params(3);
         g.logp_terms.push_back(g.add_node(op::UniformLogp{0, 1, 2}));
         return g;
       },
       {{0.3, -1.0, 2.0}, {-0.999, -1.0, 2.0}}},
      {"BernoulliLogp",
       [] {
         Graph g = params(2);
         g.logp_terms.push_back(g.add_node(op::BernoulliLogp{0, 1}));
         return g;
       },
       {{1.0, 0.3}, {0.0, 0.9}, {0.4, 1e-4}, {0.6, 0.9999}}},
      {"PoissonLogp",
       [] {
         Graph g = params(2);
         g.logp_terms.push_back(g.add_node(op::PoissonLogp{0, 1}));
         return g;
       },
       {{3.0, 2.5}, {0.0, 0.1}, {-0.5, 4.0}, {40.0, 35.0}}},
      {"GammaLogp",
       [] {
         Graph g = params(3);
         g.logp_terms.push_back(g.add_node(op::GammaLogp{0, 1, 2}));
         return g;
       },
       {{0.8, 2.0, 3.0}, {1e-3, 0.5, 1.0}, {20.0, 9.0, 0.4}}},
      {"BetaLogp",
       [] {
         Graph g = params(3);
         g.logp_terms.push_back(g.add_node(op::BetaLogp{0, 1, 2}));
         return g;
       },
       {{0.3, 2.0, 3.0}, {1e-3, 0.5, 1.5}, {0.999, 4.0, 0.7}}},
      {"VectorNormalLogp",
       [] {
         Graph g;
         g.vector_normal_logp(g.add_vector_params("w", 3), 3, 0.5, 2.0);
         return g;
       },
       {{0.3, -4.0, 9.0}}},
      {"VectorHalfNormalLogp",
       [] {
         Graph g;
         g.vector_half_normal_logp(g.add_vector_params_with_transform("w", 3, Transform::log()), 3, 1.5);
         return g;
       },
       {{0.3, -6.0, 2.0}}},
      {"VectorStudentTLogp",
       [] {
         Graph g;
         g.vector_student_t_logp(g.add_vector_params("w", 3), 3, 3.0, -1.0, 2.0);
         return g;
       },
       {{0.3, -8.0, 15.0}}},
      {"VectorGammaLogp",
       [] {
         Graph g;
         g.vector_gamma_logp(g.add_vector_params_with_transform("w", 3, Transform::log()), 3, 2.0, 0.5);
         return g;
       },
       {{0.3, -6.0, 3.0}}},
      {"VectorBetaLogp",
       [] {
         Graph g;
         g.vector_beta_logp(g.add_vector_params_with_transform("w", 3, Transform::logit()), 3, 2.0, 0.5);
         return g;
       },
       {{0.3, -8.0, 8.0}}},
      {"VectorUniformLogp",
       [] {
         Graph g;
         g.vector_uniform_logp(
             g.add_vector_params_with_transform("w", 3, Transform::interval(-1.0, 4.0)), 3, -1.0, 4.0);
         return g;
       },
       {{0.3, -8.0, 8.0}}},
      {"shared scale read by several normal densities",
       [] {
         Graph g = params(3);
         const NodeId s = g.add_node(op::Exp{2});
         g.logp_terms.push_back(g.add_node(op::NormalLogp{0, 1, s}));
         g.logp_terms.push_back(g.add_node(op::NormalLogp{1, 0, s}));
         g.normal_obs_logp(g.scalar_broadcast(0), s, g.add_obs_data({0.5, 1.5}));
         return g;
       },
       {{0.3, -0.5, 0.2}}},
  };
}

// The same graph with every term also read by a Mul node that is a term too: no term is then
// differentiated in the forward pass, and every adjoint is 1.5 instead of 1.
Graph with_readers(Graph g) {
  const NodeId half = g.add_constant(0.5);
  const std::vector<NodeId> terms = g.logp_terms;
  for (NodeId t : terms) g.logp_terms.push_back(g.add_node(op::Mul{t, half}));
  return g;
}

TEST(Autodiff, GradientMatchesFiniteDifferencesForEveryOperation) {
  for (const GradientCase& c : gradient_cases()) {
    const Graph g = c.build();
    const Graph read = with_readers(g);
    for (const auto& u : c.points) {
      ASSERT_EQ(u.size(), g.n_params) << c.name;
      expect_gradient_matches(g, u, c.name);
      expect_gradient_matches(read, u, c.name + " (terms read by other nodes)");
    }
  }
}

TEST(Autodiff, SpecialFunctionKnownValues) {
  EXPECT_NEAR(lgamma_lanczos(1.0), 0.0, 1e-10);
  EXPECT_NEAR(lgamma_lanczos(2.0), 0.0, 1e-10);
  EXPECT_NEAR(lgamma_lanczos(0.5), 0.5723649429247, 1e-10);
  EXPECT_NEAR(lgamma_lanczos(10.0), std::lgamma(10.0), 1e-9);
  EXPECT_EQ(lgamma_lanczos(0.0), kInf);
  EXPECT_EQ(lgamma_lanczos(-3.5), kInf);
  EXPECT_NEAR(digamma(1.0), -0.5772156649, 1e-8);
  EXPECT_NEAR(digamma(0.5), -1.9635100260214235, 1e-8);
  EXPECT_NEAR(digamma(20.0), 2.9705239922421490, 1e-10);
  // Negative arguments are reflected instead of stepping up one by one (which never ends at
  // -inf or below -2^53).
  EXPECT_NEAR(digamma(-0.5), 0.03648997397857652, 1e-8);
  EXPECT_FALSE(std::isinf(digamma(-1e300)));
  EXPECT_TRUE(std::isnan(digamma(-kInf)));
  EXPECT_TRUE(std::isnan(digamma(std::nan(""))));
}

// Value of a single scalar density node whose operands are constants.
double density(Op op_value, std::vector<double> operands) {
  Graph g;
  for (double v : operands) g.add_constant(v);
  g.logp_terms.push_back(g.add_node(std::move(op_value)));
  Evaluator ev(g);
  ev.compute(g, std::vector<double>{});
  return ev.logp;
}

TEST(Autodiff, DensityKnownValues) {
  struct Case {
    std::string name;
    Op op_value;
    std::vector<double> operands;
    double expected;
  };
  const std::vector<Case> cases = {
      {"normal at its mean", op::NormalLogp{0, 1, 2}, {1.5, 1.5, 1.0}, -kC0},
      {"normal", op::NormalLogp{0, 1, 2}, {1.0, -1.0, 2.0}, -0.5 - std::log(2.0) - kC0},
      {"half-normal at 0", op::HalfNormalLogp{0, 1}, {0.0, 2.0}, std::log(2.0 / (2.5066282746310002 * 2.0))},
      {"half-normal below 0", op::HalfNormalLogp{0, 1}, {-1e-300, 2.0}, -kInf},
      {"uniform at lo", op::UniformLogp{0, 1, 2}, {-1.0, -1.0, 3.0}, -std::log(4.0)},
      {"uniform at hi", op::UniformLogp{0, 1, 2}, {3.0, -1.0, 3.0}, -std::log(4.0)},
      {"uniform below lo", op::UniformLogp{0, 1, 2}, {std::nextafter(-1.0, -2.0), -1.0, 3.0}, -kInf},
      {"uniform above hi", op::UniformLogp{0, 1, 2}, {std::nextafter(3.0, 4.0), -1.0, 3.0}, -kInf},
      {"bernoulli p = 0, x = 1", op::BernoulliLogp{0, 1}, {1.0, 0.0}, std::log(1e-12)},
      {"bernoulli p = 0.3, x = 0", op::BernoulliLogp{0, 1}, {0.0, 0.3}, std::log(0.7)},
      {"poisson k = 0", op::PoissonLogp{0, 1}, {0.0, 2.5}, -2.5},
      {"poisson k = 3", op::PoissonLogp{0, 1}, {3.0, 2.0}, 3.0 * std::log(2.0) - 2.0 - std::log(6.0)},
      {"gamma", op::GammaLogp{0, 1, 2}, {1.5, 2.0, 3.0}, 2.0 * std::log(3.0) + std::log(1.5) - 4.5},
      {"gamma at 0", op::GammaLogp{0, 1, 2}, {0.0, 2.0, 3.0}, -kInf},
      {"gamma with alpha 0", op::GammaLogp{0, 1, 2}, {1.0, 0.0, 3.0}, -kInf},
      {"beta(2, 2)", op::BetaLogp{0, 1, 2}, {0.25, 2.0, 2.0}, std::log(6.0 * 0.25 * 0.75)},
      {"beta at 0", op::BetaLogp{0, 1, 2}, {0.0, 2.0, 3.0}, -kInf},
      {"beta at 1", op::BetaLogp{0, 1, 2}, {1.0, 2.0, 3.0}, -kInf},
      {"student-t nu 1 (Cauchy)", op::StudentTLogp{0, 1, 2, 3}, {1.0, 1.0, 0.0, 1.0},
       -std::log(3.141592653589793 * 2.0)},
  };
  for (const Case& c : cases) {
    const double got = density(c.op_value, c.operands);
    if (std::isinf(c.expected)) {
      EXPECT_EQ(got, c.expected) << c.name;
    } else {
      EXPECT_NEAR(got, c.expected, 1e-9) << c.name;
    }
  }
  EXPECT_NEAR(student_t_logp_scalar(1.0, 1.0, 0.0, 1.0), -std::log(3.141592653589793 * 2.0), 1e-9);
  EXPECT_NEAR(beta_logp_scalar(0.25, 2.0, 2.0), std::log(6.0 * 0.25 * 0.75), 1e-9);
  EXPECT_EQ(beta_logp_scalar(1.0, 2.0, 2.0), -kInf);
}

TEST(Autodiff, OutOfSupportGivesNoDerivative) {
  struct Case {
    std::string name;
    Graph graph;
    std::vector<double> u;
  };
  std::vector<Case> cases;
  {
    Graph g = params(3);
    g.logp_terms.push_back(g.add_node(op::BetaLogp{0, 1, 2}));
    cases.push_back({"beta at 0", g, {0.0, 2.0, 3.0}});
    cases.push_back({"beta at 1", g, {1.0, 2.0, 3.0}});
  }
  {
    Graph g = params(3);
    g.logp_terms.push_back(g.add_node(op::GammaLogp{0, 1, 2}));
    cases.push_back({"gamma at 0", g, {0.0, 2.0, 3.0}});
  }
  {
    Graph g = params(2);
    g.logp_terms.push_back(g.add_node(op::HalfNormalLogp{0, 1}));
    cases.push_back({"half-normal below 0", g, {-0.5, 1.0}});
  }
  {
    Graph g = params(3);
    g.logp_terms.push_back(g.add_node(op::UniformLogp{0, 1, 2}));
    cases.push_back({"uniform outside", g, {5.0, 0.0, 2.0}});
  }
  for (const Case& c : cases) {
    Evaluator ev(c.graph);
    ev.compute(c.graph, c.u);
    EXPECT_EQ(ev.logp, -kInf) << c.name;
    EXPECT_EQ(ev.grad[0], 0.0) << c.name;
    if (c.name != "uniform outside") {
      for (double d : ev.grad) EXPECT_EQ(d, 0.0) << c.name;
    }
  }
}

TEST(Autodiff, DerivativesOfTheDiscreteVariates) {
  // The Bernoulli variate gets ln p' - ln(1 - p') and the Poisson count ln(lambda) - psi(k + 1).
  Graph g = params(2);
  const NodeId p = g.add_constant(0.2);
  const NodeId lambda = g.add_constant(3.0);
  g.logp_terms.push_back(g.add_node(op::BernoulliLogp{0, p}));
  g.logp_terms.push_back(g.add_node(op::PoissonLogp{1, lambda}));
  Evaluator ev(g);
  ev.compute(g, {1.0, 2.0});
  EXPECT_NEAR(ev.grad[0], std::log(0.2) - std::log(0.8), 1e-12);
  EXPECT_NEAR(ev.grad[1], std::log(3.0) - digamma(3.0), 1e-12);
}

TEST(Autodiff, EmptyGraphGivesNegativeZeroAndZeroGradient) {
  Graph g = params(2);
  Evaluator ev(g);
  ev.compute(g, {1.0, 2.0});
  EXPECT_EQ(ev.logp, 0.0);
  EXPECT_TRUE(std::signbit(ev.logp));
  EXPECT_EQ(ev.grad, (std::vector<double>{0.0, 0.0}));
}

TEST(Autodiff, NoObservationsMeansEmptyColumns) {
  Graph g = params(2);
  const NodeId mean = g.scalar_broadcast(0);
  g.normal_obs_logp(mean, 1, g.add_obs_data({}));
  g.logp_terms.push_back(g.add_node(op::NormalLogp{0, 1, 1}));
  Evaluator ev(g);
  EXPECT_EQ(ev.n_obs, 0u);
  EXPECT_TRUE(ev.col_values.empty());
  ev.compute(g, {0.5, 1.0});
  EXPECT_NEAR(ev.logp, -0.125 - kC0, 1e-12);
  expect_gradient_matches(g, {0.5, 1.0}, "no observations");
}

TEST(Autodiff, RepeatedComputeGivesIdenticalResults) {
  Graph g = params(3);
  const NodeId x = g.add_data("x", {1.0, 2.0, 3.0, 4.0, 5.0});
  const NodeId mean = g.scalar_broadcast_add(0, g.scalar_mul_data(1, x));
  const NodeId sigma = g.add_node(op::Exp{2});
  g.normal_obs_logp(mean, sigma, g.add_obs_data({1.1, 2.3, 2.9, 4.2, 5.1}));
  Evaluator ev(g);
  ev.compute(g, {0.1, 0.9, -0.3});
  const double logp = ev.logp;
  const std::vector<double> grad = ev.grad;
  ev.compute(g, {3.0, -2.0, 1.0});
  ev.compute(g, {0.1, 0.9, -0.3});
  EXPECT_EQ(ev.logp, logp);
  EXPECT_EQ(ev.grad, grad);
}

TEST(Autodiff, SigmoidGradientStaysFiniteForLargeArguments) {
  Graph g = params(1);
  g.logp_terms.push_back(g.add_node(op::Sigmoid{0}));
  Evaluator ev(g);
  for (double a : {-800.0, 800.0}) {
    ev.compute(g, {a});
    EXPECT_EQ(ev.grad[0], 0.0) << a;
  }
}

TEST(Autodiff, VecElemReadsColumnsAndRejectsScalars) {
  Graph g = params(2);
  const NodeId x = g.add_data("x", {1.0, 2.0, 3.0});
  const NodeId mean = g.scalar_broadcast_add(0, g.scalar_mul_data(1, x));
  g.normal_obs_logp(mean, g.add_constant(1.0), g.add_obs_data({0.0, 0.0, 0.0}));
  Evaluator ev(g);
  ev.compute(g, {0.5, 2.0});
  EXPECT_EQ(ev.vec_elem(mean, 2, g), 6.5);
  EXPECT_EQ(ev.vec_elem(x, 1, g), 2.0);
  EXPECT_THROW(ev.vec_elem(0, 0, g), InternalError);
  EXPECT_THROW(ev.vec_elem(mean, 3, g), InternalError);
}

TEST(Autodiff, InconsistentGraphsAreRejectedWhenTheEvaluatorIsCreated) {
  struct Case {
    std::string name;
    std::function<void(Graph&)> build;
  };
  const std::vector<Case> cases = {
      {"observed vector shorter than the data",
       [](Graph& g) { g.normal_obs_logp(g.scalar_broadcast(0), 1, g.add_obs_data({1.0, 2.0})); }},
      {"fused column shorter than the first column",
       [](Graph& g) {
         g.normal_obs_logp(g.fused_linear_mu({0}, {g.store_data_vec({1.0})}, std::nullopt), 1,
                           g.add_obs_data({1.0, 2.0, 3.0}));
       }},
      {"data node shorter than the first column", [](Graph& g) { g.add_data("z", {1.0}); }},
      {"matrix with fewer rows",
       [](Graph& g) {
         const std::size_t w = g.add_vector_params("w", 2);
         g.mat_vec_mul(g.store_matrix({1, 2, 3, 4}, 2, 2), w, 2, std::nullopt);
       }},
      {"matrix with a column count unlike the block",
       [](Graph& g) {
         const std::size_t w = g.add_vector_params("w", 2);
         g.mat_vec_mul(g.store_matrix({1, 2, 3}, 3, 1), w, 2, std::nullopt);
       }},
      {"matrix with too few entries",
       [](Graph& g) {
         const std::size_t w = g.add_vector_params("w", 2);
         g.mat_vec_mul(g.store_matrix({1, 2, 3, 4, 5}, 3, 2), w, 2, std::nullopt);
       }},
      {"vector density past the last coordinate",
       [](Graph& g) { g.vector_normal_logp(1, 5, 0.0, 1.0); }},
      {"column operation over a scalar", [](Graph& g) { g.vector_add(0, 1); }},
      {"scalar operation over a column",
       [](Graph& g) { g.add(0, g.scalar_broadcast(1)); }},
      {"operand created later", [](Graph& g) { g.add_node(op::Neg{99}); }},
      {"parameter past the last coordinate", [](Graph& g) { g.add_node(op::Param{7}); }},
  };
  for (const Case& c : cases) {
    Graph g = params(2);
    g.store_data_vec({1.0, 2.0, 3.0});  // fixes the observation count at 3
    c.build(g);
    EXPECT_THROW(Evaluator ev(g), InternalError) << c.name;
  }
}

TEST(Autodiff, ObservationCountComesFromDataThenObservationsThenMatrices) {
  Graph g;
  EXPECT_EQ(Evaluator(g).n_obs, 0u);
  g.store_matrix({1, 2, 3, 4, 5, 6}, 3, 2);
  EXPECT_EQ(Evaluator(g).n_obs, 3u);
  g.add_obs_data({1, 2, 3, 4});
  EXPECT_EQ(Evaluator(g).n_obs, 4u);
  g.store_data_vec({1, 2, 3, 4, 5});
  EXPECT_EQ(Evaluator(g).n_obs, 5u);
}

TEST(Autodiff, LinearMeansMatchDirectSums) {
  // A fused mean, a matrix product on the Log scale, and their likelihoods against sums written
  // out by hand.
  Graph g = params(3);  // intercept a, coefficients b, c
  const std::vector<double> x1 = {1.0, -2.0, 0.5}, x2 = {0.3, 0.1, -1.0}, y = {1.0, 2.0, 0.0};
  const NodeId fused = g.fused_linear_mu({1, 2}, {g.store_data_vec(x1), g.store_data_vec(x2)}, 0);
  g.normal_obs_logp(fused, g.add_constant(2.0), g.add_obs_data(y));
  const std::size_t w = g.add_vector_params_with_transform("w", 2, Transform::log());
  const std::vector<double> m = {1.0, 2.0, -1.0, 0.5, 0.0, 3.0};
  const NodeId prod = g.mat_vec_mul(g.store_matrix(m, 3, 2), w, 2, std::nullopt);
  g.normal_obs_logp(prod, g.add_constant(1.0), g.add_obs_data(y));
  const std::vector<double> u = {0.5, 1.5, -2.0, 0.2, -0.4};
  Evaluator ev(g);
  ev.compute(g, u);
  double expected = 0.0;
  for (std::size_t i = 0; i < 3; ++i) {
    const double mu1 = u[0] + u[1] * x1[i] + u[2] * x2[i];
    const double mu2 = m[2 * i] * std::exp(u[3]) + m[2 * i + 1] * std::exp(u[4]);
    EXPECT_NEAR(ev.vec_elem(fused, i, g), mu1, 1e-12);
    EXPECT_NEAR(ev.vec_elem(prod, i, g), mu2, 1e-12);
    expected += -0.5 * std::pow((y[i] - mu1) / 2.0, 2) - std::log(2.0) - kC0;
    expected += -0.5 * std::pow(y[i] - mu2, 2) - kC0;
  }
  EXPECT_NEAR(ev.logp, expected, 1e-10);
}

TEST(Autodiff, LikelihoodFusedWithItsMeanMatchesTheSeparateNodes) {
  // A likelihood fuses with a mean that only it reads. Reading the same mean once more (through
  // a VectorAdd with a zero column) keeps the nodes apart; both must agree. Seven terms take two
  // passes, and 1030 rows take three chunks with a ragged end.
  const std::size_t n = 1030, k = 7;
  std::vector<std::vector<double>> xs(k, std::vector<double>(n));
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      xs[j][i] = std::sin(static_cast<double>(i * (j + 3) + j));
    }
    y[i] = std::cos(static_cast<double>(i)) * 2.0;
  }
  auto build = [&](bool apart, bool broadcast) {
    Graph g = params(k + 2);  // intercept, k coefficients, log sigma
    std::vector<NodeId> coefs;
    std::vector<std::size_t> cols;
    for (std::size_t j = 0; j < k; ++j) {
      coefs.push_back(1 + j);
      cols.push_back(g.store_data_vec(xs[j]));
    }
    NodeId mean = broadcast ? g.scalar_broadcast(0) : g.fused_linear_mu(coefs, cols, 0);
    if (apart) mean = g.vector_add(mean, g.add_data("zero", std::vector<double>(n, 0.0)));
    g.normal_obs_logp(mean, g.add_node(op::Exp{k + 1}), g.add_obs_data(y));
    return g;
  };
  std::vector<double> u(k + 2);
  for (std::size_t j = 0; j < u.size(); ++j) u[j] = 0.3 - 0.1 * static_cast<double>(j);
  for (bool broadcast : {false, true}) {
    const Graph fused = build(false, broadcast), apart = build(true, broadcast);
    Evaluator ef(fused), ea(apart);
    ef.compute(fused, u);
    ea.compute(apart, u);
    EXPECT_NEAR(ef.logp, ea.logp, 1e-10 * std::abs(ea.logp));
    for (std::size_t j = 0; j < u.size(); ++j) {
      EXPECT_NEAR(ef.grad[j], ea.grad[j], 1e-10 * std::max(1.0, std::abs(ea.grad[j]))) << j;
    }
    const NodeId mean = fused.normal_obs_predictors()[0].mu;
    for (std::size_t i : {std::size_t{0}, std::size_t{517}, n - 1}) {
      EXPECT_EQ(ef.vec_elem(mean, i, fused), ea.vec_elem(mean, i, apart)) << i;
    }
    expect_gradient_matches(fused, u, broadcast ? "fused broadcast mean" : "fused linear mean");
  }
}

TEST(Autodiff, ComputeAllocatesNothing) {
  Graph g = params(3);
  const NodeId x = g.add_data("x", std::vector<double>(50, 0.5));
  const NodeId mean = g.scalar_broadcast_add(0, g.scalar_mul_data(1, x));
  const NodeId sigma = g.add_node(op::Exp{2});
  g.normal_obs_logp(mean, sigma, g.add_obs_data(std::vector<double>(50, 1.0)));
  g.logp_terms.push_back(g.add_node(op::StudentTLogp{0, g.add_constant(3.0), g.add_constant(0.0), sigma}));
  const std::size_t w = g.add_vector_params_with_transform("w", 4, Transform::logit());
  g.vector_beta_logp(w, 4, 2.0, 2.0);
  g.normal_obs_logp(g.mat_vec_mul(g.store_matrix(std::vector<double>(200, 0.1), 50, 4), w, 4, 0),
                    sigma, g.add_obs_data(std::vector<double>(50, 0.0)));
  Evaluator ev(g);
  const std::vector<double> u(g.n_params, 0.1);
  alloc_count::Window window;
  ev.compute(g, u.data());
  ev.compute(g, u.data());
  EXPECT_EQ(window.stop(), 0u);
}

}  // namespace
}  // namespace vorpex
