// Combining bound data and the key checks made when a likelihood is declared.
#include "data.hpp"

#include "errors.hpp"
#include "spec.hpp"

namespace vorpex {

BoundData overlay(const BoundData& base, const BoundData& top) {
  BoundData out = base;
  for (const auto& [key, column] : top.vectors) out.vectors.insert_or_assign(key, column);
  for (const auto& [key, matrix] : top.matrices) out.matrices.insert_or_assign(key, matrix);
  return out;
}

void validate_expr_keys(const MuExpr& expr, const BoundData& data) {
  if (const auto* s = std::get_if<mu::Sum>(&expr.node)) {
    validate_expr_keys(*s->left, data);
    validate_expr_keys(*s->right, data);
  } else if (const auto* t = std::get_if<mu::ParamTimesData>(&expr.node)) {
    if (!data.vectors.contains(t->data_key)) {
      throw UserError("data key '" + t->data_key +
                      "' not found in bound data. Available 1-D keys: [" +
                      data.vectors.joined_keys() + "]");
    }
  } else if (const auto* m = std::get_if<mu::MatrixTimesParam>(&expr.node)) {
    if (!data.matrices.contains(m->matrix_key)) {
      throw UserError("matrix key '" + m->matrix_key +
                      "' not found in bound data. Available 2-D keys: [" +
                      data.matrices.joined_keys() + "]");
    }
  }
}

void check_likelihood_keys(const std::string& observed_key, const MuExpr& expr,
                           const BoundData& data) {
  if (data.empty()) return;
  if (!data.vectors.contains(observed_key)) {
    throw UserError("observed key '" + observed_key +
                    "' not found in bound data. Available 1-D keys: [" +
                    data.vectors.joined_keys() + "]");
  }
  validate_expr_keys(expr, data);
}

}  // namespace vorpex
