// Tests of the model declarations and bound data: expression trees, key checks, overlay.
#include <gtest/gtest.h>

#include <string>

#include "data.hpp"
#include "errors.hpp"
#include "spec.hpp"

namespace vorpex {
namespace {

template <class F>
std::string user_error(F&& f) {
  try {
    f();
  } catch (const UserError& e) {
    return e.what();
  }
  return "<no error>";
}

BoundData columns(std::initializer_list<const char*> keys) {
  BoundData d;
  for (const char* k : keys) d.vectors.insert_or_assign(k, {1.0, 2.0});
  return d;
}

TEST(ModelSpec, IsScalarHoldsOnlyForSumsOfBareParameters) {
  EXPECT_TRUE(is_scalar(param_term("a")));
  EXPECT_TRUE(is_scalar(sum(param_term("a"), param_term("g"))));
  EXPECT_FALSE(is_scalar(sum(param_term("a"), param_times_data("b", "x"))));
  EXPECT_FALSE(is_scalar(matrix_times_param("w", "X")));
}

TEST(ModelSpec, CopiesAreDeepAndIndependent) {
  MuExpr e = sum(param_times_data("b", "x"), param_term("a"));
  MuExpr copy = e;
  e = param_term("z");
  const auto& s = std::get<mu::Sum>(copy.node);
  EXPECT_EQ(std::get<mu::ParamTimesData>(s.left->node).data_key, "x");
  EXPECT_EQ(std::get<mu::ParamTerm>(s.right->node).param, "a");
  EXPECT_EQ(copy.depth, 2u);
}

TEST(ModelSpec, TooDeepATreeIsRefused) {
  MuExpr e = param_term("a");
  for (std::size_t i = 1; i < kMaxMuExprDepth; ++i) e = sum(std::move(e), param_term("a"));
  EXPECT_EQ(e.depth, kMaxMuExprDepth);
  EXPECT_EQ(user_error([&] { sum(e, param_term("a")); }),
            "mean expression is nested more than 10000 levels deep; use a design matrix "
            "(w @ 'X') for many terms");
}

TEST(ModelSpec, KeyMessagesListKeysInBindingOrder) {
  BoundData d = columns({"y", "x", "a"});
  d.matrices.insert_or_assign("X", BoundMatrix{{1.0}, 1, 1});
  const MuExpr mean = sum(param_times_data("b", "x"), param_times_data("c", "w"));
  EXPECT_EQ(user_error([&] { check_likelihood_keys("z", mean, d); }),
            "observed key 'z' not found in bound data. Available 1-D keys: [y, x, a]");
  EXPECT_EQ(user_error([&] { check_likelihood_keys("y", mean, d); }),
            "data key 'w' not found in bound data. Available 1-D keys: [y, x, a]");
  EXPECT_EQ(user_error([&] { check_likelihood_keys("y", matrix_times_param("b", "Z"), d); }),
            "matrix key 'Z' not found in bound data. Available 2-D keys: [X]");
  // The first missing key in left-to-right order is the one reported.
  EXPECT_EQ(user_error([&] {
              validate_expr_keys(sum(matrix_times_param("w", "M"), param_times_data("b", "q")),
                                 d);
            }),
            "matrix key 'M' not found in bound data. Available 2-D keys: [X]");
}

TEST(ModelSpec, OnlyMatricesStillRequireTheObservedKeyAndNoDataChecksNothing) {
  BoundData d;
  d.matrices.insert_or_assign("X", BoundMatrix{{1.0}, 1, 1});
  EXPECT_EQ(user_error([&] { check_likelihood_keys("y", param_term("a"), d); }),
            "observed key 'y' not found in bound data. Available 1-D keys: []");
  EXPECT_EQ(user_error([&] { check_likelihood_keys("y", param_times_data("b", "q"), {}); }),
            "<no error>");
}

TEST(ModelSpec, FailedLikelihoodLeavesTheBuilderUnchanged) {
  ModelBuilder b;
  b.data = columns({"y"});
  EXPECT_THROW(b.add_likelihood({"obs", param_times_data("b", "x"), hyper::Fixed{1.0}, "y"}),
               UserError);
  EXPECT_TRUE(b.likelihoods.empty());
  b.add_likelihood({"obs", param_term("a"), hyper::Fixed{1.0}, "y"});
  const ModelSpec spec = b.build();
  b.add_prior(prior::Bernoulli{"p", 0.5});
  EXPECT_EQ(spec.likelihoods.size(), 1u);
  EXPECT_TRUE(spec.priors.empty());
}

TEST(ModelSpec, OverlayReplacesPerMapAndKeepsOtherKeys) {
  BoundData base = columns({"x", "y"});
  base.matrices.insert_or_assign("X", BoundMatrix{{1.0, 2.0}, 1, 2});
  BoundData top;
  top.vectors.insert_or_assign("x", {9.0});
  top.vectors.insert_or_assign("X", {7.0});
  const BoundData out = overlay(base, top);
  EXPECT_EQ(*out.vectors.find("x"), std::vector<double>{9.0});
  EXPECT_EQ(*out.vectors.find("y"), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(*out.vectors.find("X"), std::vector<double>{7.0});
  EXPECT_EQ(out.matrices.find("X")->ncols, 2u);
  EXPECT_EQ(out.vectors.joined_keys(), "x, y, X");
  EXPECT_EQ(*base.vectors.find("x"), (std::vector<double>{1.0, 2.0}));
}

}  // namespace
}  // namespace vorpex
