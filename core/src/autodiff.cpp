// Log density and gradient of a Graph: a compiled forward pass and a reverse-mode pass over a flat
// list of steps, the density formulas, and the log-gamma and digamma functions.
#include "autodiff.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "errors.hpp"
#include "linalg.hpp"

namespace vorpex {

namespace {

constexpr double kHalfLog2Pi = 0.9189385332046727;  // ln(2 pi) / 2
constexpr double kSqrt2Pi = 2.5066282746310002;
constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNoStep = static_cast<std::size_t>(-1);
// Rows per chunk of a fused likelihood: a few columns of this length fit in L1 together.
constexpr std::size_t kChunk = 512;

// Bits of EvalStep::push.
constexpr unsigned char kPushA = 1, kPushB = 2, kPushC = 4, kPushD = 8;

// Column reductions with four partial sums: the adds no longer wait on one another, so a long
// column runs at throughput. The order is fixed by the code, so results are reproducible.
double sum4(const double* __restrict a, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i];
    s1 += a[i + 1];
    s2 += a[i + 2];
    s3 += a[i + 3];
  }
  for (; i < n; ++i) s0 += a[i];
  return (s0 + s1) + (s2 + s3);
}

double dot4(const double* __restrict a, const double* __restrict b, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

// Sum of squared differences (y_i - m_i)^2.
double sqdiff4(const double* __restrict y, const double* __restrict m, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double r0 = y[i] - m[i], r1 = y[i + 1] - m[i + 1];
    const double r2 = y[i + 2] - m[i + 2], r3 = y[i + 3] - m[i + 3];
    s0 += r0 * r0;
    s1 += r1 * r1;
    s2 += r2 * r2;
    s3 += r3 * r3;
  }
  for (; i < n; ++i) {
    const double r = y[i] - m[i];
    s0 += r * r;
  }
  return (s0 + s1) + (s2 + s3);
}

// Two doubles in one SSE2 register (a GCC and Clang vector extension). The fused likelihood
// kernels below compute in these explicitly: their sums would otherwise stay scalar, since the
// compiler may not reorder floating-point additions on its own.
typedef double V2 __attribute__((vector_size(16)));
inline V2 load2(const double* p) {
  V2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, V2 v) { std::memcpy(p, &v, sizeof v); }
inline V2 splat(double x) { return V2{x, x}; }

// One pass of a linear mean over len rows with G <= 4 of its terms:
// m_i = base_i + c_0 x_0,i + c_1 x_1,i + ..., added in term order, base being the intercept on
// the first pass and m itself afterwards, so a mean built in several passes has the same bits as
// one built term by term. On the last pass also returns the sum of (y_i - m_i)^2.
template <int G, bool First, bool Last>
double linear_pass(double* __restrict m, const double* __restrict y, std::size_t len, double icpt,
                   const double* c, const double* const* x) {
  constexpr int kG = G > 0 ? G : 1;
  V2 cv[kG];
  const double* __restrict xs[kG];
  for (int t = 0; t < G; ++t) {
    cv[t] = splat(c[t]);
    xs[t] = x[t];
  }
  V2 a0 = splat(0.0), a1 = splat(0.0);
  std::size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    V2 v0 = First ? splat(icpt) : load2(m + i);
    V2 v1 = First ? splat(icpt) : load2(m + i + 2);
    for (int t = 0; t < G; ++t) {
      v0 += cv[t] * load2(xs[t] + i);
      v1 += cv[t] * load2(xs[t] + i + 2);
    }
    store2(m + i, v0);
    store2(m + i + 2, v1);
    if constexpr (Last) {
      const V2 r0 = load2(y + i) - v0, r1 = load2(y + i + 2) - v1;
      a0 += r0 * r0;
      a1 += r1 * r1;
    }
  }
  double ss = (a0[0] + a1[0]) + (a0[1] + a1[1]);
  for (; i < len; ++i) {
    double v = First ? icpt : m[i];
    for (int t = 0; t < G; ++t) v += c[t] * xs[t][i];
    m[i] = v;
    if constexpr (Last) ss += (y[i] - v) * (y[i] - v);
  }
  return ss;
}

template <bool First, bool Last>
double linear_pass_of(int g, double* m, const double* y, std::size_t len, double icpt,
                      const double* c, const double* const* x) {
  switch (g) {
    case 0: return linear_pass<0, First, Last>(m, y, len, icpt, c, x);
    case 1: return linear_pass<1, First, Last>(m, y, len, icpt, c, x);
    case 2: return linear_pass<2, First, Last>(m, y, len, icpt, c, x);
    case 3: return linear_pass<3, First, Last>(m, y, len, icpt, c, x);
    default: return linear_pass<4, First, Last>(m, y, len, icpt, c, x);
  }
}

// Adds, over len rows with r_i = y_i - m_i, the sum of r_i to sums[0] (when WithSum) and the
// sum of r_i x_t,i to sums[1 + t] for G <= 4 columns x_t.
template <int G, bool WithSum>
void residual_pass(const double* __restrict y, const double* __restrict m, std::size_t len,
                   const double* const* x, double* sums) {
  constexpr int kG = G > 0 ? G : 1;
  const double* __restrict xs[kG];
  V2 d0[kG], d1[kG];
  for (int t = 0; t < kG; ++t) {
    xs[t] = t < G ? x[t] : nullptr;
    d0[t] = splat(0.0);
    d1[t] = splat(0.0);
  }
  V2 s0 = splat(0.0), s1 = splat(0.0);
  std::size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    const V2 r0 = load2(y + i) - load2(m + i), r1 = load2(y + i + 2) - load2(m + i + 2);
    if constexpr (WithSum) {
      s0 += r0;
      s1 += r1;
    }
    for (int t = 0; t < G; ++t) {
      d0[t] += r0 * load2(xs[t] + i);
      d1[t] += r1 * load2(xs[t] + i + 2);
    }
  }
  double s = (s0[0] + s1[0]) + (s0[1] + s1[1]);
  double d[kG];
  for (int t = 0; t < G; ++t) d[t] = (d0[t][0] + d1[t][0]) + (d0[t][1] + d1[t][1]);
  for (; i < len; ++i) {
    const double r = y[i] - m[i];
    s += r;
    for (int t = 0; t < G; ++t) d[t] += r * xs[t][i];
  }
  if constexpr (WithSum) sums[0] += s;
  for (int t = 0; t < G; ++t) sums[1 + t] += d[t];
}

template <bool WithSum>
void residual_pass_of(int g, const double* y, const double* m, std::size_t len,
                      const double* const* x, double* sums) {
  switch (g) {
    case 0: return residual_pass<0, WithSum>(y, m, len, x, sums);
    case 1: return residual_pass<1, WithSum>(y, m, len, x, sums);
    case 2: return residual_pass<2, WithSum>(y, m, len, x, sums);
    case 3: return residual_pass<3, WithSum>(y, m, len, x, sums);
    default: return residual_pass<4, WithSum>(y, m, len, x, sums);
  }
}

