// No-U-Turn Sampler: leapfrog integrator, recursive tree builder and the chain with warm-up
// adaptation. Multinomial NUTS (Betancourt 2017) with the end-point U-turn criterion of
// Hoffman & Gelman (2014).
#include "nuts.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "adaptation.hpp"
#include "errors.hpp"
#include "hmc.hpp"

namespace vorpex::nuts {

namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
// Energy error above which a leaf counts as divergent.
constexpr double kMaxEnergyError = 1000.0;
// Depth levels reserved when the chain starts; deeper trees grow the workspace on first use.
constexpr std::uint64_t kEagerDepthLevels = 10;

void swap_points(PhasePoint& a, PhasePoint& b) noexcept {
  a.position.swap(b.position);
  a.momentum.swap(b.momentum);
  a.grad.swap(b.grad);
  std::swap(a.logp, b.logp);
}

// Plain loop instead of a library copy: for the few coordinates of small models the call into
// the library costs more than the copy itself.
inline void copy_vals(const double* __restrict from, std::size_t d, double* __restrict to) noexcept {
  for (std::size_t i = 0; i < d; ++i) to[i] = from[i];
}

// Copies the first d entries of each vector; the destination is at least d long and distinct.
void copy_point(const PhasePoint& from, PhasePoint& to, std::size_t d) noexcept {
  copy_vals(from.position.data(), d, to.position.data());
  copy_vals(from.momentum.data(), d, to.momentum.data());
  copy_vals(from.grad.data(), d, to.grad.data());
  to.logp = from.logp;
}

void ensure_point(PhasePoint& p, std::size_t d) {
  if (p.position.size() < d) p.position.resize(d, 0.0);
  if (p.momentum.size() < d) p.momentum.resize(d, 0.0);
  if (p.grad.size() < d) p.grad.resize(d, 0.0);
}

void ensure_subtree(Subtree& s, std::size_t d) {
  ensure_point(s.minus, d);
  ensure_point(s.plus, d);
  ensure_point(s.proposal, d);
}

void check_point(const PhasePoint& p, std::size_t d, const char* who) {
  if (p.position.size() < d || p.momentum.size() < d || p.grad.size() < d) {
    internal_error(std::string(who) + ": phase point shorter than " + std::to_string(d));
  }
}

double kinetic(const double* p, const double* m, std::size_t d) noexcept {
  double k = 0.0;
  for (std::size_t i = 0; i < d; ++i) k += p[i] * p[i] * m[i];
  return 0.5 * k;
}

// Projections of the position difference (qp - qm) * m on the momenta at both ends, each summed
// in coordinate order. The pointer parameters let the compiler skip overlap checks.
void turning_sums(const double* __restrict qm, const double* __restrict qp,
                  const double* __restrict pm, const double* __restrict pp,
                  const double* __restrict m, std::size_t d, double& s_minus,
                  double& s_plus) noexcept {
  // Two coordinates per pass: differences and products are formed in pairs, the sums still
  // add the terms one at a time in coordinate order, so the result equals the plain loop's.
  using Pair = double __attribute__((vector_size(16)));
  double sp = 0.0;
  double sm = 0.0;
  std::size_t i = 0;
  for (; i + 2 <= d; i += 2) {
    Pair a, b, c, x, y;
    std::memcpy(&a, qp + i, sizeof(Pair));
    std::memcpy(&b, qm + i, sizeof(Pair));
    std::memcpy(&c, m + i, sizeof(Pair));
    std::memcpy(&x, pp + i, sizeof(Pair));
    std::memcpy(&y, pm + i, sizeof(Pair));
    const Pair dq = (a - b) * c;
    const Pair tp = dq * x;
    const Pair tm = dq * y;
    sp += tp[0];
    sm += tm[0];
    sp += tp[1];
    sm += tm[1];
  }
  for (; i < d; ++i) {
    const double dq = (qp[i] - qm[i]) * m[i];
    sp += dq * pp[i];
    sm += dq * pm[i];
  }
  s_plus = sp;
  s_minus = sm;
}

// True when the trajectory from `minus` to `plus` has turned back on itself: the position
// difference has a negative projection on the velocity at either end. Strict comparison, so a
// zero-dimensional or motionless trajectory never turns.
bool is_turning(const PhasePoint& minus, const PhasePoint& plus, const double* m,
                std::size_t d) noexcept {
  double s_minus = 0.0;
  double s_plus = 0.0;
  turning_sums(minus.position.data(), plus.position.data(), minus.momentum.data(),
               plus.momentum.data(), m, d, s_minus, s_plus);
  return s_plus < 0.0 || s_minus < 0.0;
}

// log(e^a + e^b), with -inf when both are -inf.
double log_add_exp(double a, double b) noexcept {
  const double hi = std::max(a, b);
  if (hi == kNegInf) return kNegInf;
  return hi + std::log1p(std::exp(std::min(a, b) - hi));
}

// First half kick and full drift of a leapfrog step: ph = p + half * g into `po`,
// q + step * m * ph into `qo`. The outputs never overlap the inputs (callers guarantee it), and
// the restrict-qualified parameters let the compiler drop its run-time overlap checks.
void kick_drift(const double* __restrict q, const double* __restrict p,
                const double* __restrict g, const double* __restrict m, double half, double step,
                std::size_t d, double* __restrict qo, double* __restrict po) noexcept {
  for (std::size_t i = 0; i < d; ++i) {
    const double ph = p[i] + half * g[i];
    po[i] = ph;
    qo[i] = q[i] + step * m[i] * ph;
  }
}

// Second half kick with the new gradient `g2`, which is also stored into `go`; returns
// sum_i p_i^2 m_i of the new momentum, summed in coordinate order.
double kick_store(const double* __restrict g2, const double* __restrict m, double half,
                  std::size_t d, double* __restrict po, double* __restrict go) noexcept {
  double k = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    const double gi = g2[i];
    const double pi = po[i] + half * gi;
    go[i] = gi;
    po[i] = pi;
    k += pi * pi * m[i];
  }
  return k;
}

