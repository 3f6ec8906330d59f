// Warm-up adaptation: dual averaging, window schedules and Welford variance estimates.
#include "adaptation.hpp"

#include <algorithm>
#include <cmath>

namespace vorpex {

void DualAveraging::restart(double step_size) {
  mu = std::log(10.0 * step_size);
  restart_keep_target(step_size);
}

void DualAveraging::restart_keep_target(double step_size) {
  log_step = std::log(step_size);
  log_step_bar = log_step;
  h_bar = 0.0;
  t = 0;
}

void DualAveraging::advance(double accept_stat) {
  t += 1;
  const double td = static_cast<double>(t);
  const double eta = 1.0 / (td + t0);
  h_bar = (1.0 - eta) * h_bar + eta * (target_accept - accept_stat);
  log_step = mu - (std::sqrt(td) / gamma) * h_bar;
}

void DualAveraging::average() {
  const double w = std::pow(static_cast<double>(t), -kappa);
  log_step_bar = w * log_step + (1.0 - w) * log_step_bar;
}

double DualAveraging::current() const { return std::exp(log_step); }
double DualAveraging::averaged() const { return std::exp(log_step_bar); }

WarmupSchedule warmup_schedule(std::uint64_t warmup) {
  WarmupSchedule s;
  s.init_buffer = std::min<std::uint64_t>(75, std::max<std::uint64_t>(1, 15 * warmup / 100));
  s.term_buffer = std::min<std::uint64_t>(50, 10 * warmup / 100);
  s.slow_end = warmup - s.term_buffer;
  std::uint64_t size = 25;
  std::uint64_t first = s.init_buffer;
  std::uint64_t end = std::min(s.slow_end, s.init_buffer + size);
  // Iteration i closes the open window when i + 1 >= end and the window holds i - first + 1 >= 4
  // samples, as long as i < slow_end.
  while (first < s.slow_end) {
    const std::uint64_t close = std::max(end - 1, first + 3);  // end > first >= 1 here
    if (close >= s.slow_end) break;
    s.windows.push_back({first, close});
    first = close + 1;
    end = std::min(s.slow_end, close + 1 + 2 * size);
    size *= 2;
  }
  return s;
}

StaticMetricWindow static_metric_window(std::uint64_t warmup) {
  return {15 * warmup / 100, 90 * warmup / 100};
}

void WelfordVariance::add(const double* x) {
  n += 1;
  const double nd = static_cast<double>(n);
  const std::size_t d = mean.size();
  double* mp = mean.data();
  double* sp = m2.data();
  for (std::size_t i = 0; i < d; ++i) {
    const double delta = x[i] - mp[i];
    mp[i] += delta / nd;
    sp[i] += (x[i] - mp[i]) * delta;
  }
}

void WelfordVariance::reset() {
  n = 0;
  std::fill(mean.begin(), mean.end(), 0.0);
  std::fill(m2.begin(), m2.end(), 0.0);
}

void WelfordVariance::regularized_variance(std::vector<double>& out) const {
  const double nd = static_cast<double>(n);
  const double shrink = nd / (nd + 5.0);
  const double prior = 1e-3 * (5.0 / (nd + 5.0));
  out.resize(mean.size());
  for (std::size_t i = 0; i < mean.size(); ++i) out[i] = shrink * (m2[i] / (nd - 1.0)) + prior;
}

}  // namespace vorpex
