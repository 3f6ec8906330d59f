// Mean-expression constructors, prior names and the builder's likelihood declaration.
#include "spec.hpp"

#include <algorithm>
#include <string>

#include "errors.hpp"

namespace vorpex {

MuExpr param_times_data(std::string param, std::string data_key) {
  return MuExpr{mu::ParamTimesData{std::move(param), std::move(data_key)}};
}

MuExpr param_term(std::string param) { return MuExpr{mu::ParamTerm{std::move(param)}}; }

MuExpr matrix_times_param(std::string param, std::string matrix_key) {
  return MuExpr{mu::MatrixTimesParam{std::move(param), std::move(matrix_key)}};
}

MuExpr sum(MuExpr left, MuExpr right) {
  const std::size_t depth = 1 + std::max(left.depth, right.depth);
  if (depth > kMaxMuExprDepth) {
    throw UserError("mean expression is nested more than " + std::to_string(kMaxMuExprDepth) +
                    " levels deep; use a design matrix (w @ 'X') for many terms");
  }
  return MuExpr{mu::Sum{Box<MuExpr>(std::move(left)), Box<MuExpr>(std::move(right))}, depth};
}

bool is_scalar(const MuExpr& expr) {
  if (const auto* s = std::get_if<mu::Sum>(&expr.node)) {
    return is_scalar(*s->left) && is_scalar(*s->right);
  }
  return std::holds_alternative<mu::ParamTerm>(expr.node);
}

const std::string& prior_name(const PriorSpec& prior) {
  return std::visit([](const auto& p) -> const std::string& { return p.name; }, prior);
}

void ModelBuilder::add_likelihood(LikelihoodSpec likelihood) {
  check_likelihood_keys(likelihood.observed_key, likelihood.mu_expr, data);
  likelihoods.push_back(std::move(likelihood));
}

}  // namespace vorpex