// Second half kick with the new gradient `g2`, already stored in the point; returns
// sum_i p_i^2 m_i of the new momentum, summed in coordinate order.
double kick(const double* __restrict g2, const double* __restrict m, double half, std::size_t d,
            double* __restrict po) noexcept {
  double k = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    const double pi = po[i] + half * g2[i];
    po[i] = pi;
    k += pi * pi * m[i];
  }
  return k;
}

// One leapfrog step; returns the kinetic energy of the new momentum, accumulated in the last
// pass over the coordinates.
double leapfrog_unchecked(const Graph& graph, Evaluator& ev, const PhasePoint& start,
                          const double* m, double step, std::size_t d, PhasePoint& out) {
  const double half = 0.5 * step;
  kick_drift(start.position.data(), start.momentum.data(), start.grad.data(), m, half, step, d,
             out.position.data(), out.momentum.data());
  ev.compute(graph, out.position.data());
  out.logp = ev.logp;
  if (out.grad.size() == ev.grad.size()) {
    // Take the evaluator's gradient buffer instead of copying it; the evaluator writes into the
    // point's old buffer, of the same length, next time.
    out.grad.swap(ev.grad);
    return 0.5 * kick(out.grad.data(), m, half, d, out.momentum.data());
  }
  return 0.5 * kick_store(ev.grad.data(), m, half, d, out.momentum.data(), out.grad.data());
}

// The recursion of build_subtree. To save copies, a subtree that is a single leaf is held only
// in its outer end (`plus` for a positive step, `minus` otherwise) and the function returns
// true; its other end and its proposal are then stale, and the caller that merges it (or the
// public wrapper) places the point where it is needed. Larger subtrees fill all three points.
// A subtree of depth 0: one leapfrog step into the outer end of `out`. Always a single leaf.
inline bool build_leaf(const Graph& graph, Evaluator& ev, const PhasePoint& start,
                       const double* m, double step, double h0, std::size_t d, Subtree& out) {
  PhasePoint& outer = step > 0.0 ? out.plus : out.minus;
  const double kin = leapfrog_unchecked(graph, ev, start, m, step, d, outer);
  const double delta_h = (kin - outer.logp) - h0;
  const bool divergent = !std::isfinite(delta_h) || delta_h > kMaxEnergyError;
  out.log_weight = divergent ? kNegInf : -delta_h;
  out.weight_scale = 1.0;
  out.depth = 0;
  out.n_leapfrog = 1;
  out.turning = false;
  out.diverged = divergent;
  return true;
}

