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
  Param, Scale, Add, Mul, Sub, Div, Neg, Exp, Log, Sigmoid, Square,
  ScalarMulData, VectorAdd, ScalarBroadcastAdd, ScalarBroadcast, FusedLinearMu, MatVecMul,
  NormalLogp, NormalObsLogp, NormalObsScalarMean, NormalObsLinearMean, HalfNormalLogp,
  StudentTLogp, UniformLogp, BernoulliLogp, PoissonLogp, GammaLogp, BetaLogp,
  VectorNormalLogp, VectorHalfNormalLogp, VectorStudentTLogp, VectorGammaLogp, VectorBetaLogp,
  VectorUniformLogp,
};

// A column operand: a graph data column (computed = false, index into Graph::data) or a computed
// column (computed = true, offset into Evaluator::col_values).
struct ColumnRef {
  std::size_t index = 0;
  bool computed = false;
  NodeId node = 0;
};

// One node of the graph with its operands resolved and its constant work done once, when the
// evaluator is created. Constant, Data and Param nodes have no step (coordinates are copied in
// before the forward pass and collected after the reverse pass). A normal likelihood whose mean
// column is read by nothing else takes over that column's step (NormalObsScalarMean for a
// broadcast scalar, NormalObsLinearMean for a fused linear mean), so the column is computed,
// read and differentiated in one place (that column's adjoint is not stored); with any other
// sole-reader mean it writes the column's adjoint instead of adding to it (assign).
struct EvalStep {
  StepCode code = StepCode::Param;
  bool scale = false;       // a Scale step follows: the node is a scale read by normal densities
  bool hoisted = false;     // the hyperparameters are constants: k0 (and k1) hold their terms
  bool assign = false;      // NormalObsLogp: the mean's column adjoint is written, not added to
  bool eager = false;       // a term no node reads: differentiated in the forward pass
  unsigned char push = 0;   // bit i set: operand i (a, b, c, d) receives a derivative
  // What a scalar step reads comes first, within one cache line.
  NodeId id = 0;
  NodeId a = 0, b = 0, c = 0, d = 0;  // scalar operands; kNoNode where absent
  std::size_t scratch = 0;            // offset of this step's slots in Evaluator::scratch
  double k0 = 0.0, k1 = 0.0;
  ColumnRef va, vb;                   // column operands
  std::size_t out = 0;                // own column's offset in col_values
  std::size_t index = 0;              // Param coordinate, data/obs/matrix index
  std::size_t start = 0, count = 0;   // coordinate block; linear terms [start, start + count)
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
  // compute(). Adjoints of Constant nodes and of fused mean columns are never read and stay 0.
  std::vector<EvalStep> steps;
  std::vector<LinearTerm> linear_terms;
  std::vector<double> scratch;      // per-step partial derivatives, transformed blocks
  std::vector<double> log_values;   // ln of the nodes used as a normal scale, per node
  std::vector<double> inv_values;   // 1/value of the same nodes
  std::vector<NodeId> terms;        // copy of the graph's logp_terms
  std::vector<double> adjoint_seed; // what a call's adjoints start from: 1.0 at each term
  std::vector<std::pair<std::size_t, NodeId>> param_reads;  // (coordinate, Param node)
  std::vector<std::pair<std::size_t, std::size_t>> col_resets;  // col_adjoints ranges to zero
  std::vector<std::size_t> reverse_order;  // steps the reverse pass visits (all but eager ones)

  // Throws InternalError when a column, observed vector or matrix is shorter than n_obs, a
  // matrix's shape does not match its node, an operand is not an earlier node of the right kind
  // (scalar or column), or a coordinate lies outside the position vector.
  explicit Evaluator(const Graph& graph);

  // Afterwards `logp` holds the log density at u and `grad` its gradient. u has n_params entries.
  void compute(const Graph& graph, const double* u);
  void compute(const Graph& graph, const std::vector<double>& u) { compute(graph, u.data()); }

  // Entry i of a column node after compute (Data or Column slot); InternalError for a scalar node.
  double vec_elem(NodeId node, std::size_t i, const Graph& graph) const;
};

}  // namespace vorpex
