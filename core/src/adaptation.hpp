// Warm-up adaptation: dual averaging of the step size, the metric window schedule, and running
// variance estimates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorpex {

// Nesterov dual averaging of the log step size towards a target acceptance statistic of 0.8
// (Hoffman & Gelman 2014, section 3.2; gamma = 0.05, t0 = 10, kappa = 0.75).
struct DualAveraging {
  double mu = 0.0;           // shrinkage target, ln(10 * initial step size)
  double h_bar = 0.0;        // running mean of (target - acceptance statistic)
  double log_step = 0.0;     // latest iterate ln(eps)
  double log_step_bar = 0.0; // averaged iterate ln(eps_bar)
  std::uint64_t t = 0;

  static constexpr double target_accept = 0.8;
  static constexpr double gamma = 0.05;
  static constexpr double t0 = 10.0;
  static constexpr double kappa = 0.75;

  DualAveraging() = default;
  explicit DualAveraging(double step_size) { restart(step_size); }

  // Restarts from `step_size` with a new target mu = ln(10 * step_size).
  void restart(double step_size);
  // Restarts the averages from `step_size` but keeps the target mu.
  void restart_keep_target(double step_size);
  // t += 1, then updates h_bar and the iterate from the acceptance statistic.
  void advance(double accept_stat);
  // Folds the latest iterate into the average with weight t^-kappa (call after advance).
  void average();

  double current() const;   // exp(log_step)
  double averaged() const;  // exp(log_step_bar)
};

// One metric window: iterations first .. last inclusive; the metric is updated at the end of
// iteration `last`.
struct MetricWindow {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  friend bool operator==(const MetricWindow&, const MetricWindow&) = default;
};

// The NUTS warm-up schedule for W warm-up iterations. Iterations init_buffer <= i < slow_end feed
// the variance estimate; a window closes once it has reached its nominal end and holds at least
// 4 samples; each window is twice the previous one and cut at slow_end.
struct WarmupSchedule {
  std::uint64_t init_buffer = 0;
  std::uint64_t term_buffer = 0;
  std::uint64_t slow_end = 0;
  std::vector<MetricWindow> windows;  // the windows that close, in order
};

WarmupSchedule warmup_schedule(std::uint64_t warmup);

// The static HMC chain's single metric window: positions of iterations begin <= i < end are
// collected, and the metric is set at iteration `end` when at least 11 were collected.
struct StaticMetricWindow {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

StaticMetricWindow static_metric_window(std::uint64_t warmup);

// Per-coordinate running mean and sum of squared deviations (Welford's algorithm).
struct WelfordVariance {
  std::vector<double> mean;
  std::vector<double> m2;
  std::uint64_t n = 0;

  WelfordVariance() = default;
  explicit WelfordVariance(std::size_t d) : mean(d, 0.0), m2(d, 0.0) {}

  void add(const double* x);
  void reset();
  // Sample variance shrunk towards 1e-3: (n/(n+5)) * var + 1e-3 * 5/(n+5), written into `out`.
  // Needs n >= 2.
  void regularized_variance(std::vector<double>& out) const;
};

}  // namespace vorpex