bool build_fast(const Graph& graph, Evaluator& ev, const PhasePoint& start, const double* m,
                double step, double h0, std::uint64_t depth, std::size_t d, Rng& rng,
                TreeWorkspace& ws, Subtree& out) {
  if (depth == 0) return build_leaf(graph, ev, start, m, step, h0, d, out);
  const bool forward = step > 0.0;
  PhasePoint& outer = forward ? out.plus : out.minus;
  PhasePoint& inner = forward ? out.minus : out.plus;

  // First half straight into `out`; it stands as the result when it turned or diverged.
  // Halves of depth 0 are built in place rather than through another call.
  const bool first_single =
      depth == 1 ? build_leaf(graph, ev, start, m, step, h0, d, out)
                 : build_fast(graph, ev, start, m, step, h0, depth - 1, d, rng, ws, out);
  if (out.turning || out.diverged) return first_single;

  // Second half from the first half's outer end, which it only reads.
  Subtree& second = ws.levels[depth - 1];
  const bool second_single =
      depth == 1 ? build_leaf(graph, ev, outer, m, step, h0, d, second)
                 : build_fast(graph, ev, outer, m, step, h0, depth - 1, d, rng, ws, second);
  out.depth = depth;
  out.n_leapfrog += second.n_leapfrog;
  if (second.diverged) {
    out.turning = false;
    out.diverged = true;
    return first_single;
  }

  // Uniform progressive sampling within the subtree: the second half's proposal wins with
  // probability w_B / (w_A + w_B).
  const double ra = out.log_weight;
  const double rb = second.log_weight;
  const double hi = std::max(ra, rb);
  const double e = ra == rb ? 1.0 : std::exp(std::min(ra, rb) - hi);  // both -inf: 1
  const double wa = out.weight_scale * (ra >= rb ? 1.0 : e);
  const double wb = second.weight_scale * (ra >= rb ? e : 1.0);
  const double total = wa + wb;
  const bool take_second = rng.uniform() < wb / total;

  // New ends: the first half's inner end and the second half's outer end. A single first leaf
  // lives in `outer`; move it to `inner` before `outer` is replaced.
  if (first_single) swap_points(inner, outer);
  swap_points(outer, forward ? second.plus : second.minus);
  if (take_second) {
    if (second_single) {
      copy_point(outer, out.proposal, d);
    } else {
      swap_points(out.proposal, second.proposal);
    }
  } else if (first_single) {
    copy_point(inner, out.proposal, d);
  }
  out.log_weight = hi;
  out.weight_scale = total;
  out.turning = second.turning || is_turning(out.minus, out.plus, m, d);
  out.diverged = false;
  return false;
}

void ensure_levels(TreeWorkspace& ws, std::uint64_t depth, std::size_t d) {
  if (depth > ws.levels.size()) ws.levels.reserve(static_cast<std::size_t>(depth));
  while (ws.levels.size() < depth) ws.levels.emplace_back(d);
}

}  // namespace

TreeWorkspace::TreeWorkspace(std::size_t d, std::uint64_t max_depth) {
  ensure_levels(*this, max_depth, d);
}

double kinetic_energy(const std::vector<double>& momentum, const std::vector<double>& inv_metric) {
  return kinetic(momentum.data(), inv_metric.data(), std::min(momentum.size(), inv_metric.size()));
}

void leapfrog(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
              const std::vector<double>& inv_metric, double step, std::size_t d, PhasePoint& out) {
  check_point(start, d, "leapfrog");
  if (inv_metric.size() < d) internal_error("leapfrog: inverse metric shorter than d");
  if (evaluator.grad.size() < d) internal_error("leapfrog: evaluator gradient shorter than d");
  if (&out == &start) internal_error("leapfrog: output aliases the start point");
  ensure_point(out, d);
  leapfrog_unchecked(graph, evaluator, start, inv_metric.data(), step, d, out);
}

