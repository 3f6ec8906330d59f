// Prior node constructors: each adds one scalar parameter, its constrained value, its density
// term and its log-Jacobian to a Graph, and returns the constrained value node.
#pragma once

#include <string>

#include "graph.hpp"

namespace vorpex {

struct Normal {
  static NodeId prior_with_nodes(Graph& g, const std::string& name, NodeId mu, NodeId sigma);
};
struct HalfNormal {
  static NodeId prior_with_node_sigma(Graph& g, const std::string& name, NodeId sigma);
};
struct StudentT {
  static NodeId prior(Graph& g, const std::string& name, double nu, double mu, double sigma);
};
struct Uniform {
  static NodeId prior(Graph& g, const std::string& name, double lower, double upper);
};
struct Bernoulli {
  static NodeId prior(Graph& g, const std::string& name, double p);
};
struct Poisson {
  static NodeId prior(Graph& g, const std::string& name, double lambda);
};
struct Gamma {
  static NodeId prior(Graph& g, const std::string& name, double alpha, double beta);
};
struct BetaDist {
  static NodeId prior(Graph& g, const std::string& name, double alpha, double beta);
};

}  // namespace vorpex
