// Compilation of priors, likelihoods and bound data into a Graph: coordinate layout, widening of
// scalar priors used with @, fused linear means, and every user-facing compilation check.
#include "compile.hpp"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "distributions.hpp"
#include "errors.hpp"

namespace vorpex {

std::string format_value(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, res.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

void require_data(const ModelSpec& spec, const BoundData& effective) {
  if (!spec.likelihoods.empty() && effective.empty()) {
    throw UserError(
        "No data provided. Pass data= to sample() or bind it via ModelBuilder(data=...).");
  }
}

namespace {

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// A scalar parameter as mean expressions, hyperparameters and sigmas see it: its constrained
// value node, and whether its prior keeps it strictly positive (so it may serve as a scale).
struct ScalarParam {
  NodeId node;
  bool positive;
  std::string prior_text;  // e.g. "normal prior", for the message when it may not be a scale
};

enum class UseKind { Column, Observed, Matrix };

// One column, observed vector or matrix placed in the graph, for the final length check.
struct DataUse {
  UseKind kind;
  std::string key;
  std::size_t length;  // entries of a column or observed vector, rows of a matrix
};

[[noreturn]] void bad_value(const std::string& owner, const std::string& name, const char* arg,
                            const char* need, double v) {
  throw UserError(owner + " " + quoted(name) + ": '" + arg + "' must be " + need + ", got " +
                  format_value(v));
}

void check_finite(const std::string& prior, const char* arg, double v) {
  if (!std::isfinite(v)) bad_value("Prior", prior, arg, "finite", v);
}

void check_scale(const std::string& owner, const std::string& name, const char* arg, double v) {
  if (!(v > 0.0) || !std::isfinite(v)) bad_value(owner, name, arg, "positive and finite", v);
}

void check_uniform_bounds(const std::string& name, double lower, double upper) {
  check_finite(name, "lower", lower);
  check_finite(name, "upper", upper);
  if (!(lower < upper)) {
    throw UserError("Prior " + quoted(name) + ": 'lower' must be less than 'upper', got lower=" +
                    format_value(lower) + ", upper=" + format_value(upper));
  }
  // The interval transform and the density scale by the width; an infinite one would make every
  // draw infinite.
  if (!std::isfinite(upper - lower)) {
    throw UserError("Prior " + quoted(name) +
                    ": the width upper - lower must be finite, got lower=" + format_value(lower) +
                    ", upper=" + format_value(upper));
  }
}

void check_values(const prior::StudentT& p) {
  check_scale("Prior", p.name, "nu", p.nu);
  check_finite(p.name, "mu", p.mu);
  check_scale("Prior", p.name, "sigma", p.sigma);
}
void check_values(const prior::Gamma& p) {
  check_scale("Prior", p.name, "alpha", p.alpha);
  check_scale("Prior", p.name, "beta", p.beta);
}
void check_values(const prior::Beta& p) {
  check_scale("Prior", p.name, "alpha", p.alpha);
  check_scale("Prior", p.name, "beta", p.beta);
}

// First non-finite entry of a column, reported by key and index.
void check_finite_column(const std::string& key, const std::vector<double>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      throw UserError("Data key " + quoted(key) + " holds a non-finite value (" +
                      format_value(values[i]) + ") at index " + std::to_string(i));
    }
  }
}

void check_finite_matrix(const std::string& key, const BoundMatrix& m) {
  for (std::size_t k = 0; k < m.values.size(); ++k) {
    if (!std::isfinite(m.values[k])) {
      throw UserError("Matrix key " + quoted(key) + " holds a non-finite value (" +
                      format_value(m.values[k]) + ") at index [" +
                      std::to_string(k / m.ncols) + ", " + std::to_string(k % m.ncols) + "]");
    }
  }
}

bool try_extract_linear(const MuExpr& expr, std::vector<std::pair<std::string, std::string>>& terms,
                        std::optional<std::string>& intercept) {
  return std::visit(
      [&](const auto& e) -> bool {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, mu::Sum>) {
          return try_extract_linear(*e.left, terms, intercept) &&
                 try_extract_linear(*e.right, terms, intercept);
        } else if constexpr (std::is_same_v<T, mu::ParamTimesData>) {
          terms.emplace_back(e.param, e.data_key);
          return true;
        } else if constexpr (std::is_same_v<T, mu::ParamTerm>) {
          if (intercept) return false;
          intercept = e.param;
          return true;
        } else {
          return false;
        }
      },
      expr.node);
}

