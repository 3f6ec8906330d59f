// Log density and gradient of a Graph by one forward and one reverse-mode pass; densities and
// the special functions they need.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "graph.hpp"

namespace vorpex {

// Natural log of the gamma function (six-term Lanczos, gamma = 5); +inf for a <= 0.
double lgamma_lanczos(double a);
// Digamma by upward recurrence to y >= 8 and the asymptotic series.
double digamma(double a);
double beta_logp_scalar(double x, double alpha, double beta);
double student_t_logp_scalar(double x, double nu, double mu, double sigma);

enum class SlotKind { Scalar, Data, Column };

// Marks an absent operand (an optional intercept) in an EvalStep.
inline constexpr NodeId kNoNode = static_cast<NodeId>(-1);

// Operation of one step of the evaluator's compiled program (see EvalStep).
enum class StepCode : unsigned char {
  Param, Add, Mul, Sub, Div, Neg, Exp, Log, Sigmoid, Square,
  ScalarMulData, VectorAdd, ScalarBroadcastAdd, ScalarBroadcast, FusedLinearMu, MatVecMul,
  NormalLogp, NormalObsLogp, HalfNormalLogp, StudentTLogp, UniformLogp, BernoulliLogp,
  PoissonLogp, GammaLogp, BetaLogp,
  VectorNormalLogp, VectorHalfNormalLogp, VectorStudentTLogp, VectorGammaLogp, VectorBetaLogp,
  VectorUniformLogp,
};

// A column operand: a graph data column (computed = false, index into Graph::data) or a computed
// column (computed = true, offset into Evaluator::col_values).
struct ColumnRef {
  std::size_t index = 0;
  bool computed = false;
};

// One node of the graph with its operands resolved and its constant work done once, when the
// evaluator is created. Constant and Data nodes have no step.
struct EvalStep {
  StepCode code = StepCode::Param;
  bool log_value = false;   // also store ln(value) in log_values (a scale shared by densities)
  bool hoisted = false;     // the hyperparameters are constants: k0 (and k1) hold their terms
  unsigned char push = 0;   // bit i set: operand i (a, b, c, d) receives a derivative
  NodeId id = 0;
  NodeId a = 0, b = 0, c = 0, d = 0;  // scalar operands; kNoNode where absent
  ColumnRef va, vb;                   // column operands
  std::size_t out = 0;                // own column's offset in col_values
  std::size_t index = 0;              // Param coordinate, data/obs/matrix index
  std::size_t start = 0, count = 0;   // coordinate block; linear terms [start, start + count)
  std::size_t scratch = 0;            // offset of this step's slots in Evaluator::scratch
  double k0 = 0.0, k1 = 0.0;
  Transform transform;
};

// One term coef * data[column] of a fused linear mean.
struct LinearTerm {
  NodeId coef;
  std::size_t column;
};

struct NodeSlot {
  SlotKind kind = SlotKind::Scalar;
  std::size_t offset = 0;  // Data: column index in graph.data; Column: offset in col_values
};

// Working storage for evaluating one graph. Sized once in the constructor; compute() allocates
// nothing. One evaluator per thread.
struct Evaluator {
  std::vector<NodeSlot> node_slots;
  std::vector<double> values;
  std::vector<double> col_values;
  std::vector<double> adjoints;
  std::vector<double> col_adjoints;
  std::vector<double> grad;
  std::vector<std::optional<NodeId>> param_nodes;
  std::size_t n_obs = 0;
  double logp = 0.0;

  // Compiled program and its working storage, built by the constructor and only overwritten by
  // compute(). Adjoints of Constant and Data nodes are never read, so they stay 0.
  std::vector<EvalStep> steps;
  std::vector<LinearTerm> linear_terms;
  std::vector<double> scratch;      // per-step partial derivatives, transformed blocks
  std::vector<double> log_values;   // ln of the nodes used as a normal scale, per node
  std::vector<NodeId> terms;        // copy of the graph's logp_terms
  std::vector<std::pair<std::size_t, NodeId>> param_reads;  // (coordinate, Param node)

  // Throws InternalError when a column, observed vector or matrix is shorter than n_obs or a
  // matrix's shape does not match its node.
  explicit Evaluator(const Graph& graph);

  // Afterwards `logp` holds the log density at u and `grad` its gradient. u has n_params entries.
  void compute(const Graph& graph, const double* u);
  void compute(const Graph& graph, const std::vector<double>& u) { compute(graph, u.data()); }

  // Entry i of a column node after compute (Data or Column slot); InternalError for a scalar node.
  double vec_elem(NodeId node, std::size_t i, const Graph& graph) const;
};

}  // namespace vorpex