// Over n rows with r_i = y_i - m_i: writes (Assign) or adds f r_i to g_i and returns the sum of
// r_i^2.
template <bool Assign>
double residual_grad(const double* __restrict y, const double* __restrict m, double* __restrict g,
                     double f, std::size_t n) {
  const V2 fv = splat(f);
  V2 a0 = splat(0.0), a1 = splat(0.0);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const V2 r0 = load2(y + i) - load2(m + i), r1 = load2(y + i + 2) - load2(m + i + 2);
    a0 += r0 * r0;
    a1 += r1 * r1;
    if constexpr (Assign) {
      store2(g + i, fv * r0);
      store2(g + i + 2, fv * r1);
    } else {
      store2(g + i, load2(g + i) + fv * r0);
      store2(g + i + 2, load2(g + i + 2) + fv * r1);
    }
  }
  double ss = (a0[0] + a1[0]) + (a0[1] + a1[1]);
  for (; i < n; ++i) {
    const double r = y[i] - m[i];
    ss += r * r;
    g[i] = Assign ? f * r : g[i] + f * r;
  }
  return ss;
}

double clamp_probability(double p) { return std::clamp(p, 1e-12, 0.999999999999); }

// Terms of the scalar densities that depend on the hyperparameters only. The densities add the
// variate's terms to these in the same order whether or not they were computed in advance, so a
// hoisted constant gives the same bits as the per-call computation.
double student_t_log_norm(double nu, double sigma) {
  return lgamma_lanczos((nu + 1.0) / 2.0) - lgamma_lanczos(nu / 2.0) -
         0.5 * std::log(kPi * nu * sigma * sigma);
}
double gamma_log_norm(double alpha, double beta) {
  return alpha * std::log(beta) - lgamma_lanczos(alpha);
}
double beta_log_norm(double alpha, double beta) {
  return lgamma_lanczos(alpha + beta) - lgamma_lanczos(alpha) - lgamma_lanczos(beta);
}
double half_normal_log_norm(double sigma) { return std::log(2.0 / (kSqrt2Pi * sigma)); }

double student_t_value(double norm, double x, double nu, double mu, double sigma) {
  const double z = (x - mu) / sigma;
  return norm - ((nu + 1.0) / 2.0) * std::log(1.0 + z * z / nu);
}
double beta_value(double norm, double x, double alpha, double beta) {
  if (x <= 0.0 || x >= 1.0) return -kInf;
  return norm + (alpha - 1.0) * std::log(x) + (beta - 1.0) * std::log(1.0 - x);
}

[[noreturn]] void unreachable() { internal_error("entered unreachable code"); }

// Calls f on every node id that op reads.
template <class F>
void for_each_operand(const Op& node_op, F&& f) {
  std::visit(
      [&](const auto& o) {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, op::Add> || std::is_same_v<T, op::Mul> ||
                      std::is_same_v<T, op::Sub> || std::is_same_v<T, op::Div> ||
                      std::is_same_v<T, op::VectorAdd>) {
          f(o.a);
          f(o.b);
        } else if constexpr (std::is_same_v<T, op::Neg> || std::is_same_v<T, op::Exp> ||
                             std::is_same_v<T, op::Log> || std::is_same_v<T, op::Sigmoid> ||
                             std::is_same_v<T, op::Square>) {
          f(o.a);
        } else if constexpr (std::is_same_v<T, op::ScalarMulData> ||
                             std::is_same_v<T, op::ScalarBroadcastAdd>) {
          f(o.s);
          f(o.v);
        } else if constexpr (std::is_same_v<T, op::ScalarBroadcast>) {
          f(o.s);
        } else if constexpr (std::is_same_v<T, op::NormalLogp>) {
          f(o.x);
          f(o.mu);
          f(o.sigma);
        } else if constexpr (std::is_same_v<T, op::NormalObsLogp>) {
          f(o.mu);
          f(o.sigma);
        } else if constexpr (std::is_same_v<T, op::HalfNormalLogp>) {
          f(o.x);
          f(o.sigma);
        } else if constexpr (std::is_same_v<T, op::StudentTLogp>) {
          f(o.x);
          f(o.nu);
          f(o.mu);
          f(o.sigma);
        } else if constexpr (std::is_same_v<T, op::UniformLogp>) {
          f(o.x);
          f(o.lo);
          f(o.hi);
        } else if constexpr (std::is_same_v<T, op::BernoulliLogp>) {
          f(o.x);
          f(o.p);
        } else if constexpr (std::is_same_v<T, op::PoissonLogp>) {
          f(o.k);
          f(o.lambda);
        } else if constexpr (std::is_same_v<T, op::GammaLogp> || std::is_same_v<T, op::BetaLogp>) {
          f(o.x);
          f(o.alpha);
          f(o.beta);
        } else if constexpr (std::is_same_v<T, op::FusedLinearMu>) {
          if (o.intercept) f(*o.intercept);
          for (NodeId c : o.coefs) f(c);
        } else if constexpr (std::is_same_v<T, op::MatVecMul>) {
          if (o.intercept) f(*o.intercept);
        }
        // Param, Constant, Data and the vector densities read no node.
      },
      node_op);
}

}  // namespace

double lgamma_lanczos(double a) {
  if (a <= 0.0) return kInf;
  const double s = 1.000000000190015 + 76.18009172947146 / (a + 1.0) -
                   86.50532032941678 / (a + 2.0) + 24.01409824083091 / (a + 3.0) -
                   1.231739572450155 / (a + 4.0) + 0.001208650973866179 / (a + 5.0) -
                   0.000005395239384953 / (a + 6.0);
  return std::log(kSqrt2Pi * s / a) - (a + 5.5) + (a + 0.5) * std::log(a + 5.5);
}

double digamma(double a) {
  // Below zero the upward recurrence would take about -a steps (forever at -inf or below -2^53),
  // so reflect first: psi(a) = psi(1 - a) - pi / tan(pi a).
  if (a < 0.0) return digamma(1.0 - a) - kPi / std::tan(kPi * a);
  double y = a;
  double t = 0.0;
  while (y < 8.0) {
    t -= 1.0 / y;
    y += 1.0;
  }
  const double c = 1.0 / (y * y);
  return t + std::log(y) - 0.5 / y -
         c * (0.08333333333333333 - c * (0.008333333333333333 - c / 252.0));
}

double beta_logp_scalar(double x, double alpha, double beta) {
  return beta_value(beta_log_norm(alpha, beta), x, alpha, beta);
}

double student_t_logp_scalar(double x, double nu, double mu, double sigma) {
  return student_t_value(student_t_log_norm(nu, sigma), x, nu, mu, sigma);
}