class Compiler {
 public:
  Compiler(const BoundData& data, EntryPoint entry) : data_(data), entry_(entry) {}

  CompiledModel run(const std::vector<PriorSpec>& priors,
                    const std::vector<LikelihoodSpec>& likelihoods) {
    for (const auto& lik : likelihoods) collect_matvec_params(lik.mu_expr);
    blocks_.reserve(priors.size());
    for (const auto& p : priors) build_prior(p);
    for (const auto& lik : likelihoods) build_likelihood(lik);
    check_lengths();
    return CompiledModel{std::move(graph_), std::move(blocks_)};
  }

 private:
  const BoundData& data_;
  EntryPoint entry_;
  Graph graph_;
  std::unordered_map<std::string, ScalarParam> node_map_;
  std::unordered_map<std::string, std::size_t> matvec_cols_;
  std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> vector_params_;
  std::vector<DataUse> uses_;
  std::vector<PriorBlock> blocks_;

  void collect_matvec_params(const MuExpr& expr) {
    if (const auto* s = std::get_if<mu::Sum>(&expr.node)) {
      collect_matvec_params(*s->left);
      collect_matvec_params(*s->right);
    } else if (const auto* m = std::get_if<mu::MatrixTimesParam>(&expr.node)) {
      const BoundMatrix* mat = data_.matrices.find(m->matrix_key);
      if (!mat) throw UserError("Missing matrix key " + quoted(m->matrix_key) + " in data dict");
      matvec_cols_[m->param] = mat->ncols;
    }
  }

  // ---- priors ----

  void add_vector_block(const std::string& name, std::size_t start, std::size_t n) {
    vector_params_[name] = {start, n};
    blocks_.push_back(PriorBlock{start, n, true});
  }

  void add_scalar(const std::string& name, std::size_t start, NodeId node, bool positive,
                  std::string prior_text) {
    node_map_[name] = ScalarParam{node, positive, std::move(prior_text)};
    blocks_.push_back(PriorBlock{start, 1, false});
  }

  void build_prior(const PriorSpec& p) {
    const std::string& name = prior_name(p);
    const auto widen = matvec_cols_.find(name);
    if (widen != matvec_cols_.end() && !std::holds_alternative<prior::VectorNormal>(p)) {
      build_widened(p, widen->second);
      return;
    }
    const std::size_t start = graph_.n_params;
    std::visit(
        [&](const auto& q) {
          using T = std::decay_t<decltype(q)>;
          if constexpr (std::is_same_v<T, prior::VectorNormal>) {
            check_finite(q.name, "mu", q.mu);
            check_scale("Prior", q.name, "sigma", q.sigma);
            const std::size_t s = graph_.add_vector_params(q.name, q.n);
            graph_.vector_normal_logp(s, q.n, q.mu, q.sigma);
            add_vector_block(q.name, s, q.n);
          } else if constexpr (std::is_same_v<T, prior::Normal>) {
            const NodeId m = resolve_hyper(q.mu, q.name, "mu", false);
            const NodeId s = resolve_hyper(q.sigma, q.name, "sigma", true);
            add_scalar(q.name, start, Normal::prior_with_nodes(graph_, q.name, m, s), false,
                       "normal prior");
          } else if constexpr (std::is_same_v<T, prior::HalfNormal>) {
            const NodeId s = resolve_hyper(q.sigma, q.name, "sigma", true);
            add_scalar(q.name, start, HalfNormal::prior_with_node_sigma(graph_, q.name, s), true,
                       "half-normal prior");
          } else if constexpr (std::is_same_v<T, prior::StudentT>) {
            check_values(q);
            add_scalar(q.name, start, StudentT::prior(graph_, q.name, q.nu, q.mu, q.sigma), false,
                       "Student-t prior");
          } else if constexpr (std::is_same_v<T, prior::Uniform>) {
            check_uniform_bounds(q.name, q.lower, q.upper);
            add_scalar(q.name, start, Uniform::prior(graph_, q.name, q.lower, q.upper),
                       q.lower >= 0.0,
                       "uniform prior with lower " + format_value(q.lower));
          } else if constexpr (std::is_same_v<T, prior::Bernoulli>) {
            if (!(q.p >= 0.0 && q.p <= 1.0)) bad_value("Prior", q.name, "p", "between 0 and 1", q.p);
            add_scalar(q.name, start, Bernoulli::prior(graph_, q.name, q.p), false,
                       "Bernoulli prior");
          } else if constexpr (std::is_same_v<T, prior::Poisson>) {
            check_scale("Prior", q.name, "lam", q.lam);
            add_scalar(q.name, start, Poisson::prior(graph_, q.name, q.lam), false,
                       "Poisson prior");
          } else if constexpr (std::is_same_v<T, prior::Gamma>) {
            check_values(q);
            add_scalar(q.name, start, Gamma::prior(graph_, q.name, q.alpha, q.beta), true,
                       "gamma prior");
          } else {
            static_assert(std::is_same_v<T, prior::Beta>);
            check_values(q);
            add_scalar(q.name, start, BetaDist::prior(graph_, q.name, q.alpha, q.beta), true,
                       "beta prior");
          }
        },
        p);
  }

