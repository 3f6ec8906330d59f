// Tests of the warm-up adaptation: dual averaging, window schedules, running variances.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "adaptation.hpp"

namespace vorpex {
namespace {

using Windows = std::vector<MetricWindow>;

// The window rule applied one iteration at a time, as the chain would: every iteration in
// [init_buffer, slow_end) adds a sample; the open window closes once i + 1 reaches its end and
// it holds at least 4 samples; the next one is twice as long and cut at slow_end.
Windows stepwise_windows(std::uint64_t w) {
  const std::uint64_t init = std::min<std::uint64_t>(75, std::max<std::uint64_t>(1, 15 * w / 100));
  const std::uint64_t term = std::min<std::uint64_t>(50, 10 * w / 100);
  const std::uint64_t slow_end = w - term;
  std::uint64_t size = 25;
  std::uint64_t end = std::min(slow_end, init + size);
  std::uint64_t n = 0;
  std::uint64_t first = init;
  Windows out;
  for (std::uint64_t i = 0; i < w; ++i) {
    if (i < init || i >= slow_end) continue;
    n += 1;
    if ((i + 1 >= end || i + 1 >= slow_end) && n >= 4) {
      out.push_back({first, i});
      end = std::min(slow_end, i + 1 + 2 * size);
      size *= 2;
      n = 0;
      first = i + 1;
    }
  }
  return out;
}

TEST(AdaptationSchedule, GoldenSchedules) {
  struct Case {
    std::uint64_t w, init, term, slow_end;
    Windows windows;
  };
  const std::vector<Case> cases = {
      {0, 1, 0, 0, {}},
      {3, 1, 0, 3, {}},  // the only window never reaches 4 samples
      {5, 1, 0, 5, {{1, 4}}},
      {500, 75, 50, 450, {{75, 99}, {100, 149}, {150, 249}, {250, 449}}},
      {1000, 75, 50, 950, {{75, 99}, {100, 149}, {150, 249}, {250, 449}, {450, 849}, {850, 949}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.w);
    const WarmupSchedule s = warmup_schedule(c.w);
    EXPECT_EQ(s.init_buffer, c.init);
    EXPECT_EQ(s.term_buffer, c.term);
    EXPECT_EQ(s.slow_end, c.slow_end);
    EXPECT_EQ(s.windows, c.windows);
  }
}

TEST(AdaptationSchedule, MatchesTheStepwiseRuleForEveryLength) {
  for (std::uint64_t w = 0; w <= 3000; ++w) {
    ASSERT_EQ(warmup_schedule(w).windows, stepwise_windows(w)) << "W = " << w;
  }
}

TEST(AdaptationSchedule, StaticWindow) {
  // W = 14 collects iterations 2..11 (10 samples, too few); W = 15 collects 2..12 (11 samples)
  // and sets the metric at iteration 13.
  EXPECT_EQ(static_metric_window(14).begin, 2u);
  EXPECT_EQ(static_metric_window(14).end, 12u);
  EXPECT_EQ(static_metric_window(15).begin, 2u);
  EXPECT_EQ(static_metric_window(15).end, 13u);
  EXPECT_EQ(static_metric_window(0).end, 0u);
}

TEST(AdaptationDualAveraging, FirstIteratesByHand) {
  DualAveraging da(1.0);
  EXPECT_DOUBLE_EQ(da.mu, std::log(10.0));
  EXPECT_DOUBLE_EQ(da.current(), 1.0);
  da.advance(0.3);
  // t = 1: eta = 1/11, h_bar = 0.5/11, log eps = ln 10 - 20 * h_bar.
  const double h1 = 0.5 / 11.0;
  EXPECT_EQ(da.t, 1u);
  EXPECT_DOUBLE_EQ(da.h_bar, h1);
  EXPECT_DOUBLE_EQ(da.log_step, std::log(10.0) - 20.0 * h1);
  da.average();  // weight 1^-0.75 = 1: the average becomes the iterate
  EXPECT_DOUBLE_EQ(da.log_step_bar, da.log_step);
  da.advance(1.0);
  const double h2 = (1.0 - 1.0 / 12.0) * h1 + (0.8 - 1.0) / 12.0;
  EXPECT_DOUBLE_EQ(da.h_bar, h2);
  EXPECT_DOUBLE_EQ(da.log_step, std::log(10.0) - std::sqrt(2.0) / 0.05 * h2);
  const double prev_bar = da.log_step_bar;
  da.average();
  const double w = std::pow(2.0, -0.75);
  EXPECT_DOUBLE_EQ(da.log_step_bar, w * da.log_step + (1.0 - w) * prev_bar);

  da.restart_keep_target(0.5);
  EXPECT_DOUBLE_EQ(da.mu, std::log(10.0));
  EXPECT_EQ(da.t, 0u);
  EXPECT_EQ(da.h_bar, 0.0);
  EXPECT_DOUBLE_EQ(da.averaged(), 0.5);
  da.restart(0.5);
  EXPECT_DOUBLE_EQ(da.mu, std::log(5.0));
}

TEST(AdaptationDualAveraging, ConvergesToTheTargetAcceptance) {
  // Acceptance exp(-eps) equals 0.8 at eps = -ln 0.8; the average approaches it slowly from
  // above (about 1% off after 3000 iterations, 0.2% after 1e5).
  DualAveraging da(1.0);
  for (int i = 0; i < 3000; ++i) {
    da.advance(std::exp(-da.current()));
    da.average();
  }
  EXPECT_NEAR(da.averaged(), -std::log(0.8), 0.02 * -std::log(0.8));
}

TEST(AdaptationWelford, MatchesTwoPassVarianceAndRegularises) {
  const std::vector<std::vector<double>> xs = {
      {1.0, 1e6 + 1.0}, {2.0, 1e6 + 3.0}, {4.0, 1e6 + 2.0}, {8.0, 1e6 + 7.0}, {3.0, 1e6 + 1.0}};
  WelfordVariance wv(2);
  for (const auto& x : xs) wv.add(x.data());
  ASSERT_EQ(wv.n, 5u);
  std::vector<double> v;
  wv.regularized_variance(v);
  for (std::size_t k = 0; k < 2; ++k) {
    double mean = 0.0;
    for (const auto& x : xs) mean += x[k] / 5.0;
    double ss = 0.0;
    for (const auto& x : xs) ss += (x[k] - mean) * (x[k] - mean);
    const double expected = (5.0 / 10.0) * (ss / 4.0) + 1e-3 * (5.0 / 10.0);
    EXPECT_NEAR(v[k], expected, 1e-9 * expected);
  }
  wv.reset();
  EXPECT_EQ(wv.n, 0u);
  EXPECT_EQ(wv.mean[1], 0.0);
  EXPECT_EQ(wv.m2[1], 0.0);
}

}  // namespace
}  // namespace vorpex
