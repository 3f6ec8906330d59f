// Prior node constructors: one coordinate, its constrained value, its density and log-Jacobian.
#include "distributions.hpp"

#include <cmath>

namespace vorpex {

// Each constructor adds its nodes in a fixed order and appends the density term (and, for a
// constrained coordinate, the log-Jacobian term) to logp_terms right after creating it, so the
// evaluator sees the density of the unconstrained coordinate.

NodeId Normal::prior_with_nodes(Graph& g, const std::string& name, NodeId mu, NodeId sigma) {
  const NodeId p = g.add_param_with_transform(name, Transform::identity());
  g.logp_terms.push_back(g.add_node(op::NormalLogp{p, mu, sigma}));
  return p;
}

NodeId HalfNormal::prior_with_node_sigma(Graph& g, const std::string& name, NodeId sigma) {
  const NodeId p = g.add_param_with_transform(name, Transform::log());
  const NodeId x = g.add_node(op::Exp{p});
  g.logp_terms.push_back(g.add_node(op::HalfNormalLogp{x, sigma}));
  g.logp_terms.push_back(p);  // log-Jacobian of x = exp(u) is u
  return x;
}

NodeId StudentT::prior(Graph& g, const std::string& name, double nu, double mu, double sigma) {
  const NodeId p = g.add_param_with_transform(name, Transform::identity());
  const NodeId n = g.add_constant(nu);
  const NodeId m = g.add_constant(mu);
  const NodeId s = g.add_constant(sigma);
  g.logp_terms.push_back(g.add_node(op::StudentTLogp{p, n, m, s}));
  return p;
}

NodeId Uniform::prior(Graph& g, const std::string& name, double lower, double upper) {
  const NodeId p = g.add_param_with_transform(name, Transform::interval(lower, upper));
  const NodeId s = g.add_node(op::Sigmoid{p});
  const NodeId w = g.add_constant(upper - lower);
  const NodeId l = g.add_constant(lower);
  const NodeId m = g.add_node(op::Mul{w, s});
  const NodeId x = g.add(l, m);
  const NodeId h = g.add_constant(upper);
  g.logp_terms.push_back(g.add_node(op::UniformLogp{x, l, h}));
  // log-Jacobian of x = lower + (upper - lower) * s: ln(upper - lower) + ln s + ln(1 - s)
  const NodeId c = g.add_constant(std::log(upper - lower));
  const NodeId a = g.add_node(op::Log{s});
  const NodeId one = g.add_constant(1.0);
  const NodeId d = g.add_node(op::Sub{one, s});
  const NodeId b = g.add_node(op::Log{d});
  const NodeId e = g.add(a, b);
  g.logp_terms.push_back(g.add(c, e));
  return x;
}

NodeId Bernoulli::prior(Graph& g, const std::string& name, double p) {
  const NodeId x = g.add_param_with_transform(name, Transform::identity());
  const NodeId pn = g.add_constant(p);
  g.logp_terms.push_back(g.add_node(op::BernoulliLogp{x, pn}));
  return x;
}

NodeId Poisson::prior(Graph& g, const std::string& name, double lambda) {
  const NodeId k = g.add_param_with_transform(name, Transform::identity());
  const NodeId l = g.add_constant(lambda);
  g.logp_terms.push_back(g.add_node(op::PoissonLogp{k, l}));
  return k;
}

NodeId Gamma::prior(Graph& g, const std::string& name, double alpha, double beta) {
  const NodeId p = g.add_param_with_transform(name, Transform::log());
  const NodeId x = g.add_node(op::Exp{p});
  const NodeId a = g.add_constant(alpha);
  const NodeId b = g.add_constant(beta);
  g.logp_terms.push_back(g.add_node(op::GammaLogp{x, a, b}));
  g.logp_terms.push_back(p);  // log-Jacobian of x = exp(u) is u
  return x;
}

NodeId BetaDist::prior(Graph& g, const std::string& name, double alpha, double beta) {
  const NodeId p = g.add_param_with_transform(name, Transform::logit());
  const NodeId x = g.add_node(op::Sigmoid{p});
  const NodeId a = g.add_constant(alpha);
  const NodeId b = g.add_constant(beta);
  g.logp_terms.push_back(g.add_node(op::BetaLogp{x, a, b}));
  // log-Jacobian of x = sigmoid(u): ln x + ln(1 - x)
  const NodeId lx = g.add_node(op::Log{x});
  const NodeId one = g.add_constant(1.0);
  const NodeId d = g.add_node(op::Sub{one, x});
  const NodeId l1x = g.add_node(op::Log{d});
  g.logp_terms.push_back(g.add(lx, l1x));
  return x;
}

}  // namespace vorpex
