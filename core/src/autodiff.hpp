// Log density and gradient of a Graph by one forward and one reverse-mode pass; densities and
// the special functions they need.
#pragma once

#include <cstddef>
#include <optional>
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