  // A scalar prior whose parameter multiplies a matrix becomes a block of n coordinates.
  void build_widened(const PriorSpec& p, std::size_t n) {
    std::visit(
        [&](const auto& q) {
          using T = std::decay_t<decltype(q)>;
          const std::string prefix = "Parameter " + quoted(q.name);
          std::size_t start = 0;
          if constexpr (std::is_same_v<T, prior::Normal>) {
            const auto* mu = std::get_if<hyper::Fixed>(&q.mu);
            const auto* sigma = std::get_if<hyper::Fixed>(&q.sigma);
            if (!mu || !sigma) {
              throw UserError(prefix +
                              " is used in a matrix multiply (@) but has hierarchical "
                              "hyperparameters. Hierarchical vector params are not yet supported.");
            }
            check_finite(q.name, "mu", mu->value);
            check_scale("Prior", q.name, "sigma", sigma->value);
            start = graph_.add_vector_params(q.name, n);
            graph_.vector_normal_logp(start, n, mu->value, sigma->value);
          } else if constexpr (std::is_same_v<T, prior::HalfNormal>) {
            const auto* sigma = std::get_if<hyper::Fixed>(&q.sigma);
            if (!sigma) {
              throw UserError(prefix +
                              " is used in a matrix multiply (@) but has a hierarchical sigma. "
                              "Hierarchical vector params are not yet supported.");
            }
            check_scale("Prior", q.name, "sigma", sigma->value);
            start = graph_.add_vector_params_with_transform(q.name, n, Transform::log());
            graph_.vector_half_normal_logp(start, n, sigma->value);
          } else if constexpr (std::is_same_v<T, prior::StudentT>) {
            check_values(q);
            start = graph_.add_vector_params(q.name, n);
            graph_.vector_student_t_logp(start, n, q.nu, q.mu, q.sigma);
          } else if constexpr (std::is_same_v<T, prior::Uniform>) {
            check_uniform_bounds(q.name, q.lower, q.upper);
            start = graph_.add_vector_params_with_transform(
                q.name, n, Transform::interval(q.lower, q.upper));
            graph_.vector_uniform_logp(start, n, q.lower, q.upper);
          } else if constexpr (std::is_same_v<T, prior::Bernoulli>) {
            throw UserError(prefix +
                            " is used with @ but has a Bernoulli prior. Discrete distributions "
                            "cannot be auto-promoted to vector params.");
          } else if constexpr (std::is_same_v<T, prior::Poisson>) {
            throw UserError(prefix +
                            " is used with @ but has a Poisson prior. Discrete distributions "
                            "cannot be auto-promoted to vector params.");
          } else if constexpr (std::is_same_v<T, prior::Gamma>) {
            check_values(q);
            start = graph_.add_vector_params_with_transform(q.name, n, Transform::log());
            graph_.vector_gamma_logp(start, n, q.alpha, q.beta);
          } else if constexpr (std::is_same_v<T, prior::Beta>) {
            check_values(q);
            start = graph_.add_vector_params_with_transform(q.name, n, Transform::logit());
            graph_.vector_beta_logp(start, n, q.alpha, q.beta);
          } else {
            internal_error("build_widened called for a vector prior");
          }
          add_vector_block(q.name, start, n);
        },
        p);
  }