Evaluator::Evaluator(const Graph& graph) {
  const std::size_t nn = graph.nodes.size();
  if (!graph.data.empty()) {
    n_obs = graph.data.front().size();
  } else if (!graph.obs_data.empty()) {
    n_obs = graph.obs_data.front().size();
  } else if (!graph.matrices.empty()) {
    n_obs = graph.matrices.front().nrows;
  }
  const std::size_t n = n_obs;
  const std::size_t np = graph.n_params;

  node_slots.assign(nn, NodeSlot{});
  values.assign(nn, 0.0);
  log_values.assign(nn, 0.0);
  inv_values.assign(nn, 0.0);
  param_nodes.assign(np, std::nullopt);
  std::vector<std::size_t> step_of(nn, kNoStep);
  std::vector<NodeId> scales;
  std::size_t n_columns = 0;
  std::size_t n_scratch = 0;

  auto is_constant = [&](NodeId x) {
    return std::holds_alternative<op::Constant>(graph.nodes[x].op);
  };
  for (NodeId id = 0; id < nn; ++id) {
    auto scalar = [&](NodeId x) -> NodeId {
      if (x >= id || node_slots[x].kind != SlotKind::Scalar) unreachable();
      return x;
    };
    auto column = [&](NodeId x) -> ColumnRef {
      if (x >= id || node_slots[x].kind == SlotKind::Scalar) unreachable();
      return ColumnRef{node_slots[x].offset, node_slots[x].kind == SlotKind::Column, x};
    };
    auto data_column = [&](std::size_t d) {
      if (d >= graph.data.size()) internal_error("data column index out of range");
      if (graph.data[d].size() < n) {
        internal_error("data column " + std::to_string(d) + " has " +
                       std::to_string(graph.data[d].size()) + " entries, fewer than the " +
                       std::to_string(n) + " observations");
      }
    };
    auto block = [&](std::size_t start, std::size_t count) {
      if (start > np || count > np - start) {
        internal_error("coordinate block outside the position vector");
      }
    };
    auto push_bits = [&](std::initializer_list<NodeId> operands) {
      unsigned char bits = 0, bit = 1;
      for (NodeId x : operands) {
        if (!is_constant(x)) bits = static_cast<unsigned char>(bits | bit);
        bit = static_cast<unsigned char>(bit << 1);
      }
      return bits;
    };
    auto own_column = [&]() {
      node_slots[id] = NodeSlot{SlotKind::Column, n_columns * n};
      ++n_columns;
      return node_slots[id].offset;
    };
    auto take_scratch = [&](std::size_t k) {
      const std::size_t at = n_scratch;
      n_scratch += k;
      return at;
    };

    EvalStep st;
    st.id = id;
    bool has_step = true;
    std::visit(
        [&](const auto& o) {
          using T = std::decay_t<decltype(o)>;
          if constexpr (std::is_same_v<T, op::Param>) {
            if (o.index >= np) internal_error("parameter coordinate outside the position vector");
            st.code = StepCode::Param;
            st.index = o.index;
            param_reads.emplace_back(o.index, id);
            if (!param_nodes[o.index]) param_nodes[o.index] = id;
          } else if constexpr (std::is_same_v<T, op::Constant>) {
            has_step = false;
            values[id] = o.value;
            log_values[id] = std::log(o.value);
            inv_values[id] = 1.0 / o.value;
          } else if constexpr (std::is_same_v<T, op::Data>) {
            has_step = false;
            data_column(o.column);
            node_slots[id] = NodeSlot{SlotKind::Data, o.column};
          } else if constexpr (std::is_same_v<T, op::Add> || std::is_same_v<T, op::Mul> ||
                               std::is_same_v<T, op::Sub> || std::is_same_v<T, op::Div>) {
            st.code = std::is_same_v<T, op::Add>   ? StepCode::Add
                      : std::is_same_v<T, op::Mul> ? StepCode::Mul
                      : std::is_same_v<T, op::Sub> ? StepCode::Sub
                                                   : StepCode::Div;
            st.a = scalar(o.a);
            st.b = scalar(o.b);
          } else if constexpr (std::is_same_v<T, op::Neg> || std::is_same_v<T, op::Exp> ||
                               std::is_same_v<T, op::Log> || std::is_same_v<T, op::Sigmoid> ||
                               std::is_same_v<T, op::Square>) {
            st.code = std::is_same_v<T, op::Neg>     ? StepCode::Neg
                      : std::is_same_v<T, op::Exp>   ? StepCode::Exp
                      : std::is_same_v<T, op::Log>   ? StepCode::Log
                      : std::is_same_v<T, op::Sigmoid> ? StepCode::Sigmoid
                                                       : StepCode::Square;
            st.a = scalar(o.a);
          } else if constexpr (std::is_same_v<T, op::ScalarMulData>) {
            st.code = StepCode::ScalarMulData;
            st.a = scalar(o.s);
            st.va = column(o.v);
            st.out = own_column();
          } else if constexpr (std::is_same_v<T, op::VectorAdd>) {
            st.code = StepCode::VectorAdd;
            st.va = column(o.a);
            st.vb = column(o.b);
            st.out = own_column();
          } else if constexpr (std::is_same_v<T, op::ScalarBroadcastAdd>) {
            st.code = StepCode::ScalarBroadcastAdd;
            st.a = scalar(o.s);
            st.va = column(o.v);
            st.out = own_column();
          } else if constexpr (std::is_same_v<T, op::ScalarBroadcast>) {
            st.code = StepCode::ScalarBroadcast;
            st.a = scalar(o.s);
            st.out = own_column();
          } else if constexpr (std::is_same_v<T, op::FusedLinearMu>) {
            if (o.coefs.size() != o.cols.size()) {
              internal_error("fused linear mean with unequal coefficient and column counts");
            }
            st.code = StepCode::FusedLinearMu;
            st.a = o.intercept ? scalar(*o.intercept) : kNoNode;
            st.start = linear_terms.size();
            st.count = o.coefs.size();
            for (std::size_t k = 0; k < o.coefs.size(); ++k) {
              data_column(o.cols[k]);
              linear_terms.push_back(LinearTerm{scalar(o.coefs[k]), o.cols[k]});
            }
            st.out = own_column();
          } else if constexpr (std::is_same_v<T, op::MatVecMul>) {
            if (o.matrix >= graph.matrices.size()) internal_error("matrix index out of range");
            const MatrixData& m = graph.matrices[o.matrix];
            if (m.nrows != 0 && m.ncols > std::numeric_limits<std::size_t>::max() / m.nrows) {
              internal_error("matrix shape overflows");
            }
            if (m.data.size() != m.nrows * m.ncols || m.nrows != n || m.ncols != o.count) {
              internal_error("matrix " + std::to_string(o.matrix) + " of shape " +
                             std::to_string(m.nrows) + "x" + std::to_string(m.ncols) + " with " +
                             std::to_string(m.data.size()) + " entries does not fit a product of " +
                             std::to_string(n) + " rows over " + std::to_string(o.count) +
                             " coordinates");
            }
            block(o.start, o.count);
            st.code = StepCode::MatVecMul;
            st.a = o.intercept ? scalar(*o.intercept) : kNoNode;
            st.index = o.matrix;
            st.start = o.start;
            st.count = o.count;
            st.transform = o.transform;
            // Constrained values, their derivatives, and M^T g before the chain rule.
            if (o.transform.kind != TransformKind::Identity) st.scratch = take_scratch(3 * o.count);
            st.out = own_column();
          } else if constexpr (std::is_same_v<T, op::NormalLogp>) {
            st.code = StepCode::NormalLogp;
            st.a = scalar(o.x);
            st.b = scalar(o.mu);
            st.c = scalar(o.sigma);
            st.push = push_bits({o.x, o.mu, o.sigma});
            st.scratch = take_scratch(3);
            scales.push_back(o.sigma);
          } else if constexpr (std::is_same_v<T, op::NormalObsLogp>) {
            if (o.obs >= graph.obs_data.size()) internal_error("observed vector index out of range");
            if (graph.obs_data[o.obs].size() < n) {
              internal_error("observed vector " + std::to_string(o.obs) + " has " +
                             std::to_string(graph.obs_data[o.obs].size()) +
                             " entries, fewer than the " + std::to_string(n) + " observations");
            }
            st.code = StepCode::NormalObsLogp;
            st.k1 = static_cast<double>(graph.obs_data[o.obs].size());
            st.va = column(o.mu);
            st.b = scalar(o.sigma);
            st.index = o.obs;
            st.push = push_bits({o.mu, o.sigma});
            st.scratch = take_scratch(1);
            scales.push_back(o.sigma);
          } else if constexpr (std::is_same_v<T, op::HalfNormalLogp>) {
            st.code = StepCode::HalfNormalLogp;
            st.a = scalar(o.x);
            st.b = scalar(o.sigma);
            st.push = push_bits({o.x, o.sigma});
            st.hoisted = is_constant(o.sigma);
            if (st.hoisted) st.k0 = half_normal_log_norm(values[o.sigma]);
            st.scratch = take_scratch(3);
            scales.push_back(o.sigma);
          } else if constexpr (std::is_same_v<T, op::StudentTLogp>) {
            st.code = StepCode::StudentTLogp;
            st.a = scalar(o.x);
            st.b = scalar(o.nu);
            st.c = scalar(o.mu);
            st.d = scalar(o.sigma);
            st.push = push_bits({o.x, o.nu, o.mu, o.sigma});
            st.hoisted = is_constant(o.nu) && is_constant(o.sigma);
            if (st.hoisted) st.k0 = student_t_log_norm(values[o.nu], values[o.sigma]);
            st.scratch = take_scratch(4);
          } else if constexpr (std::is_same_v<T, op::UniformLogp>) {
            st.code = StepCode::UniformLogp;
            st.a = scalar(o.x);
            st.b = scalar(o.lo);
            st.c = scalar(o.hi);
            // The value is flat in x: x receives nothing.
            st.push = static_cast<unsigned char>(push_bits({o.x, o.lo, o.hi}) & ~kPushA);
          } else if constexpr (std::is_same_v<T, op::BernoulliLogp>) {
            st.code = StepCode::BernoulliLogp;
            st.a = scalar(o.x);
            st.b = scalar(o.p);
            st.push = push_bits({o.x, o.p});
            st.hoisted = is_constant(o.p);
            if (st.hoisted) {
              const double p = clamp_probability(values[o.p]);
              st.k0 = std::log(p);
              st.k1 = std::log(1.0 - p);
            }
            st.scratch = take_scratch(2);
          } else if constexpr (std::is_same_v<T, op::PoissonLogp>) {
            st.code = StepCode::PoissonLogp;
            st.a = scalar(o.k);
            st.b = scalar(o.lambda);
            st.push = push_bits({o.k, o.lambda});
            st.hoisted = is_constant(o.lambda);
            if (st.hoisted) st.k0 = std::log(values[o.lambda]);
            st.scratch = take_scratch(2);
          } else if constexpr (std::is_same_v<T, op::GammaLogp> || std::is_same_v<T, op::BetaLogp>) {
            constexpr bool gamma = std::is_same_v<T, op::GammaLogp>;
            st.code = gamma ? StepCode::GammaLogp : StepCode::BetaLogp;
            st.a = scalar(o.x);
            st.b = scalar(o.alpha);
            st.c = scalar(o.beta);
            st.push = push_bits({o.x, o.alpha, o.beta});
            st.hoisted = is_constant(o.alpha) && is_constant(o.beta);
            if (st.hoisted) {
              st.k0 = gamma ? gamma_log_norm(values[o.alpha], values[o.beta])
                            : beta_log_norm(values[o.alpha], values[o.beta]);
            }
            st.scratch = take_scratch(4);
          } else {
            // The six vector densities: a coordinate block, fixed hyperparameters, one
            // derivative slot per coordinate.
            block(o.start, o.count);
            st.start = o.start;
            st.count = o.count;
            st.scratch = take_scratch(o.count);
            if constexpr (std::is_same_v<T, op::VectorNormalLogp>) {
              st.code = StepCode::VectorNormalLogp;
              st.k0 = o.mu;
              st.k1 = o.sigma;
            } else if constexpr (std::is_same_v<T, op::VectorHalfNormalLogp>) {
              st.code = StepCode::VectorHalfNormalLogp;
              st.k0 = half_normal_log_norm(o.sigma);
              st.k1 = o.sigma;
            } else if constexpr (std::is_same_v<T, op::VectorStudentTLogp>) {
              st.code = StepCode::VectorStudentTLogp;
              st.k0 = student_t_log_norm(o.nu, o.sigma);
            } else if constexpr (std::is_same_v<T, op::VectorGammaLogp>) {
              st.code = StepCode::VectorGammaLogp;
              st.k0 = gamma_log_norm(o.alpha, o.beta);
            } else if constexpr (std::is_same_v<T, op::VectorBetaLogp>) {
              st.code = StepCode::VectorBetaLogp;
              st.k0 = beta_log_norm(o.alpha, o.beta);
            } else {
              static_assert(std::is_same_v<T, op::VectorUniformLogp>);
              st.code = StepCode::VectorUniformLogp;
            }
          }
        },
        graph.nodes[id].op);
    if (has_step) {
      step_of[id] = steps.size();
      steps.push_back(st);
    }
  }

  // A scale read by normal densities has its logarithm and reciprocal taken once per call, right
  // after its value (a constant's were taken above), so the densities divide by nothing.
  for (NodeId s : scales) {
    if (step_of[s] != kNoStep) steps[step_of[s]].scale = true;
  }

  // Fuse each normal likelihood with a mean column that nothing else reads. The mean's operands
  // all precede it, so computing it at the likelihood's position changes no value.
  std::vector<std::size_t> readers(nn, 0);
  for (const EvalStep& st : steps) {
    for (const ColumnRef* r : {&st.va, &st.vb}) {
      if (r->computed) ++readers[r->node];
    }
  }
  std::vector<bool> assigned(nn, false);  // columns whose adjoint is written by their reader
  std::vector<bool> removed(steps.size(), false);
  // Coordinates are copied into their Param nodes before the forward pass and collected after
  // the reverse pass, so a Param node needs no step.
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].code == StepCode::Param) removed[i] = true;
  }
  for (EvalStep& st : steps) {
    if (st.code != StepCode::NormalObsLogp || !st.va.computed || readers[st.va.node] != 1) continue;
    assigned[st.va.node] = true;
    const std::size_t at = step_of[st.va.node];
    const EvalStep& mean = steps[at];
    if (mean.code == StepCode::ScalarBroadcast) {
      st.code = StepCode::NormalObsScalarMean;
      st.a = mean.a;
      st.out = mean.out;
      removed[at] = true;
    } else if (mean.code == StepCode::FusedLinearMu) {
      st.code = StepCode::NormalObsLinearMean;
      st.a = mean.a;
      st.start = mean.start;
      st.count = mean.count;
      st.out = mean.out;
      // Half the sum of squares, the intercept's sum, one sum per coefficient.
      st.scratch = n_scratch;
      n_scratch += 2 + mean.count;
      removed[at] = true;
    } else {
      st.assign = true;
    }
  }
  std::vector<EvalStep> program;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (!removed[i]) program.push_back(steps[i]);
    if (steps[i].scale) {
      EvalStep sc;
      sc.code = StepCode::Scale;
      sc.id = steps[i].id;
      program.push_back(sc);
    }
  }
  steps = std::move(program);

  // Terms that no node reads are differentiated during the forward pass (see compute).
  std::vector<std::size_t> reads(nn, 0);
  for (const Node& node : graph.nodes) for_each_operand(node.op, [&](NodeId x) { ++reads[x]; });
  std::vector<bool> is_term(nn, false);
  for (NodeId t : graph.logp_terms) {
    if (t >= nn || node_slots[t].kind != SlotKind::Scalar) unreachable();
    is_term[t] = true;
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EvalStep& st = steps[i];
    st.eager = st.code != StepCode::Scale && is_term[st.id] && reads[st.id] == 0;
    if (!st.eager) reverse_order.push_back(i);
  }
  for (NodeId id = 0; id < nn; ++id) {
    if (node_slots[id].kind != SlotKind::Column || assigned[id] || n == 0) continue;
    const std::size_t off = node_slots[id].offset;
    if (!col_resets.empty() && col_resets.back().second == off) {
      col_resets.back().second = off + n;
    } else {
      col_resets.emplace_back(off, off + n);
    }
  }
  terms = graph.logp_terms;

  col_values.assign(n_columns * n, 0.0);
  col_adjoints.assign(n_columns * n, 0.0);
  adjoints.assign(nn, 0.0);
  adjoint_seed.assign(nn, 0.0);
  for (NodeId t : terms) adjoint_seed[t] = 1.0;
  grad.assign(np, 0.0);
  scratch.assign(n_scratch, 0.0);
}

