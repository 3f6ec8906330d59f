// The compiled model: an append-only list of operation nodes over one unconstrained position vector.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace vorpex {

using NodeId = std::size_t;

enum class TransformKind { Identity, Log, Logit, Interval };

// How a coordinate u maps to a parameter value x. lo/hi are only meaningful for Interval.
struct Transform {
  TransformKind kind = TransformKind::Identity;
  double lo = 0.0;
  double hi = 0.0;

  static Transform identity() { return {}; }
  static Transform log() { return {TransformKind::Log, 0.0, 0.0}; }
  static Transform logit() { return {TransformKind::Logit, 0.0, 0.0}; }
  static Transform interval(double lo, double hi) { return {TransformKind::Interval, lo, hi}; }
};

// x = transform(u).
double constrain(const Transform& t, double u);

struct MatrixData {
  std::vector<double> data;  // row-major, entry (i, j) at i * ncols + j
  std::size_t nrows = 0;
  std::size_t ncols = 0;
};

// Operation kinds. Operands are node ids unless stated otherwise.
namespace op {
struct Param { std::size_t index; };
struct Constant { double value; };
struct Data { std::size_t column; };
struct Add { NodeId a, b; };
struct Mul { NodeId a, b; };
struct Sub { NodeId a, b; };
struct Div { NodeId a, b; };
struct Neg { NodeId a; };
struct Exp { NodeId a; };
struct Log { NodeId a; };
struct Sigmoid { NodeId a; };
struct Square { NodeId a; };
struct ScalarMulData { NodeId s, v; };
struct VectorAdd { NodeId a, b; };
struct ScalarBroadcastAdd { NodeId s, v; };
struct ScalarBroadcast { NodeId s; };
struct NormalLogp { NodeId x, mu, sigma; };
struct NormalObsLogp { NodeId mu, sigma; std::size_t obs; };
struct HalfNormalLogp { NodeId x, sigma; };
struct StudentTLogp { NodeId x, nu, mu, sigma; };
struct UniformLogp { NodeId x, lo, hi; };
struct BernoulliLogp { NodeId x, p; };
struct PoissonLogp { NodeId k, lambda; };
struct GammaLogp { NodeId x, alpha, beta; };
struct BetaLogp { NodeId x, alpha, beta; };
struct FusedLinearMu {
  std::optional<NodeId> intercept;
  std::vector<NodeId> coefs;
  std::vector<std::size_t> cols;
};
// intercept + M * constrain(u[start .. start+count)). The transform is the block's own, so a
// positive or bounded parameter vector enters the product on its constrained scale.
struct MatVecMul {
  std::size_t matrix;
  std::size_t start;
  std::size_t count;
  std::optional<NodeId> intercept;
  Transform transform;
};
struct VectorNormalLogp { std::size_t start, count; double mu, sigma; };
struct VectorHalfNormalLogp { std::size_t start, count; double sigma; };
struct VectorStudentTLogp { std::size_t start, count; double nu, mu, sigma; };
struct VectorGammaLogp { std::size_t start, count; double alpha, beta; };
struct VectorBetaLogp { std::size_t start, count; double alpha, beta; };
struct VectorUniformLogp { std::size_t start, count; double lo, hi; };
}  // namespace op

using Op = std::variant<op::Param, op::Constant, op::Data, op::Add, op::Mul, op::Sub, op::Div,
                        op::Neg, op::Exp, op::Log, op::Sigmoid, op::Square, op::ScalarMulData,
                        op::VectorAdd, op::ScalarBroadcastAdd, op::ScalarBroadcast,
                        op::NormalLogp, op::NormalObsLogp, op::HalfNormalLogp, op::StudentTLogp,
                        op::UniformLogp, op::BernoulliLogp, op::PoissonLogp, op::GammaLogp,
                        op::BetaLogp, op::FusedLinearMu, op::MatVecMul, op::VectorNormalLogp,
                        op::VectorHalfNormalLogp, op::VectorStudentTLogp, op::VectorGammaLogp,
                        op::VectorBetaLogp, op::VectorUniformLogp>;

struct Node {
  Op op;
  std::optional<std::string> name;
  NodeId id;
};

// (mean node, sigma node, length of the observed vector) of one normal likelihood.
struct ObsPredictor {
  NodeId mu;
  NodeId sigma;
  std::size_t n_obs;
};

struct Graph {
  std::vector<Node> nodes;
  std::vector<std::vector<double>> data;
  std::vector<std::vector<double>> obs_data;
  std::vector<MatrixData> matrices;
  std::vector<std::string> param_names;
  std::vector<Transform> transforms;
  std::vector<NodeId> logp_terms;
  std::unordered_map<std::string, NodeId> name_index;
  std::size_t n_params = 0;

  NodeId add_node(Op op, std::optional<std::string> name = std::nullopt);
  NodeId add_constant(double c);
  NodeId add(NodeId a, NodeId b);
  NodeId add_data(const std::string& name, std::vector<double> values);
  std::size_t store_data_vec(std::vector<double> values);
  std::size_t add_obs_data(std::vector<double> values);
  std::size_t store_matrix(std::vector<double> values, std::size_t nrows, std::size_t ncols);
  NodeId add_param_with_transform(const std::string& name, Transform transform);
  std::size_t add_vector_params_with_transform(const std::string& name, std::size_t count,
                                               Transform transform);
  std::size_t add_vector_params(const std::string& name, std::size_t count);
  std::optional<NodeId> node_by_name(const std::string& name) const;
  NodeId vector_add(NodeId a, NodeId b);
  NodeId scalar_mul_data(NodeId s, NodeId v);
  NodeId scalar_broadcast(NodeId s);
  NodeId scalar_broadcast_add(NodeId s, NodeId v);
  NodeId fused_linear_mu(std::vector<NodeId> coefs, std::vector<std::size_t> cols,
                         std::optional<NodeId> intercept);
  // The block's transform is read from `transforms[start]` (Identity for an empty block).
  NodeId mat_vec_mul(std::size_t matrix, std::size_t start, std::size_t count,
                     std::optional<NodeId> intercept);
  NodeId normal_obs_logp(NodeId mu, NodeId sigma, std::size_t obs);
  NodeId vector_normal_logp(std::size_t start, std::size_t count, double mu, double sigma);
  NodeId vector_half_normal_logp(std::size_t start, std::size_t count, double sigma);
  NodeId vector_student_t_logp(std::size_t start, std::size_t count, double nu, double mu,
                               double sigma);
  NodeId vector_gamma_logp(std::size_t start, std::size_t count, double alpha, double beta);
  NodeId vector_beta_logp(std::size_t start, std::size_t count, double alpha, double beta);
  NodeId vector_uniform_logp(std::size_t start, std::size_t count, double lo, double hi);
  std::vector<ObsPredictor> normal_obs_predictors() const;
};

}  // namespace vorpex