  // A scale given as a parameter must name one whose prior keeps it strictly positive.
  static void require_positive(const std::string& owner, const std::string& name,
                               const std::string& ref, const ScalarParam& param) {
    if (param.positive) return;
    throw UserError(owner + " " + quoted(name) + ": 'sigma' names parameter " + quoted(ref) +
                    ", whose " + param.prior_text +
                    " does not keep it positive; a scale parameter needs a half_normal_prior, "
                    "gamma_prior, beta_prior or uniform_prior with lower >= 0");
  }

  NodeId resolve_hyper(const Hyper& h, const std::string& prior, const char* arg, bool scale) {
    if (const auto* f = std::get_if<hyper::Fixed>(&h)) {
      if (scale) {
        check_scale("Prior", prior, arg, f->value);
      } else {
        check_finite(prior, arg, f->value);
      }
      return graph_.add_constant(f->value);
    }
    const std::string& ref = std::get<hyper::FromParam>(h).name;
    const auto it = node_map_.find(ref);
    if (it == node_map_.end()) {
      throw UserError("Hyperparameter " + quoted(ref) +
                      " not found. Declare it before the prior that references it.");
    }
    if (scale) require_positive("Prior", prior, ref, it->second);
    return it->second.node;
  }

  NodeId resolve_sigma(const LikelihoodSpec& lik) {
    if (const auto* f = std::get_if<hyper::Fixed>(&lik.sigma)) {
      check_scale("Likelihood", lik.name, "sigma", f->value);
      return graph_.add_constant(f->value);
    }
    const std::string& ref = std::get<hyper::FromParam>(lik.sigma).name;
    const auto it = node_map_.find(ref);
    if (it == node_map_.end()) {
      throw UserError("sigma parameter " + quoted(ref) +
                      " not found. Did you declare it as a prior?");
    }
    require_positive("Likelihood", lik.name, ref, it->second);
    return it->second.node;
  }

  // ---- likelihoods ----

  // A scalar parameter's constrained value, so a mean uses the value the draws report.
  NodeId scalar_param(const std::string& name) const {
    const auto it = node_map_.find(name);
    if (it == node_map_.end()) throw UserError("Unknown param: " + name);
    return it->second.node;
  }

  const std::vector<double>& column(const std::string& key) {
    const std::vector<double>* col = data_.vectors.find(key);
    if (!col) throw UserError("Missing data key: " + key);
    check_finite_column(key, *col);
    uses_.push_back(DataUse{UseKind::Column, key, col->size()});
    return *col;
  }