PhasePoint leapfrog(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
                    const std::vector<double>& inv_metric, double step, std::size_t d) {
  PhasePoint out(d);
  leapfrog(graph, evaluator, start, inv_metric, step, d, out);
  return out;
}

void build_subtree(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
                   const std::vector<double>& inv_metric, double step, double h0,
                   std::uint64_t depth, std::size_t d, Rng& rng, TreeWorkspace& workspace,
                   Subtree& out) {
  check_point(start, d, "build_subtree");
  if (inv_metric.size() < d) internal_error("build_subtree: inverse metric shorter than d");
  if (evaluator.grad.size() < d) internal_error("build_subtree: evaluator gradient shorter than d");
  ensure_levels(workspace, depth, d);
  for (std::uint64_t k = 0; k < depth; ++k) ensure_subtree(workspace.levels[k], d);
  ensure_subtree(out, d);
  if (build_fast(graph, evaluator, start, inv_metric.data(), step, h0, depth, d, rng, workspace,
                 out)) {
    const PhasePoint& x = step > 0.0 ? out.plus : out.minus;
    copy_point(x, step > 0.0 ? out.minus : out.plus, d);
    copy_point(x, out.proposal, d);
  }
  out.log_weight += std::log(out.weight_scale);
  out.weight_scale = 1.0;
}

Subtree build_subtree(const Graph& graph, Evaluator& evaluator, const PhasePoint& start,
                      const std::vector<double>& inv_metric, double step, double h0,
                      std::uint64_t depth, std::size_t d, Rng& rng) {
  TreeWorkspace workspace(d, depth);
  Subtree out(d);
  build_subtree(graph, evaluator, start, inv_metric, step, h0, depth, d, rng, workspace, out);
  return out;
}