void Evaluator::compute(const Graph& graph, const double* u) {
  if (graph.nodes.size() != values.size() || graph.n_params != grad.size()) {
    internal_error("evaluator used with a graph of another shape");
  }
  const std::size_t n = n_obs;
  double* __restrict val = values.data();
  double* __restrict lv = log_values.data();
  double* __restrict iv = inv_values.data();
  double* __restrict col = col_values.data();
  double* __restrict scr = scratch.data();
  double* __restrict cadj = col_adjoints.data();
  double* __restrict adj = adjoints.data();
  double* __restrict gr = grad.data();
  const LinearTerm* lin = linear_terms.data();
  auto column = [&](const ColumnRef& r) -> const double* {
    return r.computed ? col + r.index : graph.data[r.index].data();
  };
  // sigma of a normal likelihood receives sum (y - mu)^2 / sigma^3 - L / sigma, the derivative
  // of its value, with half the sum of squares saved by the forward pass.
  // (k1 holds L, the length of the observed vector.)
  auto push_obs_sigma = [&](const EvalStep& st, double X, double half_ss) {
    if (!(st.push & kPushB)) return;
    const double inv_sigma = iv[st.b];
    adj[st.b] += X * ((2.0 * half_ss * inv_sigma * inv_sigma - st.k1) * inv_sigma);
  };
  // L (-c0 - ln sigma) - S / sigma^2 with S half the sum of squares.
  auto obs_value = [&](const EvalStep& st, double half_ss) {
    return st.k1 * (-kHalfLog2Pi - lv[st.b]) - half_ss * iv[st.b] * iv[st.b];
  };

  // Reset and seed in one copy: zero adjoints with 1.0 at every term.
  std::copy(adjoint_seed.begin(), adjoint_seed.end(), adjoints.begin());
  for (const auto& [begin, end] : col_resets) std::fill(cadj + begin, cadj + end, 0.0);
  std::fill(grad.begin(), grad.end(), 0.0);

  // A fused linear mean over rows [c0, c0 + len): writes the mean, in passes of up to four
  // terms, and returns the sum of squared residuals.
  auto linear_chunk = [&](const EvalStep& st, std::size_t c0, std::size_t len) {
    const double* y = graph.obs_data[st.index].data() + c0;
    double* m = col + st.out + c0;
    const double icpt = st.a == kNoNode ? 0.0 : val[st.a];
    double c[4];
    const double* x[4];
    double ss = 0.0;
    std::size_t k = 0;
    do {
      const std::size_t g = std::min<std::size_t>(4, st.count - k);
      for (std::size_t t = 0; t < g; ++t) {
        c[t] = val[lin[st.start + k + t].coef];
        x[t] = graph.data[lin[st.start + k + t].column].data() + c0;
      }
      const bool first = k == 0, last = k + g == st.count;
      const int gi = static_cast<int>(g);
      if (first && last) {
        ss = linear_pass_of<true, true>(gi, m, y, len, icpt, c, x);
      } else if (first) {
        linear_pass_of<true, false>(gi, m, y, len, icpt, c, x);
      } else if (last) {
        ss = linear_pass_of<false, true>(gi, m, y, len, icpt, c, x);
      } else {
        linear_pass_of<false, false>(gi, m, y, len, icpt, c, x);
      }
      k += g;
    } while (k < st.count);
    return ss;
  };
  // Adds the chunk's sums of r_i = y_i - mu_i (sums[0]) and r_i x_k,i (sums[1 + k]).
  auto residual_chunk = [&](const EvalStep& st, std::size_t c0, std::size_t len, double* sums) {
    const double* y = graph.obs_data[st.index].data() + c0;
    const double* m = col + st.out + c0;
    const double* x[4];
    std::size_t k = 0;
    do {
      const std::size_t g = std::min<std::size_t>(4, st.count - k);
      for (std::size_t t = 0; t < g; ++t) {
        x[t] = graph.data[lin[st.start + k + t].column].data() + c0;
      }
      if (k == 0) {
        residual_pass_of<true>(static_cast<int>(g), y, m, len, x, sums);
      } else {
        residual_pass_of<false>(static_cast<int>(g), y, m, len, x, sums + k);
      }
      k += g;
    } while (k < st.count);
  };
  // The mean column's adjoint is f r_i with f = X / sigma^2: the coefficients receive
  // f sum r_i x_k,i and the intercept f sum r_i, without storing the column adjoint.
  auto push_linear_mean = [&](const EvalStep& st, double X, const double* sums) {
    const double f = X * iv[st.b] * iv[st.b];
    for (std::size_t k = 0; k < st.count; ++k) adj[lin[st.start + k].coef] += f * sums[1 + k];
    if (st.a != kNoNode) adj[st.a] += f * sums[0];
    push_obs_sigma(st, X, scr[st.scratch]);
  };

  // Pushes the derivatives of one step, whose adjoint is X, to its operands (step 5 of the
  // evaluation; the operands' values are those of this call's forward pass).
  auto backward = [&](const EvalStep& st, double X) __attribute__((always_inline)) {
    const double* p = scr + st.scratch;
      switch (st.code) {
        case StepCode::Param:
        case StepCode::Scale:
          break;
        case StepCode::Add:
          adj[st.a] += X;
          adj[st.b] += X;
          break;
        case StepCode::Sub:
          adj[st.a] += X;
          adj[st.b] -= X;
          break;
        case StepCode::Mul: {
          const double a = val[st.a], b = val[st.b];
          adj[st.a] += X * b;
          adj[st.b] += X * a;
          break;
        }
        case StepCode::Div: {
          const double a = val[st.a], b = val[st.b];
          adj[st.a] += X / b;
          adj[st.b] -= X * a / (b * b);
          break;
        }
        case StepCode::Neg:
          adj[st.a] -= X;
          break;
        case StepCode::Exp:
          adj[st.a] += X * val[st.id];  // the node's value is exp(a)
          break;
        case StepCode::Log:
          adj[st.a] += X / val[st.a];
          break;
        case StepCode::Sigmoid: {
          const double s = val[st.id];  // stays finite where exp(-a) overflows
          adj[st.a] += X * s * (1.0 - s);
          break;
        }
        case StepCode::Square:
          adj[st.a] += 2.0 * X * val[st.a];
          break;
        case StepCode::ScalarMulData: {
          const double* g = cadj + st.out;
          const double* v = column(st.va);
          adj[st.a] += dot4(g, v, n);
          if (st.va.computed) {
            const double s = val[st.a];
            double* gv = cadj + st.va.index;
            for (std::size_t i = 0; i < n; ++i) gv[i] += s * g[i];
          }
          break;
        }
        case StepCode::VectorAdd: {
          const double* g = cadj + st.out;
          for (const ColumnRef* r : {&st.va, &st.vb}) {
            if (!r->computed) continue;
            double* ga = cadj + r->index;
            for (std::size_t i = 0; i < n; ++i) ga[i] += g[i];
          }
          break;
        }
        case StepCode::ScalarBroadcastAdd: {
          const double* g = cadj + st.out;
          adj[st.a] += sum4(g, n);
          if (st.va.computed) {
            double* gv = cadj + st.va.index;
            for (std::size_t i = 0; i < n; ++i) gv[i] += g[i];
          }
          break;
        }
        case StepCode::ScalarBroadcast:
          adj[st.a] += sum4(cadj + st.out, n);
          break;
        case StepCode::FusedLinearMu: {
          const double* g = cadj + st.out;
          for (std::size_t k = st.start; k < st.start + st.count; ++k) {
            adj[lin[k].coef] += dot4(g, graph.data[lin[k].column].data(), n);
          }
          if (st.a != kNoNode) adj[st.a] += sum4(g, n);
          break;
        }
        case StepCode::MatVecMul: {
          const double* g = cadj + st.out;
          if (n != 0 && st.count != 0) {
            const double* m = graph.matrices[st.index].data.data();
            if (st.transform.kind == TransformKind::Identity) {
              linalg::gemv_t_acc(m, n, st.count, g, gr + st.start);
            } else {
              // d/du_j = (M^T g)_j * dx_j/du_j.
              const double* ds = p + st.count;
              double* mt = scr + st.scratch + 2 * st.count;
              std::fill_n(mt, st.count, 0.0);
              linalg::gemv_t_acc(m, n, st.count, g, mt);
              for (std::size_t j = 0; j < st.count; ++j) gr[st.start + j] += mt[j] * ds[j];
            }
          }
          if (st.a != kNoNode) adj[st.a] += sum4(g, n);
          break;
        }
        case StepCode::NormalLogp:
          if (st.push & kPushA) adj[st.a] += X * p[0];
          if (st.push & kPushB) adj[st.b] += X * p[1];
          if (st.push & kPushC) adj[st.c] += X * p[2];
          break;
        case StepCode::NormalObsLogp: {
          if (st.va.computed) {
            const double f = X * iv[st.b] * iv[st.b];
            const double* y = graph.obs_data[st.index].data();
            const double* mu = col + st.va.index;
            double* gm = cadj + st.va.index;
            if (st.assign) {
              for (std::size_t i = 0; i < n; ++i) gm[i] = f * (y[i] - mu[i]);
            } else {
              for (std::size_t i = 0; i < n; ++i) gm[i] += f * (y[i] - mu[i]);
            }
          }
          push_obs_sigma(st, X, p[0]);
          break;
        }
        case StepCode::NormalObsScalarMean: {
          // The mean column's adjoint f (y_i - m) is summed straight into the scalar.
          const double* y = graph.obs_data[st.index].data();
          const double m = val[st.a];
          double acc = 0.0;
          for (std::size_t i = 0; i < n; ++i) acc += y[i] - m;
          adj[st.a] += X * iv[st.b] * iv[st.b] * acc;
          push_obs_sigma(st, X, p[0]);
          break;
        }
        case StepCode::NormalObsLinearMean: {
          double* sums = scr + st.scratch + 1;
          std::fill_n(sums, st.count + 1, 0.0);
          for (std::size_t c0 = 0; c0 < n; c0 += kChunk) {
            residual_chunk(st, c0, std::min(kChunk, n - c0), sums);
          }
          push_linear_mean(st, X, sums);
          break;
        }
        case StepCode::HalfNormalLogp:
          if (p[0] != 0.0) {
            if (st.push & kPushA) adj[st.a] += X * p[1];
            if (st.push & kPushB) adj[st.b] += X * p[2];
          }
          break;
        case StepCode::StudentTLogp:
          if (st.push & kPushA) adj[st.a] += X * p[0];
          if (st.push & kPushB) adj[st.b] += X * p[1];
          if (st.push & kPushC) adj[st.c] += X * p[2];
          if (st.push & kPushD) adj[st.d] += X * p[3];
          break;
        case StepCode::UniformLogp: {
          const double width = val[st.c] - val[st.b];
          if (width > 0.0) {
            if (st.push & kPushB) adj[st.b] += X / width;
            if (st.push & kPushC) adj[st.c] -= X / width;
          }
          break;
        }
        case StepCode::BernoulliLogp:
        case StepCode::PoissonLogp:
          if (st.push & kPushA) adj[st.a] += X * p[0];
          if (st.push & kPushB) adj[st.b] += X * p[1];
          break;
        case StepCode::GammaLogp:
        case StepCode::BetaLogp:
          if (p[0] != 0.0) {
            if (st.push & kPushA) adj[st.a] += X * p[1];
            if (st.push & kPushB) adj[st.b] += X * p[2];
            if (st.push & kPushC) adj[st.c] += X * p[3];
          }
          break;
        case StepCode::VectorNormalLogp:
        case StepCode::VectorHalfNormalLogp:
        case StepCode::VectorStudentTLogp:
        case StepCode::VectorGammaLogp:
        case StepCode::VectorBetaLogp:
        case StepCode::VectorUniformLogp:
          for (std::size_t j = 0; j < st.count; ++j) gr[st.start + j] += X * p[j];
          break;
        default:
          __builtin_unreachable();  // every code is handled above
      }
  };

  // Forward pass. A term that no node reads keeps its seed 1.0 as its adjoint, so it pushes its
  // derivatives as soon as its value is known, and the reverse pass skips it.
  for (const auto& [coord, node] : param_reads) val[node] = u[coord];
  for (const EvalStep& st : steps) {
    double* p = scr + st.scratch;
    switch (st.code) {
      case StepCode::Param:
        val[st.id] = u[st.index];
        break;
      case StepCode::Scale:
        lv[st.id] = std::log(val[st.id]);
        iv[st.id] = 1.0 / val[st.id];
        break;
      case StepCode::Add:
        val[st.id] = val[st.a] + val[st.b];
        break;
      case StepCode::Mul:
        val[st.id] = val[st.a] * val[st.b];
        break;
      case StepCode::Sub:
        val[st.id] = val[st.a] - val[st.b];
        break;
      case StepCode::Div:
        val[st.id] = val[st.a] / val[st.b];
        break;
      case StepCode::Neg:
        val[st.id] = -val[st.a];
        break;
      case StepCode::Exp:
        val[st.id] = std::exp(val[st.a]);
        break;
      case StepCode::Log:
        val[st.id] = std::log(val[st.a]);
        break;
      case StepCode::Sigmoid:
        val[st.id] = 1.0 / (std::exp(-val[st.a]) + 1.0);
        break;
      case StepCode::Square:
        val[st.id] = val[st.a] * val[st.a];
        break;
      case StepCode::ScalarMulData: {
        const double s = val[st.a];
        const double* v = column(st.va);
        double* y = col + st.out;
        for (std::size_t i = 0; i < n; ++i) y[i] = v[i] * s;
        break;
      }
      case StepCode::VectorAdd: {
        const double* a = column(st.va);
        const double* b = column(st.vb);
        double* y = col + st.out;
        for (std::size_t i = 0; i < n; ++i) y[i] = a[i] + b[i];
        break;
      }
      case StepCode::ScalarBroadcastAdd: {
        const double s = val[st.a];
        const double* v = column(st.va);
        double* y = col + st.out;
        for (std::size_t i = 0; i < n; ++i) y[i] = v[i] + s;
        break;
      }
      case StepCode::ScalarBroadcast:
        std::fill_n(col + st.out, n, val[st.a]);
        break;
      case StepCode::FusedLinearMu: {
        double* __restrict y = col + st.out;
        std::fill_n(y, n, st.a == kNoNode ? 0.0 : val[st.a]);
        for (std::size_t k = st.start; k < st.start + st.count; ++k) {
          const double c = val[lin[k].coef];
          const double* __restrict x = graph.data[lin[k].column].data();
          for (std::size_t i = 0; i < n; ++i) y[i] += c * x[i];
        }
        break;
      }
      case StepCode::MatVecMul: {
        double* y = col + st.out;
        std::fill_n(y, n, st.a == kNoNode ? 0.0 : val[st.a]);
        const double* x = u + st.start;
        if (st.transform.kind != TransformKind::Identity) {
          // Constrained values, and dx/du for the reverse pass.
          double* xs = p;
          double* ds = p + st.count;
          for (std::size_t j = 0; j < st.count; ++j) {
            const double uj = u[st.start + j];
            if (st.transform.kind == TransformKind::Log) {
              xs[j] = std::exp(uj);
              ds[j] = xs[j];
            } else {
              const double s = 1.0 / (1.0 + std::exp(-uj));
              const double w = st.transform.kind == TransformKind::Logit
                                   ? 1.0
                                   : st.transform.hi - st.transform.lo;
              xs[j] = st.transform.kind == TransformKind::Logit ? s : st.transform.lo + w * s;
              ds[j] = w * (s * (1.0 - s));
            }
          }
          x = xs;
        }
        if (n != 0 && st.count != 0) {
          linalg::gemv_acc(graph.matrices[st.index].data.data(), n, st.count, x, y);
        }
        break;
      }
      case StepCode::NormalLogp: {
        const double x = val[st.a], mu = val[st.b];
        const double inv_sigma = iv[st.c];
        const double d = x - mu;
        const double t = d * inv_sigma * inv_sigma;  // (x - mu) / sigma^2
        val[st.id] = -0.5 * (d * t) - lv[st.c] - kHalfLog2Pi;
        p[0] = -t;
        p[1] = t;
        p[2] = (d * t - 1.0) * inv_sigma;
        break;
      }
      case StepCode::NormalObsLogp: {
        const double* y = graph.obs_data[st.index].data();
        if (st.eager && st.va.computed) {
          // Residuals, their squares and the mean's adjoint (y_i - mu_i) / sigma^2 in one pass.
          const double f = iv[st.b] * iv[st.b];
          double* g = cadj + st.va.index;
          const double ss = st.assign ? residual_grad<true>(y, col + st.va.index, g, f, n)
                                      : residual_grad<false>(y, col + st.va.index, g, f, n);
          p[0] = 0.5 * ss;
          val[st.id] = obs_value(st, p[0]);
          push_obs_sigma(st, 1.0, p[0]);
          continue;  // differentiated above
        }
        p[0] = 0.5 * sqdiff4(y, column(st.va), n);
        val[st.id] = obs_value(st, p[0]);
        break;
      }
      case StepCode::NormalObsScalarMean: {
        const double* y = graph.obs_data[st.index].data();
        const double m = val[st.a];
        double* mc = col + st.out;
        double acc = 0.0, sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          mc[i] = m;
          const double r = y[i] - m;
          acc += r * r;
          sum += r;
        }
        p[0] = 0.5 * acc;
        val[st.id] = obs_value(st, p[0]);
        if (st.eager) {
          // The mean column's adjoint (y_i - m) / sigma^2, summed straight into the scalar.
          adj[st.a] += iv[st.b] * iv[st.b] * sum;
          push_obs_sigma(st, 1.0, p[0]);
          continue;  // differentiated above
        }
        break;
      }
      case StepCode::NormalObsLinearMean: {
        // In L1-sized chunks, so that an eager step's residual pass finds the chunk in cache.
        double* sums = p + 1;
        std::fill_n(sums, st.count + 1, 0.0);
        double ss = 0.0;
        for (std::size_t c0 = 0; c0 < n; c0 += kChunk) {
          const std::size_t len = std::min(kChunk, n - c0);
          ss += linear_chunk(st, c0, len);
          if (st.eager) residual_chunk(st, c0, len, sums);
        }
        p[0] = 0.5 * ss;
        val[st.id] = obs_value(st, p[0]);
        if (st.eager) {
          push_linear_mean(st, 1.0, sums);
          continue;  // differentiated above
        }
        break;
      }
      case StepCode::HalfNormalLogp: {
        const double x = val[st.a], sigma = val[st.b];
        if (x < 0.0) {
          val[st.id] = -kInf;
          p[0] = 0.0;
          break;
        }
        const double norm = st.hoisted ? st.k0 : half_normal_log_norm(sigma);
        const double inv_sigma = iv[st.b];
        const double inv_var = inv_sigma * inv_sigma;
        val[st.id] = norm - x * x * inv_var * 0.5;
        p[0] = 1.0;
        p[1] = -x * inv_var;
        p[2] = (x * x * inv_var - 1.0) * inv_sigma;
        break;
      }
      case StepCode::StudentTLogp: {
        const double x = val[st.a], nu = val[st.b], mu = val[st.c], sigma = val[st.d];
        const double norm = st.hoisted ? st.k0 : student_t_log_norm(nu, sigma);
        val[st.id] = student_t_value(norm, x, nu, mu, sigma);
        const double z = (x - mu) / sigma;
        const double w = 1.0 + z * z / nu;
        const double g = (nu + 1.0) * z / (nu * sigma * w);
        p[0] = -g;
        p[2] = g;
        p[3] = g * z - 1.0 / sigma;  // (nu + 1) z^2 / (nu sigma w) - 1 / sigma
        if (st.push & kPushB) {
          p[1] = 0.5 * digamma((nu + 1.0) / 2.0) - 0.5 * digamma(nu / 2.0) - 0.5 / nu -
                 0.5 * std::log(w) + ((nu + 1.0) / 2.0) * z * z / (nu * nu * w);
        }
        break;
      }
      case StepCode::UniformLogp: {
        const double x = val[st.a], lo = val[st.b], hi = val[st.c];
        val[st.id] = (x < lo || x > hi) ? -kInf : -std::log(hi - lo);
        break;
      }
      case StepCode::BernoulliLogp: {
        const double x = val[st.a];
        const double pc = clamp_probability(val[st.b]);
        const double lp = st.hoisted ? st.k0 : std::log(pc);
        const double lq = st.hoisted ? st.k1 : std::log(1.0 - pc);
        val[st.id] = x * lp + (1.0 - x) * lq;
        p[0] = lp - lq;
        p[1] = x / pc - (1.0 - x) / (1.0 - pc);
        break;
      }
      case StepCode::PoissonLogp: {
        const double k = val[st.a], lambda = val[st.b];
        const double ll = st.hoisted ? st.k0 : std::log(lambda);
        val[st.id] = k * ll - lambda - lgamma_lanczos(k + 1.0);
        if (st.push & kPushA) p[0] = ll - digamma(k + 1.0);
        p[1] = k / lambda - 1.0;
        break;
      }
      case StepCode::GammaLogp: {
        const double x = val[st.a], alpha = val[st.b], beta = val[st.c];
        if (x <= 0.0) {
          val[st.id] = -kInf;
          p[0] = 0.0;
          break;
        }
        const double norm = st.hoisted ? st.k0 : gamma_log_norm(alpha, beta);
        const double lx = std::log(x);
        val[st.id] = norm + (alpha - 1.0) * lx - beta * x;
        p[0] = 1.0;
        p[1] = (alpha - 1.0) / x - beta;
        if (st.push & kPushB) p[2] = std::log(beta) - digamma(alpha) + lx;
        p[3] = alpha / beta - x;
        break;
      }
      case StepCode::BetaLogp: {
        const double x = val[st.a], alpha = val[st.b], beta = val[st.c];
        if (x <= 0.0 || x >= 1.0) {
          val[st.id] = -kInf;
          p[0] = 0.0;
          break;
        }
        const double norm = st.hoisted ? st.k0 : beta_log_norm(alpha, beta);
        val[st.id] = beta_value(norm, x, alpha, beta);
        p[0] = 1.0;
        p[1] = (alpha - 1.0) / x - (beta - 1.0) / (1.0 - x);
        if (st.push & (kPushB | kPushC)) {
          const double dab = digamma(alpha + beta);
          p[2] = dab - digamma(alpha) + std::log(x);
          p[3] = dab - digamma(beta) + std::log(1.0 - x);
        }
        break;
      }
      case StepCode::VectorNormalLogp: {
        const double* x = u + st.start;
        const double mu = st.k0, sigma = st.k1;
        const double inv_var = 1.0 / (sigma * sigma);
        const double norm = -kHalfLog2Pi - std::log(sigma);
        double acc = 0.0;
        for (std::size_t j = 0; j < st.count; ++j) {
          const double t = (x[j] - mu) * inv_var;
          acc += norm - 0.5 * (x[j] - mu) * t;
          p[j] = -t;
        }
        val[st.id] = acc;
        break;
      }
      case StepCode::VectorHalfNormalLogp: {
        const double* x = u + st.start;
        const double inv_var = 1.0 / (st.k1 * st.k1);
        double acc = 0.0;
        for (std::size_t j = 0; j < st.count; ++j) {
          const double e2 = std::exp(2.0 * x[j]) * inv_var;  // exp(2u) / sigma^2
          acc += st.k0 - 0.5 * e2 + x[j];
          p[j] = 1.0 - e2;
        }
        val[st.id] = acc;
        break;
      }
      case StepCode::VectorStudentTLogp: {
        const auto& o = std::get<op::VectorStudentTLogp>(graph.nodes[st.id].op);
        const double* x = u + st.start;
        double acc = 0.0;
        for (std::size_t j = 0; j < st.count; ++j) {
          const double z = (x[j] - o.mu) / o.sigma;
          const double w = 1.0 + z * z / o.nu;
          acc += st.k0 - ((o.nu + 1.0) / 2.0) * std::log(w);
          p[j] = -(o.nu + 1.0) * z / (w * o.sigma * o.nu);
        }
        val[st.id] = acc;
        break;
      }
      case StepCode::VectorGammaLogp: {
        const auto& o = std::get<op::VectorGammaLogp>(graph.nodes[st.id].op);
        const double* x = u + st.start;
        double acc = 0.0;
        for (std::size_t j = 0; j < st.count; ++j) {
          const double be = o.beta * std::exp(x[j]);
          acc += st.k0 + o.alpha * x[j] - be;
          p[j] = o.alpha - be;
        }
        val[st.id] = acc;
        break;
      }
      case StepCode::VectorBetaLogp: {
        const auto& o = std::get<op::VectorBetaLogp>(graph.nodes[st.id].op);
        const double* x = u + st.start;
        double acc = 0.0;
        for (std::size_t j = 0; j < st.count; ++j) {
          const double s = 1.0 / (std::exp(-x[j]) + 1.0);
          acc += st.k0 + o.alpha * std::log(s) + o.beta * std::log(1.0 - s);
          p[j] = (1.0 - s) * o.alpha - s * o.beta;
        }
        val[st.id] = acc;
        break;
      }
      case StepCode::VectorUniformLogp: {
        const double* x = u + st.start;
        double acc = 0.0;
        for (std::size_t j = 0; j < st.count; ++j) {
          const double s = 1.0 / (std::exp(-x[j]) + 1.0);
          acc += std::log(s) + std::log(1.0 - s);
          p[j] = 1.0 - 2.0 * s;
        }
        val[st.id] = acc;
        break;
      }
      default:
        __builtin_unreachable();  // every code is handled above
    }
    if (st.eager) backward(st, 1.0);
  }

  double total = -0.0;
  for (NodeId t : terms) total += val[t];
  logp = total;

  // Reverse pass: every consumer of a node comes after it, so its adjoint is complete here.
  for (std::size_t k = reverse_order.size(); k-- > 0;) {
    const EvalStep& st = steps[reverse_order[k]];
    backward(st, adj[st.id]);
  }

  // Coordinates read through Param nodes; a coordinate read by several gets all their adjoints.
  for (const auto& [coord, node] : param_reads) gr[coord] += adj[node];
}

double Evaluator::vec_elem(NodeId node, std::size_t i, const Graph& graph) const {
  if (node >= node_slots.size()) internal_error("vec_elem of a node outside the graph");
  if (i >= n_obs) internal_error("vec_elem past the observation count");
  const NodeSlot& slot = node_slots[node];
  switch (slot.kind) {
    case SlotKind::Data:
      return graph.data[slot.offset][i];
    case SlotKind::Column:
      return col_values[slot.offset + i];
    case SlotKind::Scalar:
      break;
  }
  unreachable();
}

}  // namespace vorpex