  NodeId build_mu_expr(const MuExpr& expr) {
    std::vector<std::pair<std::string, std::string>> terms;
    std::optional<std::string> intercept;
    if (try_extract_linear(expr, terms, intercept) && !terms.empty()) {
      std::vector<NodeId> coefs;
      std::vector<std::size_t> cols;
      coefs.reserve(terms.size());
      cols.reserve(terms.size());
      for (const auto& [param, key] : terms) {
        coefs.push_back(scalar_param(param));
        cols.push_back(graph_.store_data_vec(column(key)));
      }
      std::optional<NodeId> icpt;
      if (intercept) icpt = scalar_param(*intercept);
      return graph_.fused_linear_mu(std::move(coefs), std::move(cols), icpt);
    }
    return std::visit(
        [&](const auto& e) -> NodeId {
          using T = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<T, mu::ParamTerm>) {
            return scalar_param(e.param);
          } else if constexpr (std::is_same_v<T, mu::ParamTimesData>) {
            const NodeId c = scalar_param(e.param);
            const NodeId d = graph_.add_data(e.data_key, column(e.data_key));
            return graph_.scalar_mul_data(c, d);
          } else if constexpr (std::is_same_v<T, mu::Sum>) {
            const NodeId a = build_mu_expr(*e.left);
            const NodeId b = build_mu_expr(*e.right);
            const bool ls = is_scalar(*e.left);
            const bool rs = is_scalar(*e.right);
            if (ls && rs) return graph_.add(a, b);
            if (ls) return graph_.scalar_broadcast_add(a, b);
            if (rs) return graph_.scalar_broadcast_add(b, a);
            return graph_.vector_add(a, b);
          } else {
            static_assert(std::is_same_v<T, mu::MatrixTimesParam>);
            const auto vp = vector_params_.find(e.param);
            if (vp == vector_params_.end()) {
              throw UserError("Unknown vector param " + quoted(e.param) +
                              " \u2014 did you call vector_normal_prior?");
            }
            const BoundMatrix* mat = data_.matrices.find(e.matrix_key);
            if (!mat) {
              throw UserError("Missing matrix key " + quoted(e.matrix_key) + " in data dict");
            }
            const auto [start, count] = vp->second;
            if (count != mat->ncols) {
              throw UserError("Vector param " + quoted(e.param) + " has length " +
                              std::to_string(count) + " but matrix " + quoted(e.matrix_key) +
                              " has " + std::to_string(mat->ncols) + " columns");
            }
            check_finite_matrix(e.matrix_key, *mat);
            uses_.push_back(DataUse{UseKind::Matrix, e.matrix_key, mat->nrows});
            const std::size_t m = graph_.store_matrix(mat->values, mat->nrows, mat->ncols);
            return graph_.mat_vec_mul(m, start, count, std::nullopt);
          }
        },
        expr.node);
  }

  void build_likelihood(const LikelihoodSpec& lik) {
    NodeId mean = build_mu_expr(lik.mu_expr);
    if (is_scalar(lik.mu_expr)) mean = graph_.scalar_broadcast(mean);
    const NodeId sigma = resolve_sigma(lik);
    const std::vector<double>* obs = data_.vectors.find(lik.observed_key);
    if (!obs) {
      throw UserError((entry_ == EntryPoint::Sample ? "Missing observed data key: "
                                                    : "Missing data key: ") +
                      lik.observed_key);
    }
    check_finite_column(lik.observed_key, *obs);
    uses_.push_back(DataUse{UseKind::Observed, lik.observed_key, obs->size()});
    graph_.normal_obs_logp(mean, sigma, graph_.add_obs_data(*obs));
  }

  // The evaluator uses one observation count n for every column: the length of the first data
  // column, else of the first observed vector, else the first matrix's row count. Anything of
  // another length would be read short or counted in the normalising constant without its
  // residuals, so it is refused here.
  void check_lengths() const {
    const DataUse* ref = nullptr;
    for (UseKind kind : {UseKind::Column, UseKind::Observed, UseKind::Matrix}) {
      for (const auto& u : uses_) {
        if (u.kind == kind) {
          ref = &u;
          break;
        }
      }
      if (ref) break;
    }
    if (!ref) return;
    const std::string ref_text =
        ref->kind == UseKind::Matrix
            ? "the row count of matrix " + quoted(ref->key)
            : (ref->kind == UseKind::Observed ? "the length of observed data key "
                                              : "the length of data key ") +
                  quoted(ref->key);
    for (const auto& u : uses_) {
      if (u.length == ref->length) continue;
      std::string what;
      switch (u.kind) {
        case UseKind::Column:
          what = "Data key " + quoted(u.key) + " has length " + std::to_string(u.length);
          break;
        case UseKind::Observed:
          what = "Observed data key " + quoted(u.key) + " has length " + std::to_string(u.length);
          break;
        case UseKind::Matrix:
          what = "Matrix key " + quoted(u.key) + " has " + std::to_string(u.length) + " rows";
          break;
      }
      throw UserError(what + " but the model's observation count is " +
                      std::to_string(ref->length) + " (" + ref_text + ")");
    }
  }
};

}  // namespace

CompiledModel compile_model(const std::vector<PriorSpec>& priors,
                            const std::vector<LikelihoodSpec>& likelihoods,
                            const BoundData& data, EntryPoint entry) {
  return Compiler(data, entry).run(priors, likelihoods);
}

}  // namespace vorpex
