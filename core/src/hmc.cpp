// Static Hamiltonian Monte Carlo chain (Neal 2011): a fixed number of leapfrog steps and a
// Metropolis test, with dual-averaging step size and a single-window diagonal metric in warm-up.
// Also holds the initial step-size search shared with the NUTS chain.
#include "hmc.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <string>

#include "adaptation.hpp"
#include "errors.hpp"

namespace vorpex::hmc {

namespace {

double kinetic(const double* p, const double* m, std::size_t d) noexcept {
  double k = 0.0;
  for (std::size_t i = 0; i < d; ++i) k += p[i] * p[i] * m[i];
  return 0.5 * k;
}

// One leapfrog step from (q, p) with gradient g; returns H(start) - H(end). q2 and p2 are
// scratch of length d.
double one_step(const Graph& graph, Evaluator& ev, const double* q, const double* p, double step,
                double logp, double kin, const double* g, const double* m, std::size_t d,
                double* q2, double* p2) {
  const double half = 0.5 * step;
  for (std::size_t i = 0; i < d; ++i) {
    p2[i] = p[i] + half * g[i];
    q2[i] = q[i] + step * m[i] * p2[i];
  }
  ev.compute(graph, q2);
  const double* g2 = ev.grad.data();
  for (std::size_t i = 0; i < d; ++i) p2[i] += half * g2[i];
  return (ev.logp - kinetic(p2, m, d)) - (logp - kin);
}

void check_lengths(const Evaluator& ev, std::size_t d, std::initializer_list<std::size_t> sizes,
                   const char* who) {
  if (ev.grad.size() < d) internal_error(std::string(who) + ": evaluator gradient shorter than d");
  for (std::size_t n : sizes) {
    if (n < d) internal_error(std::string(who) + ": vector shorter than " + std::to_string(d));
  }
}

}  // namespace

double one_step_log_ratio(const Graph& graph, Evaluator& evaluator,
                          const std::vector<double>& position, const std::vector<double>& momentum,
                          double step, double logp, double kinetic,
                          const std::vector<double>& grad, const std::vector<double>& inv_metric,
                          std::size_t d) {
  check_lengths(evaluator, d, {position.size(), momentum.size(), grad.size(), inv_metric.size()},
                "one_step_log_ratio");
  std::vector<double> q2(d);
  std::vector<double> p2(d);
  return one_step(graph, evaluator, position.data(), momentum.data(), step, logp, kinetic,
                  grad.data(), inv_metric.data(), d, q2.data(), p2.data());
}

double find_initial_step_size(const Graph& graph, Evaluator& evaluator,
                              const std::vector<double>& position,
                              const std::vector<double>& inv_metric,
                              const std::vector<double>& momentum_sd, std::size_t d, Rng& rng) {
  check_lengths(evaluator, d, {position.size(), inv_metric.size(), momentum_sd.size()},
                "find_initial_step_size");
  evaluator.compute(graph, position.data());
  const double logp = evaluator.logp;
  std::vector<double> grad(evaluator.grad.begin(),
                           evaluator.grad.begin() + static_cast<std::ptrdiff_t>(d));
  std::vector<double> p(d);
  for (std::size_t i = 0; i < d; ++i) p[i] = rng.normal() * momentum_sd[i];
  const double* m = inv_metric.data();
  const double k0 = kinetic(p.data(), m, d);
  std::vector<double> q2(d);
  std::vector<double> p2(d);
  auto ratio = [&](double step) {
    return one_step(graph, evaluator, position.data(), p.data(), step, logp, k0, grad.data(), m,
                    d, q2.data(), p2.data());
  };

  // Move the step size by factors of two until the one-step acceptance ratio crosses 1/2.
  const double threshold = std::log(0.5);
  const bool up = ratio(1.0) > threshold;
  const double factor = up ? 2.0 : 0.5;
  double step = 1.0;
  for (int attempt = 0; attempt < 50; ++attempt) {
    const double r = ratio(step);
    if (!std::isfinite(r)) {
      step *= 0.5;
      break;
    }
    if (up ? r < threshold : r > threshold) break;
    step *= factor;
  }
  return std::min(1000.0, std::max(1e-10, step));
}

ChainResult run_chain(const Graph& graph, const ChainConfig& config, Rng& rng,
                      const std::optional<std::vector<double>>& initial, ProgressState* progress) {
  const std::size_t d = graph.n_params;
  if (initial && initial->size() != d) {
    internal_error("hmc::run_chain: starting position has " + std::to_string(initial->size()) +
                   " coordinates, the model has " + std::to_string(d));
  }
  const std::uint64_t warmup = config.warmup;
  const std::uint64_t n_draws = config.draws;
  const std::uint64_t n_steps = config.max_tree_depth;  // read as num_leapfrog_steps

  Evaluator ev(graph);
  if (ev.grad.size() < d) internal_error("hmc::run_chain: evaluator gradient shorter than d");
  std::vector<double> q(d, 0.0);
  if (initial) q = *initial;
  std::vector<double> inv_metric(d, 1.0);
  std::vector<double> momentum_sd(d, 1.0);

  double step = config.step_size > 0.0
                    ? config.step_size
                    : find_initial_step_size(graph, ev, q, inv_metric, momentum_sd, d, rng);
  DualAveraging dual(step);  // the target mu stays fixed for the whole chain
  const StaticMetricWindow window = static_metric_window(warmup);
  std::vector<double> sum(d, 0.0);
  std::vector<double> sum_sq(d, 0.0);
  std::uint64_t collected = 0;

  // The current point's density and gradient are kept across iterations: a rejected proposal
  // leaves them valid, an accepted one replaces them with the proposal's.
  ev.compute(graph, q.data());
  double logp = ev.logp;
  std::vector<double> grad(ev.grad.begin(), ev.grad.begin() + static_cast<std::ptrdiff_t>(d));

  std::vector<double> p(d);
  std::vector<double> q2(d);
  std::vector<double> p2(d);

  ChainResult result;
  result.draws.assign(static_cast<std::size_t>(n_draws), std::vector<double>(d));
  result.stats.assign(static_cast<std::size_t>(n_draws), DrawStats{});

  const double* m = inv_metric.data();
  std::uint64_t accepted = 0;
  const std::uint64_t total = warmup + n_draws;
  for (std::uint64_t i = 0; i < total; ++i) {
    for (std::size_t k = 0; k < d; ++k) p[k] = rng.normal() * momentum_sd[k];
    const double h_start = kinetic(p.data(), m, d) - logp;

    const double half = 0.5 * step;
    for (std::size_t k = 0; k < d; ++k) {
      q2[k] = q[k];
      p2[k] = p[k] + half * grad[k];
    }
    double logp2 = logp;
    const double* g = grad.data();
    for (std::uint64_t s = 0; s < n_steps; ++s) {
      for (std::size_t k = 0; k < d; ++k) q2[k] += step * m[k] * p2[k];
      ev.compute(graph, q2.data());
      logp2 = ev.logp;
      g = ev.grad.data();
      if (s + 1 < n_steps) {
        for (std::size_t k = 0; k < d; ++k) p2[k] += step * g[k];
      }
    }
    for (std::size_t k = 0; k < d; ++k) p2[k] += half * g[k];
    const double h_end = kinetic(p2.data(), m, d) - logp2;
    const double r = h_start - h_end;

    // A non-finite ratio is a divergence: rejected, and reported to the step-size adaptation as
    // acceptance 0 so the step size shrinks away from the region where the integrator blows up.
    const bool divergent = !std::isfinite(r);
    const double alpha = divergent ? 0.0 : std::exp(std::min(r, 0.0));
    bool accept = false;
    if (divergent) {
      result.divergences += 1;
    } else {
      const double u = rng.uniform();
      accept = r > std::log(u);
    }
    if (accept) {
      accepted += 1;
      if (n_steps > 0) {
        std::copy_n(q2.data(), d, q.data());
        std::copy_n(g, d, grad.data());
        logp = logp2;
      }
    }
    record_iteration(progress, divergent);

    if (i < warmup) {
      dual.advance(alpha);
      step = dual.current();
      if (i >= window.begin && i < window.end) {
        for (std::size_t k = 0; k < d; ++k) {
          sum[k] += q[k];
          sum_sq[k] += q[k] * q[k];
        }
        collected += 1;
      }
      if (i == window.end && collected >= 11) {
        // Population variance of the window becomes the inverse metric (momenta then have
        // standard deviation 1/sqrt(v)); near-constant coordinates keep their metric.
        const double n = static_cast<double>(collected);
        for (std::size_t k = 0; k < d; ++k) {
          const double mean = sum[k] / n;
          const double v = sum_sq[k] / n - mean * mean;
          if (v > 1e-8) {
            inv_metric[k] = v;
            momentum_sd[k] = 1.0 / std::sqrt(v);
          }
        }
        step = find_initial_step_size(graph, ev, q, inv_metric, momentum_sd, d, rng);
        dual.restart_keep_target(step);
      } else {
        dual.average();
      }
      if (i + 1 == warmup) step = dual.averaged();
    } else {
      const std::size_t row = static_cast<std::size_t>(i - warmup);
      std::copy_n(q.data(), d, result.draws[row].data());
      DrawStats& s = result.stats[row];
      s.divergent = divergent;
      s.tree_depth = 0;
      s.n_steps = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(n_steps, std::numeric_limits<std::uint32_t>::max()));
      s.accept_stat = alpha;
      s.energy = accept ? h_end : h_start;
      s.lp = logp;
    }
  }

  result.accept_rate = total == 0 ? std::numeric_limits<double>::quiet_NaN()
                                  : static_cast<double>(accepted) / static_cast<double>(total);
  result.step_size = step;
  return result;
}

}  // namespace vorpex::hmc
