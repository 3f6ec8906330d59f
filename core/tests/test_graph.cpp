// Tests of the graph builders: coordinates, names, transforms, data tables and term order.
#include "graph.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vorpex {
namespace {

TEST(Graph, CoordinatesAreHandedOutInOrder) {
  Graph g;
  const NodeId a = g.add_param_with_transform("a", Transform::identity());
  const NodeId b = g.add_param_with_transform("b", Transform::log());
  EXPECT_EQ(g.add_vector_params_with_transform("empty", 0, Transform::log()), 2u);
  const std::size_t start = g.add_vector_params("beta", 3);
  EXPECT_EQ(start, 2u);
  EXPECT_EQ(g.n_params, 5u);
  EXPECT_EQ(g.param_names, (std::vector<std::string>{"a", "b", "beta[0]", "beta[1]", "beta[2]"}));
  ASSERT_EQ(g.transforms.size(), 5u);
  EXPECT_EQ(g.transforms[1].kind, TransformKind::Log);
  EXPECT_EQ(g.transforms[4].kind, TransformKind::Identity);
  // Blocks add no nodes; scalars add one named Param node each.
  ASSERT_EQ(g.nodes.size(), 2u);
  EXPECT_EQ(std::get<op::Param>(g.nodes[a].op).index, 0u);
  EXPECT_EQ(std::get<op::Param>(g.nodes[b].op).index, 1u);
  EXPECT_EQ(g.nodes[b].name, "b");
  EXPECT_EQ(g.nodes[b].id, b);
}

TEST(Graph, IntervalBoundsAreRecordedInEveryCoordinateOfABlock) {
  Graph g;
  g.add_vector_params_with_transform("w", 3, Transform::interval(-1.0, 2.5));
  for (const Transform& t : g.transforms) {
    EXPECT_EQ(t.kind, TransformKind::Interval);
    EXPECT_EQ(t.lo, -1.0);
    EXPECT_EQ(t.hi, 2.5);
  }
}

TEST(Graph, LaterNamesShadowEarlierOnes) {
  Graph g;
  const NodeId first = g.add_param_with_transform("x", Transform::identity());
  const NodeId second = g.add_param_with_transform("x", Transform::identity());
  EXPECT_EQ(g.param_names, (std::vector<std::string>{"x", "x"}));
  EXPECT_EQ(g.node_by_name("x"), second);
  const NodeId data = g.add_data("x", {1.0, 2.0});
  EXPECT_EQ(g.node_by_name("x"), data);
  EXPECT_EQ(g.nodes[first].name, "x");  // the shadowed node keeps its name
  EXPECT_EQ(g.node_by_name("nothing"), std::nullopt);
  EXPECT_EQ(g.nodes[g.add_constant(1.0)].name, std::nullopt);
}

TEST(Graph, DataTablesReturnTheirIndices) {
  Graph g;
  EXPECT_EQ(g.store_data_vec({1.0}), 0u);
  const NodeId d = g.add_data("x", {2.0, 3.0});
  EXPECT_EQ(std::get<op::Data>(g.nodes[d].op).column, 1u);
  EXPECT_EQ(g.data[1], (std::vector<double>{2.0, 3.0}));
  EXPECT_EQ(g.add_obs_data({4.0}), 0u);
  EXPECT_EQ(g.add_obs_data({5.0}), 1u);
  EXPECT_EQ(g.store_matrix({1, 2, 3, 4, 5, 6}, 2, 3), 0u);
  EXPECT_EQ(g.matrices[0].nrows, 2u);
  EXPECT_EQ(g.matrices[0].ncols, 3u);
}

TEST(Graph, DensityBuildersAppendTermsInOrder) {
  Graph g;
  const std::size_t w = g.add_vector_params("w", 2);
  const NodeId mean = g.scalar_broadcast(g.add_constant(0.0));
  const NodeId sigma = g.add_constant(1.0);
  const NodeId t1 = g.vector_normal_logp(w, 2, 0.0, 1.0);
  const NodeId t2 = g.normal_obs_logp(mean, sigma, g.add_obs_data({1.0}));
  const NodeId t3 = g.vector_half_normal_logp(w, 2, 1.0);
  const NodeId t4 = g.vector_student_t_logp(w, 2, 3.0, 0.0, 1.0);
  const NodeId t5 = g.vector_gamma_logp(w, 2, 2.0, 1.0);
  const NodeId t6 = g.vector_beta_logp(w, 2, 2.0, 1.0);
  const NodeId t7 = g.vector_uniform_logp(w, 2, 0.0, 1.0);
  EXPECT_EQ(g.logp_terms, (std::vector<NodeId>{t1, t2, t3, t4, t5, t6, t7}));
  // The other builders add no term.
  g.add(sigma, sigma);
  g.vector_add(mean, mean);
  EXPECT_EQ(g.logp_terms.size(), 7u);
}

TEST(Graph, MatrixProductTakesItsBlocksTransform) {
  Graph g;
  const std::size_t plain = g.add_vector_params("a", 2);
  const std::size_t bounded = g.add_vector_params_with_transform("b", 2, Transform::interval(1, 3));
  const std::size_t m = g.store_matrix({1, 2, 3, 4}, 2, 2);
  const NodeId p1 = g.mat_vec_mul(m, plain, 2, std::nullopt);
  const NodeId p2 = g.mat_vec_mul(m, bounded, 2, std::nullopt);
  const NodeId p3 = g.mat_vec_mul(m, g.n_params, 0, std::nullopt);  // an empty block
  EXPECT_EQ(std::get<op::MatVecMul>(g.nodes[p1].op).transform.kind, TransformKind::Identity);
  const Transform t = std::get<op::MatVecMul>(g.nodes[p2].op).transform;
  EXPECT_EQ(t.kind, TransformKind::Interval);
  EXPECT_EQ(t.lo, 1.0);
  EXPECT_EQ(t.hi, 3.0);
  EXPECT_EQ(std::get<op::MatVecMul>(g.nodes[p3].op).transform.kind, TransformKind::Identity);
}

TEST(Graph, ObservationPredictorsFollowNodeOrder) {
  Graph g;
  EXPECT_TRUE(g.normal_obs_predictors().empty());
  const NodeId mu1 = g.scalar_broadcast(g.add_constant(0.0));
  const NodeId s1 = g.add_constant(1.0);
  const NodeId mu2 = g.scalar_broadcast(g.add_constant(1.0));
  const NodeId s2 = g.add_constant(2.0);
  const std::size_t o2 = g.add_obs_data({1.0, 2.0, 3.0});
  const std::size_t o1 = g.add_obs_data({1.0});
  g.normal_obs_logp(mu1, s1, o1);
  g.normal_obs_logp(mu2, s2, o2);
  const auto preds = g.normal_obs_predictors();
  ASSERT_EQ(preds.size(), 2u);
  EXPECT_EQ(preds[0].mu, mu1);
  EXPECT_EQ(preds[0].sigma, s1);
  EXPECT_EQ(preds[0].n_obs, 1u);
  EXPECT_EQ(preds[1].mu, mu2);
  EXPECT_EQ(preds[1].n_obs, 3u);
}

TEST(Graph, CopyIsIndependent) {
  Graph g;
  g.add_param_with_transform("a", Transform::identity());
  Graph copy = g;
  copy.add_param_with_transform("b", Transform::identity());
  EXPECT_EQ(g.n_params, 1u);
  EXPECT_EQ(g.nodes.size(), 1u);
  EXPECT_EQ(g.node_by_name("b"), std::nullopt);
  EXPECT_EQ(copy.node_by_name("b"), 1u);
}

TEST(Graph, ConstrainMapsEachKind) {
  const double s = 1.0 / (1.0 + std::exp(-0.3));
  EXPECT_EQ(constrain(Transform::identity(), -0.3), -0.3);
  EXPECT_DOUBLE_EQ(constrain(Transform::log(), 0.3), std::exp(0.3));
  EXPECT_DOUBLE_EQ(constrain(Transform::logit(), 0.3), s);
  EXPECT_DOUBLE_EQ(constrain(Transform::interval(-2.0, 4.0), 0.3), -2.0 + 6.0 * s);
  EXPECT_EQ(constrain(Transform::logit(), -800.0), 0.0);
  EXPECT_EQ(constrain(Transform::interval(-2.0, 4.0), 800.0), 4.0);
}

}  // namespace
}  // namespace vorpex