ChainResult run_chain(const Graph& graph, const ChainConfig& config, Rng& rng,
                      const std::optional<std::vector<double>>& initial, ProgressState* progress) {
  const std::size_t d = graph.n_params;
  if (initial && initial->size() != d) {
    internal_error("nuts::run_chain: starting position has " + std::to_string(initial->size()) +
                   " coordinates, the model has " + std::to_string(d));
  }
  const std::uint64_t warmup = config.warmup;
  const std::uint64_t n_draws = config.draws;
  const std::uint64_t max_depth = config.max_tree_depth;

  Evaluator ev(graph);
  if (ev.grad.size() < d) internal_error("nuts::run_chain: evaluator gradient shorter than d");
  PhasePoint current(d);
  if (initial) current.position = *initial;
  std::vector<double> inv_metric(d, 1.0);
  std::vector<double> momentum_sd(d, 1.0);
  std::vector<double> variance(d, 0.0);
  const WarmupSchedule schedule = warmup_schedule(warmup);
  std::size_t next_window = 0;
  WelfordVariance estimator(d);

  double step = config.step_size > 0.0
                    ? config.step_size
                    : hmc::find_initial_step_size(graph, ev, current.position, inv_metric,
                                                  momentum_sd, d, rng);
  DualAveraging dual(step);

  ev.compute(graph, current.position.data());
  current.logp = ev.logp;
  std::copy_n(ev.grad.data(), d, current.grad.data());

  // Trajectory storage, reused by every transition: both ends, the candidate, the newest
  // subtree and the per-depth scratch of the recursion.
  PhasePoint left(d);
  PhasePoint right(d);
  PhasePoint candidate(d);
  Subtree tree(d);
  TreeWorkspace workspace(d, std::min(max_depth, kEagerDepthLevels));

  ChainResult result;
  result.draws.assign(static_cast<std::size_t>(n_draws), std::vector<double>(d));
  result.stats.assign(static_cast<std::size_t>(n_draws), DrawStats{});

  const double* m = inv_metric.data();
  double accept_sum = 0.0;
  const std::uint64_t total = warmup + n_draws;
  for (std::uint64_t i = 0; i < total; ++i) {
    double* p0 = left.momentum.data();
    for (std::size_t k = 0; k < d; ++k) p0[k] = rng.normal() * momentum_sd[k];
    copy_vals(current.position.data(), d, left.position.data());
    copy_vals(current.grad.data(), d, left.grad.data());
    left.logp = current.logp;
    copy_point(left, right, d);
    const double h0 = kinetic(p0, m, d) - current.logp;

    // The candidate starts as the current point; `moved` tells when a subtree's proposal
    // replaced it, so the start point need not be copied into it.
    bool moved = false;
    double log_weight = 0.0;  // the start point's weight, e^0
    double leaves = 0.0;
    double accept_total = 0.0;
    bool divergent = false;
    std::uint64_t depth = 0;
    std::uint64_t n_steps = 0;
    for (std::uint64_t j = 0; j < max_depth; ++j) {
      const bool forward = (rng.next_u32() >> 31) != 0;
      if (workspace.levels.size() < j) ensure_levels(workspace, j, d);
      const bool single =
          forward ? build_fast(graph, ev, right, m, step, h0, j, d, rng, workspace, tree)
                  : build_fast(graph, ev, left, m, -step, h0, j, d, rng, workspace, tree);
      depth = j + 1;
      n_steps += tree.n_leapfrog;
      if (tree.diverged || tree.turning) {
        divergent = tree.diverged;
        break;
      }
      PhasePoint& grown = forward ? tree.plus : tree.minus;
      const double tree_weight =
          tree.weight_scale == 1.0 ? tree.log_weight
                                   : tree.log_weight + std::log(tree.weight_scale);
      // Biased progressive sampling between the old trajectory and the new subtree.
      const double u = rng.uniform();
      const double diff = tree_weight - log_weight;
      const double take = diff >= 0.0 ? 1.0 : std::exp(diff);
      if (take > u) {
        if (single) {
          copy_point(grown, candidate, d);
        } else {
          swap_points(candidate, tree.proposal);
        }
        moved = true;
      }
      log_weight = log_add_exp(log_weight, tree_weight);
      // 2^depth, built from its exponent bits (exact, as ldexp would give, without the call).
      const double n_leaves = std::bit_cast<double>(
          (1023 + std::min<std::uint64_t>(tree.depth, 1023)) << 52);
      leaves += n_leaves;
      accept_total += std::min(std::exp(tree_weight), n_leaves);
      swap_points(forward ? right : left, grown);
      if (is_turning(left, right, m, d)) break;
    }
    const double alpha = leaves == 0.0 ? 0.0 : std::min(1.0, accept_total / leaves);

    // The chain stays put after a divergence, and when no subtree's proposal was taken.
    double energy = h0;
    if (divergent) {
      result.divergences += 1;
    } else if (moved) {
      energy = kinetic(candidate.momentum.data(), m, d) - candidate.logp;
      swap_points(current, candidate);
    }
    record_iteration(progress, divergent);

    if (i < warmup) {
      dual.advance(alpha);
      step = dual.current();
      bool closed = false;
      if (i >= schedule.init_buffer && i < schedule.slow_end) {
        estimator.add(current.position.data());
        if (next_window < schedule.windows.size() && i == schedule.windows[next_window].last) {
          // The inverse metric is the estimated posterior variance, so a coordinate of scale
          // sigma moves with velocity of scale sigma; momenta are drawn from N(0, 1/variance),
          // the distribution the kinetic energy p^2 * variance / 2 implies.
          estimator.regularized_variance(variance);
          for (std::size_t k = 0; k < d; ++k) {
            inv_metric[k] = variance[k];
            momentum_sd[k] = 1.0 / std::sqrt(variance[k]);
          }
          dual.restart(step);
          estimator.reset();
          ++next_window;
          closed = true;
        }
      }
      if (!closed) dual.average();
      if (i + 1 == warmup) step = dual.averaged();
    } else {
      const std::size_t r = static_cast<std::size_t>(i - warmup);
      std::copy_n(current.position.data(), d, result.draws[r].data());
      DrawStats& s = result.stats[r];
      s.divergent = divergent;
      s.tree_depth = static_cast<std::uint32_t>(depth);
      s.n_steps = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(n_steps, std::numeric_limits<std::uint32_t>::max()));
      s.accept_stat = alpha;
      s.energy = energy;
      s.lp = current.logp;
    }
    accept_sum += alpha;
  }

  result.accept_rate = total == 0 ? 0.0 : accept_sum / static_cast<double>(total);
  result.step_size = step;
  return result;
}

}  // namespace vorpex::nuts
