// Builders of the model graph: nodes, data tables, coordinates and their transforms.
#include "graph.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "errors.hpp"

namespace vorpex {

double constrain(const Transform& t, double u) {
  switch (t.kind) {
    case TransformKind::Identity:
      return u;
    case TransformKind::Log:
      return std::exp(u);
    case TransformKind::Logit:
      return 1.0 / (1.0 + std::exp(-u));
    case TransformKind::Interval:
      return t.lo + (t.hi - t.lo) * (1.0 / (1.0 + std::exp(-u)));
  }
  internal_error("unknown transform kind");
}

NodeId Graph::add_node(Op op, std::optional<std::string> name) {
  const NodeId id = nodes.size();
  if (name) name_index.insert_or_assign(*name, id);
  nodes.push_back(Node{std::move(op), std::move(name), id});
  return id;
}

NodeId Graph::add_constant(double c) { return add_node(op::Constant{c}); }

NodeId Graph::add(NodeId a, NodeId b) { return add_node(op::Add{a, b}); }

NodeId Graph::add_data(const std::string& name, std::vector<double> values) {
  const std::size_t column = store_data_vec(std::move(values));
  return add_node(op::Data{column}, name);
}

std::size_t Graph::store_data_vec(std::vector<double> values) {
  data.push_back(std::move(values));
  return data.size() - 1;
}

std::size_t Graph::add_obs_data(std::vector<double> values) {
  obs_data.push_back(std::move(values));
  return obs_data.size() - 1;
}

std::size_t Graph::store_matrix(std::vector<double> values, std::size_t nrows, std::size_t ncols) {
  matrices.push_back(MatrixData{std::move(values), nrows, ncols});
  return matrices.size() - 1;
}

NodeId Graph::add_param_with_transform(const std::string& name, Transform transform) {
  const std::size_t p = n_params++;
  param_names.push_back(name);
  transforms.push_back(transform);
  return add_node(op::Param{p}, name);
}

std::size_t Graph::add_vector_params_with_transform(const std::string& name, std::size_t count,
                                                    Transform transform) {
  // Room for the whole block first: a length no memory can hold fails here at once, instead of
  // after naming coordinates one by one until memory runs out.
  if (count > param_names.max_size() - param_names.size() ||
      count > transforms.max_size() - transforms.size()) {
    throw std::bad_alloc();
  }
  const auto make_room = [count](auto& v) {
    const std::size_t need = v.size() + count;
    if (need > v.capacity()) v.reserve(std::max(need, std::min(2 * v.capacity(), v.max_size())));
  };
  make_room(param_names);
  make_room(transforms);
  const std::size_t start = n_params;
  for (std::size_t i = 0; i < count; ++i) {
    param_names.push_back(name + "[" + std::to_string(i) + "]");
    transforms.push_back(transform);
  }
  n_params += count;
  return start;
}

std::size_t Graph::add_vector_params(const std::string& name, std::size_t count) {
  return add_vector_params_with_transform(name, count, Transform::identity());
}

std::optional<NodeId> Graph::node_by_name(const std::string& name) const {
  const auto it = name_index.find(name);
  if (it == name_index.end()) return std::nullopt;
  return it->second;
}

NodeId Graph::vector_add(NodeId a, NodeId b) { return add_node(op::VectorAdd{a, b}); }

NodeId Graph::scalar_mul_data(NodeId s, NodeId v) { return add_node(op::ScalarMulData{s, v}); }

NodeId Graph::scalar_broadcast(NodeId s) { return add_node(op::ScalarBroadcast{s}); }

NodeId Graph::scalar_broadcast_add(NodeId s, NodeId v) {
  return add_node(op::ScalarBroadcastAdd{s, v});
}

NodeId Graph::fused_linear_mu(std::vector<NodeId> coefs, std::vector<std::size_t> cols,
                              std::optional<NodeId> intercept) {
  return add_node(op::FusedLinearMu{intercept, std::move(coefs), std::move(cols)});
}

NodeId Graph::mat_vec_mul(std::size_t matrix, std::size_t start, std::size_t count,
                          std::optional<NodeId> intercept) {
  Transform transform = Transform::identity();
  if (count > 0) {
    if (start >= transforms.size()) internal_error("matrix product over a missing coordinate block");
    transform = transforms[start];
  }
  return add_node(op::MatVecMul{matrix, start, count, intercept, transform});
}

NodeId Graph::normal_obs_logp(NodeId mu, NodeId sigma, std::size_t obs) {
  const NodeId id = add_node(op::NormalObsLogp{mu, sigma, obs});
  logp_terms.push_back(id);
  return id;
}

NodeId Graph::vector_normal_logp(std::size_t start, std::size_t count, double mu, double sigma) {
  const NodeId id = add_node(op::VectorNormalLogp{start, count, mu, sigma});
  logp_terms.push_back(id);
  return id;
}

NodeId Graph::vector_half_normal_logp(std::size_t start, std::size_t count, double sigma) {
  const NodeId id = add_node(op::VectorHalfNormalLogp{start, count, sigma});
  logp_terms.push_back(id);
  return id;
}

NodeId Graph::vector_student_t_logp(std::size_t start, std::size_t count, double nu, double mu,
                                    double sigma) {
  const NodeId id = add_node(op::VectorStudentTLogp{start, count, nu, mu, sigma});
  logp_terms.push_back(id);
  return id;
}

NodeId Graph::vector_gamma_logp(std::size_t start, std::size_t count, double alpha, double beta) {
  const NodeId id = add_node(op::VectorGammaLogp{start, count, alpha, beta});
  logp_terms.push_back(id);
  return id;
}

NodeId Graph::vector_beta_logp(std::size_t start, std::size_t count, double alpha, double beta) {
  const NodeId id = add_node(op::VectorBetaLogp{start, count, alpha, beta});
  logp_terms.push_back(id);
  return id;
}

NodeId Graph::vector_uniform_logp(std::size_t start, std::size_t count, double lo, double hi) {
  const NodeId id = add_node(op::VectorUniformLogp{start, count, lo, hi});
  logp_terms.push_back(id);
  return id;
}

std::vector<ObsPredictor> Graph::normal_obs_predictors() const {
  std::vector<ObsPredictor> out;
  for (const Node& node : nodes) {
    if (const auto* obs = std::get_if<op::NormalObsLogp>(&node.op)) {
      if (obs->obs >= obs_data.size()) internal_error("observation node without observed data");
      out.push_back(ObsPredictor{obs->mu, obs->sigma, obs_data[obs->obs].size()});
    }
  }
  return out;
}

}  // namespace vorpex
