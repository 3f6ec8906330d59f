// Tests of the prior constructors: nodes added, terms and transforms, values on the constrained
// scale, and derivatives flowing into a hierarchical scale.
#include "distributions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "autodiff.hpp"

namespace vorpex {
namespace {

template <class T>
std::size_t kind() {
  return Op(T{}).index();
}

struct ConstructorCase {
  std::string name;
  std::function<NodeId(Graph&)> add;  // on a graph holding one Constant node (id 0)
  std::vector<std::size_t> kinds;     // of the nodes added, in order
  std::vector<std::size_t> terms;     // positions among the added nodes
  std::size_t returned;               // position of the returned node
  TransformKind transform;
};

TEST(Distributions, ConstructorsAddTheirNodesInOrder) {
  const std::vector<ConstructorCase> cases = {
      {"normal", [](Graph& g) { return Normal::prior_with_nodes(g, "x", 0, 0); },
       {kind<op::Param>(), kind<op::NormalLogp>()}, {1}, 0, TransformKind::Identity},
      {"half-normal", [](Graph& g) { return HalfNormal::prior_with_node_sigma(g, "x", 0); },
       {kind<op::Param>(), kind<op::Exp>(), kind<op::HalfNormalLogp>()}, {2, 0}, 1,
       TransformKind::Log},
      {"student-t", [](Graph& g) { return StudentT::prior(g, "x", 3.0, 0.0, 1.0); },
       {kind<op::Param>(), kind<op::Constant>(), kind<op::Constant>(), kind<op::Constant>(),
        kind<op::StudentTLogp>()},
       {4}, 0, TransformKind::Identity},
      {"uniform", [](Graph& g) { return Uniform::prior(g, "x", 0.0, 10.0); },
       {kind<op::Param>(), kind<op::Sigmoid>(), kind<op::Constant>(), kind<op::Constant>(),
        kind<op::Mul>(), kind<op::Add>(), kind<op::Constant>(), kind<op::UniformLogp>(),
        kind<op::Constant>(), kind<op::Log>(), kind<op::Constant>(), kind<op::Sub>(),
        kind<op::Log>(), kind<op::Add>(), kind<op::Add>()},
       {7, 14}, 5, TransformKind::Interval},
      {"bernoulli", [](Graph& g) { return Bernoulli::prior(g, "x", 0.3); },
       {kind<op::Param>(), kind<op::Constant>(), kind<op::BernoulliLogp>()}, {2}, 0,
       TransformKind::Identity},
      {"poisson", [](Graph& g) { return Poisson::prior(g, "x", 2.0); },
       {kind<op::Param>(), kind<op::Constant>(), kind<op::PoissonLogp>()}, {2}, 0,
       TransformKind::Identity},
      {"gamma", [](Graph& g) { return Gamma::prior(g, "x", 2.0, 1.0); },
       {kind<op::Param>(), kind<op::Exp>(), kind<op::Constant>(), kind<op::Constant>(),
        kind<op::GammaLogp>()},
       {4, 0}, 1, TransformKind::Log},
      {"beta", [](Graph& g) { return BetaDist::prior(g, "x", 2.0, 3.0); },
       {kind<op::Param>(), kind<op::Sigmoid>(), kind<op::Constant>(), kind<op::Constant>(),
        kind<op::BetaLogp>(), kind<op::Log>(), kind<op::Constant>(), kind<op::Sub>(),
        kind<op::Log>(), kind<op::Add>()},
       {4, 9}, 1, TransformKind::Logit},
  };
  for (const ConstructorCase& c : cases) {
    Graph g;
    g.add_constant(1.0);
    const NodeId returned = c.add(g);
    ASSERT_EQ(g.nodes.size(), 1 + c.kinds.size()) << c.name;
    for (std::size_t i = 0; i < c.kinds.size(); ++i) {
      EXPECT_EQ(g.nodes[1 + i].op.index(), c.kinds[i]) << c.name << ", node " << i;
      EXPECT_EQ(g.nodes[1 + i].name.has_value(), i == 0) << c.name << ", node " << i;
    }
    std::vector<NodeId> terms;
    for (std::size_t t : c.terms) terms.push_back(1 + t);
    EXPECT_EQ(g.logp_terms, terms) << c.name;
    EXPECT_EQ(returned, 1 + c.returned) << c.name;
    EXPECT_EQ(g.n_params, 1u) << c.name;
    EXPECT_EQ(g.param_names, std::vector<std::string>{"x"}) << c.name;
    EXPECT_EQ(g.transforms.at(0).kind, c.transform) << c.name;
    EXPECT_EQ(g.node_by_name("x"), NodeId{1}) << c.name << ": the name finds the Param node";
  }
}

TEST(Distributions, ConstrainedValuesAndJacobians) {
  {
    Graph g;
    const NodeId x = Uniform::prior(g, "x", 0.0, 10.0);
    EXPECT_EQ(g.transforms[0].lo, 0.0);
    EXPECT_EQ(g.transforms[0].hi, 10.0);
    Evaluator ev(g);
    ev.compute(g, {0.0});
    EXPECT_DOUBLE_EQ(ev.values[x], 5.0);
    EXPECT_NEAR(ev.values[g.logp_terms[0]], -std::log(10.0), 1e-12);
    EXPECT_NEAR(ev.values[g.logp_terms[1]], std::log(10.0) + 2.0 * std::log(0.5), 1e-12);
  }
  {
    Graph g;
    const NodeId x = BetaDist::prior(g, "x", 2.0, 3.0);
    Evaluator ev(g);
    ev.compute(g, {0.0});
    EXPECT_DOUBLE_EQ(ev.values[x], 0.5);
    EXPECT_NEAR(ev.values[g.logp_terms[1]], 2.0 * std::log(0.5), 1e-12);
  }
  {
    // The gamma prior is the gamma density of exp(u) plus u.
    Graph g;
    Gamma::prior(g, "x", 2.0, 3.0);
    Evaluator ev(g);
    const double u = 0.4, x = std::exp(u);
    ev.compute(g, {u});
    EXPECT_NEAR(ev.logp, 2.0 * std::log(3.0) + std::log(x) - 3.0 * x + u, 1e-10);
  }
}

// Five-point central difference of logp in coordinate i.
double finite_difference(const Graph& g, std::vector<double> u, std::size_t i) {
  const double h = 1e-5;
  auto f = [&](double d) {
    std::vector<double> v = u;
    v[i] += d;
    Evaluator ev(g);
    ev.compute(g, v);
    return ev.logp;
  };
  return (8.0 * (f(h) - f(-h)) - (f(2 * h) - f(-2 * h))) / (12.0 * h);
}

TEST(Distributions, EveryPriorTogetherMatchesFiniteDifferences) {
  // A hierarchical normal whose scale is a half-normal parameter: derivatives reach tau's
  // coordinate through Exp. All eight constructors in one graph.
  Graph g;
  const NodeId mu = Normal::prior_with_nodes(g, "mu", g.add_constant(0.0), g.add_constant(5.0));
  const NodeId tau = HalfNormal::prior_with_node_sigma(g, "tau", g.add_constant(2.0));
  Normal::prior_with_nodes(g, "theta", mu, tau);
  StudentT::prior(g, "t", 4.0, 1.0, 2.0);
  Uniform::prior(g, "uni", -1.0, 3.0);
  Bernoulli::prior(g, "b", 0.3);
  Poisson::prior(g, "k", 2.5);
  Gamma::prior(g, "gam", 2.0, 1.5);
  BetaDist::prior(g, "bet", 2.0, 3.0);
  const std::vector<double> u = {0.3, -0.4, 1.1, 0.7, 0.2, 0.6, 2.2, -0.3, 0.9};
  ASSERT_EQ(g.n_params, u.size());
  Evaluator ev(g);
  ev.compute(g, u);
  for (std::size_t i = 0; i < u.size(); ++i) {
    const double fd = finite_difference(g, u, i);
    EXPECT_NEAR(ev.grad[i], fd, 1e-6 * std::max(1.0, std::abs(fd))) << g.param_names[i];
  }
}

}  // namespace
}  // namespace vorpex
