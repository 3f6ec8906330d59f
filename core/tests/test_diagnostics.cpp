// Tests of the convergence diagnostics and the summary table, including agreement with ArviZ.
#include "diagnostics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "errors.hpp"

namespace vorpex {
namespace {

using Chains = std::vector<std::vector<double>>;
using Samples = std::vector<std::vector<std::vector<double>>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// splitmix64 + Box-Muller; benchmarks/diagnostics_reference.py reproduces it bit for bit.
struct SplitMix64 {
  std::uint64_t state;

  std::uint64_t next() {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1p-53; }
  double normal() {
    const double u1 = uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
  }
};

// `chains` × `draws` stationary AR(1) draws; chain c's mean is shifted by c · shift.
Chains draw_set(std::uint64_t seed, double rho, double shift, std::size_t chains = 4,
                std::size_t draws = 1000) {
  SplitMix64 gen{seed};
  Chains out(chains, std::vector<double>(draws));
  for (std::size_t c = 0; c < chains; ++c) {
    double x = gen.normal() / std::sqrt(1.0 - rho * rho);
    out[c][0] = x + static_cast<double>(c) * shift;
    for (std::size_t d = 1; d < draws; ++d) {
      x = rho * x + gen.normal();
      out[c][d] = x + static_cast<double>(c) * shift;
    }
  }
  return out;
}

// Lays per-parameter chains out as [chain][draw][parameter].
Samples as_samples(const std::vector<Chains>& params) {
  const std::size_t m = params.front().size();
  const std::size_t n = params.front().front().size();
  Samples s(m, std::vector<std::vector<double>>(n, std::vector<double>(params.size())));
  for (std::size_t g = 0; g < params.size(); ++g) {
    for (std::size_t c = 0; c < m; ++c) {
      for (std::size_t d = 0; d < n; ++d) s[c][d][g] = params[g][c][d];
    }
  }
  return s;
}

ParamDiagnostics diagnose(const Chains& chains) {
  return compute_diagnostics(as_samples({chains}), {"x"}).params.at(0);
}

std::string rule() {
  std::string r;
  for (int i = 0; i < 96; ++i) r += "\u2500";
  return r;
}

// ---------------------------------------------------------------------------------------------
// Agreement with ArviZ 0.23.4 (az.ess method="bulk"/"tail", az.rhat method="split") on the same
// draws, printed by benchmarks/diagnostics_reference.py.

struct Reference {
  const char* name;
  std::uint64_t seed;
  double rho;
  double shift;
  double ess_bulk;
  double ess_tail;
  double r_hat;
};

const Reference kReferences[] = {
    {"independent", 1, 0.0, 0.0, 3871.7101955501435, 3725.24191165711, 1.0001974337445974},
    {"ar1_0.5", 2, 0.5, 0.0, 1206.755315637331, 2286.6626364566205, 0.9997929264466263},
    {"ar1_0.9", 3, 0.9, 0.0, 210.67713840586458, 539.9360996360327, 1.0249820025245726},
    {"antithetic_-0.3", 4, -0.3, 0.0, 7067.365256131071, 4191.320963079065, 0.9997706494567138},
    {"shifted_means", 5, 0.0, 0.3, 45.778728206208754, 951.6009524431348, 1.0612662686377616},
    {"ar1_0.99", 6, 0.99, 0.0, 33.08840453707165, 70.65975222533619, 1.0645599629709905},
};

// The sets run the autocorrelation sequence from a few lags (independent) to its very end (shifted
// means), so both the direct lags and the FFT are checked.
TEST(DiagnosticsArviz, BulkTailEssAndSplitRhatAgree) {
  std::vector<Chains> params;
  std::vector<std::string> names;
  for (const Reference& r : kReferences) {
    params.push_back(draw_set(r.seed, r.rho, r.shift));
    names.emplace_back(r.name);
  }
  const DiagnosticsReport report = compute_diagnostics(as_samples(params), names);
  ASSERT_EQ(report.params.size(), std::size(kReferences));
  for (std::size_t g = 0; g < report.params.size(); ++g) {
    const Reference& r = kReferences[g];
    const ParamDiagnostics& p = report.params[g];
    SCOPED_TRACE(r.name);
    EXPECT_EQ(p.name, r.name);
    EXPECT_NEAR(p.ess_bulk, r.ess_bulk, 0.01 * r.ess_bulk);
    EXPECT_NEAR(p.ess_tail, r.ess_tail, 0.01 * r.ess_tail);
    EXPECT_NEAR(p.r_hat, r.r_hat, 1e-9);
    EXPECT_DOUBLE_EQ(p.mcse_mean, p.std / std::sqrt(p.ess_bulk));
  }
  // Antithetic chains are worth more than their draw count.
  EXPECT_GT(report.params[3].ess_bulk, 4000.0);
}

// ---------------------------------------------------------------------------------------------
// Building blocks.

TEST(Diagnostics, SplitChainsKeepsEveryDrawInHeadTailOrder) {
  const Chains split = split_chains({{1, 2, 3, 4, 5}, {6, 7}, {}});
  const Chains expected = {{1, 2}, {3, 4, 5}, {6}, {7}, {}, {}};
  EXPECT_EQ(split, expected);
}

TEST(Diagnostics, QuantileRuleInterpolatesOrderStatistics) {
  struct Case {
    std::vector<double> sorted;
    double p;
    double expected;
  };
  const Case cases[] = {
      {{5.0}, 0.03, 5.0},           {{1, 2, 3, 4}, 0.0, 1.0},  {{1, 2, 3, 4}, 1.0, 4.0},
      {{1, 2, 3, 4}, 0.5, 2.5},     {{0, 10}, 0.97, 9.7},      {{1, 2, 3, 4, 5}, 0.25, 2.0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(quantile_of_sorted(c.sorted, c.p), c.expected);
  EXPECT_TRUE(std::isnan(quantile_of_sorted({}, 0.5)));
}

TEST(Diagnostics, RankNormalizationAveragesTiesAndKeepsShape) {
  // Ranks 1, 2.5, 2.5, 4 of 4 values; scores are normal quantiles of (rank - 3/8) / (4 + 1/4).
  const Chains z = rank_normalize({{2.0, 1.0}, {3.0, 2.0}});
  ASSERT_EQ(z.size(), 2u);
  ASSERT_EQ(z[0].size(), 2u);
  EXPECT_EQ(z[0][0], z[1][1]);                // the tied draws share one score
  EXPECT_NEAR(z[0][0], 0.0, 4.5e-4);          // rank 2.5 of 4 is the median
  EXPECT_NEAR(z[0][1], -1.0491313979639707, 4.5e-4);
  EXPECT_NEAR(z[1][0], 1.0491313979639707, 4.5e-4);
  EXPECT_DOUBLE_EQ(z[0][1], -z[1][0]);

  const Chains with_nan = rank_normalize({{1.0, kNaN}, {0.5, 2.0}});
  for (const auto& c : with_nan) {
    for (double v : c) EXPECT_TRUE(std::isnan(v));
  }
}

TEST(Diagnostics, TailEssIgnoresADegenerateIndicator) {
  // 12 distinct low values, the other 388 draws equal 1: q05 = 1, so the lower indicator is all
  // ones (no variance, NaN ESS) and the tail ESS is the upper indicator's.
  Chains chains = draw_set(7, 0.0, 0.0, 4, 100);
  Chains upper(4, std::vector<double>(100));
  for (std::size_t c = 0; c < 4; ++c) {
    for (std::size_t d = 0; d < 100; ++d) {
      const bool low = d % 33 == 5;  // three per chain
      chains[c][d] = low ? -1.0 - std::abs(chains[c][d]) : 1.0;
      upper[c][d] = low ? 0.0 : 1.0;
    }
  }
  const double expected = ess_raw(upper);
  ASSERT_TRUE(std::isfinite(expected));
  EXPECT_DOUBLE_EQ(ess_tail(chains), expected);
  EXPECT_DOUBLE_EQ(diagnose(chains).ess_tail, expected);
}

TEST(Diagnostics, EssAndRhatRejectUnusableHalves) {
  EXPECT_TRUE(std::isnan(ess_raw({})));
  EXPECT_TRUE(std::isnan(ess_raw({{1.0, 2.0, 3.0}})));        // halves of one draw
  EXPECT_TRUE(std::isnan(ess_raw({{4.0, 4.0, 4.0, 4.0}})));   // no variance
  EXPECT_TRUE(std::isnan(ess_raw({{1.0, kNaN, 3.0, 4.0}})));
  EXPECT_TRUE(std::isnan(split_r_hat({{1.0, 2.0, 3.0}})));
  EXPECT_THROW(ess_raw({{1.0, 2.0, 3.0, 4.0}, {1.0, 2.0}}), InternalError);
}

// ---------------------------------------------------------------------------------------------
// Degenerate inputs to compute_diagnostics.

TEST(Diagnostics, OneChainIsSplitAndStillDiagnosed) {
  const ParamDiagnostics p = diagnose(draw_set(11, 0.3, 0.0, 1, 200));
  EXPECT_TRUE(std::isfinite(p.r_hat));
  EXPECT_GT(p.ess_bulk, 0.0);
  EXPECT_GT(p.ess_tail, 0.0);
  EXPECT_TRUE(std::isfinite(p.mcse_mean));
}

TEST(Diagnostics, ConstantDrawsGiveNaNConvergenceStatistics) {
  const ParamDiagnostics p = diagnose(Chains(3, std::vector<double>(50, 2.5)));
  EXPECT_EQ(p.mean, 2.5);
  EXPECT_EQ(p.std, 0.0);
  EXPECT_EQ(p.hdi_3, 2.5);
  EXPECT_EQ(p.hdi_97, 2.5);
  EXPECT_TRUE(std::isnan(p.ess_bulk));
  EXPECT_TRUE(std::isnan(p.ess_tail));
  EXPECT_TRUE(std::isnan(p.r_hat));
  EXPECT_TRUE(std::isnan(p.mcse_mean));
}

TEST(Diagnostics, TooFewDrawsGiveNaNWithoutFailing) {
  struct Case {
    std::size_t draws;
    bool mean_finite;
    bool std_finite;
  };
  // Fewer than two draws per half: no variance within halves, so no R-hat or ESS. A standard
  // deviation needs two pooled draws.
  const Case cases[] = {{0, false, false}, {1, true, true}, {2, true, true}, {3, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.draws);
    Samples varied(2, std::vector<std::vector<double>>(c.draws, std::vector<double>(1)));
    for (std::size_t ch = 0; ch < 2; ++ch) {
      for (std::size_t d = 0; d < c.draws; ++d) {
        varied[ch][d][0] = static_cast<double>(ch * 7 + d * d);
      }
    }
    const DiagnosticsReport report = compute_diagnostics(varied, {"x"});
    EXPECT_EQ(report.n_draws, c.draws);
    const ParamDiagnostics& p = report.params.at(0);
    EXPECT_EQ(std::isfinite(p.mean), c.mean_finite);
    EXPECT_EQ(std::isfinite(p.std), c.std_finite);
    EXPECT_EQ(std::isnan(p.hdi_3), c.draws == 0);
    EXPECT_TRUE(std::isnan(p.ess_bulk));
    EXPECT_TRUE(std::isnan(p.ess_tail));
    EXPECT_TRUE(std::isnan(p.r_hat));
    EXPECT_TRUE(std::isnan(p.mcse_mean));
  }
  // A single draw in all: no standard deviation.
  EXPECT_TRUE(std::isnan(diagnose({{3.0}}).std));
}

TEST(Diagnostics, OddDrawCountsUseEveryDraw) {
  const Chains chains = draw_set(12, 0.5, 0.0, 4, 101);
  const ParamDiagnostics p = diagnose(chains);
  EXPECT_TRUE(std::isfinite(p.ess_bulk));
  EXPECT_TRUE(std::isfinite(p.ess_tail));
  EXPECT_TRUE(std::isfinite(p.r_hat));
  // The last draw of each chain (in the longer tail half) moves R-hat.
  Chains changed = chains;
  for (auto& c : changed) c.back() += 50.0;
  EXPECT_NE(diagnose(changed).r_hat, p.r_hat);
}

TEST(Diagnostics, TiedDrawsDoNotDependOnDrawOrder) {
  // Draws rounded to a coarse grid: many ties. Reversing the chain order permutes the tied draws
  // the sort sees but must not change any statistic.
  Chains chains = draw_set(13, 0.2, 0.0, 4, 200);
  for (auto& c : chains) {
    for (double& v : c) v = std::round(v * 2.0) / 2.0;
  }
  Chains reversed(chains.rbegin(), chains.rend());
  const ParamDiagnostics a = diagnose(chains);
  const ParamDiagnostics b = diagnose(reversed);
  EXPECT_TRUE(std::isfinite(a.ess_bulk));
  EXPECT_NEAR(a.ess_bulk, b.ess_bulk, 1e-9 * a.ess_bulk);
  EXPECT_NEAR(a.ess_tail, b.ess_tail, 1e-9 * a.ess_tail);
  EXPECT_NEAR(a.r_hat, b.r_hat, 1e-12);
}

TEST(Diagnostics, NaNDrawsSpoilOnlyTheirParameter) {
  Chains clean = draw_set(14, 0.1, 0.0, 2, 60);
  Chains dirty = draw_set(15, 0.1, 0.0, 2, 60);
  dirty[1][17] = kNaN;
  const DiagnosticsReport report = compute_diagnostics(as_samples({dirty, clean}), {"d", "c"});
  const ParamDiagnostics& d = report.params.at(0);
  for (double v : {d.mean, d.std, d.hdi_3, d.hdi_97, d.ess_bulk, d.ess_tail, d.r_hat, d.mcse_mean}) {
    EXPECT_TRUE(std::isnan(v));
  }
  const ParamDiagnostics alone = diagnose(clean);
  const ParamDiagnostics& c = report.params.at(1);
  EXPECT_EQ(c.mean, alone.mean);
  EXPECT_EQ(c.hdi_97, alone.hdi_97);
  EXPECT_EQ(c.ess_bulk, alone.ess_bulk);
  EXPECT_EQ(c.ess_tail, alone.ess_tail);
  EXPECT_EQ(c.r_hat, alone.r_hat);
}

TEST(Diagnostics, ReportCopiesRunFieldsAndHandlesNoParameters) {
  const Samples samples = as_samples({draw_set(16, 0.0, 0.0, 3, 10)});
  const DiagnosticsReport report = compute_diagnostics(samples, {}, {0.8, 0.9, 0.7}, 5);
  EXPECT_TRUE(report.params.empty());
  EXPECT_EQ(report.n_chains, 3u);
  EXPECT_EQ(report.n_draws, 10u);
  EXPECT_EQ(report.total_divergences, 5u);
  EXPECT_EQ(report.accept_rates, (std::vector<double>{0.8, 0.9, 0.7}));

  const DiagnosticsReport empty = compute_diagnostics(Samples{}, {});
  EXPECT_EQ(empty.n_chains, 0u);
  EXPECT_EQ(empty.n_draws, 0u);
}

TEST(Diagnostics, SampleResultOverloadSumsDivergences) {
  SampleResult result;
  result.samples = as_samples({draw_set(17, 0.0, 0.0, 2, 40)});
  result.param_names = {"mu"};
  result.accept_rates = {0.85, 0.9};
  result.divergences = {2, 3};
  const DiagnosticsReport report = compute_diagnostics(result);
  EXPECT_EQ(report.total_divergences, 5u);
  EXPECT_EQ(report.accept_rates, result.accept_rates);
  ASSERT_EQ(report.params.size(), 1u);
  EXPECT_EQ(report.params[0].name, "mu");
}

TEST(Diagnostics, MalformedDrawsAreInternalErrors) {
  EXPECT_THROW(compute_diagnostics(Samples{}, {"x"}), InternalError);
  Samples unequal = as_samples({draw_set(18, 0.0, 0.0, 2, 10)});
  unequal[1].pop_back();
  EXPECT_THROW(compute_diagnostics(unequal, {"x"}), InternalError);
  const Samples narrow = as_samples({draw_set(18, 0.0, 0.0, 2, 10)});
  EXPECT_THROW(compute_diagnostics(narrow, {"x", "y"}), InternalError);
}

// ---------------------------------------------------------------------------------------------
// The summary table.

TEST(Diagnostics, TableGoldenText) {
  DiagnosticsReport report;
  report.n_chains = 2;
  report.n_draws = 500;
  report.accept_rates = {0.9, 0.7};
  report.total_divergences = 3;
  report.params.push_back({"alpha", 1.23456, 0.5, -0.1, 2.2, 1234.4, kNaN, 1.0012, 0.012345});
  // A 13-character name and wide values push the row right; an infinite ESS reads "NaN"; 399.6
  // prints as 400 yet is below 400; a NaN R-hat warns.
  report.params.push_back(
      {"sigma_overall", 12345.678, 0.00004, -3.5, 1e6, kInf, 399.6, kNaN, -0.5});
  const std::string expected =
      "2 chains \u00d7 500 draws per chain\n"
      "\n"
      "Parameter        mean      std     hdi_3%    hdi_97%   ess_bulk   ess_tail    r_hat  "
      "mcse_mean\n" +
      rule() +
      "\n"
      "alpha          1.2346   0.5000    -0.1000     2.2000       1234        NaN   1.0012   "
      "0.012345\n"
      "sigma_overall 12345.6780   0.0000    -3.5000 1000000.0000        NaN        400      NaN  "
      "-0.500000\n" +
      rule() +
      "\n"
      "Mean accept rate: 0.80  \u2502  Divergences: 3\n"
      "\u26a0  Some R-hat values > 1.05 \u2014 chains may not have converged.\n"
      "\u26a0  Some ESS values < 400 \u2014 consider increasing draws or tuning.\n"
      "\u26a0  3 divergent transitions \u2014 results may be unreliable.";
  EXPECT_EQ(report.to_table(), expected);
}

TEST(Diagnostics, TableWithoutParametersOrRates) {
  const DiagnosticsReport report;
  EXPECT_EQ(report.to_table(),
            "0 chains \u00d7 0 draws per chain\n\n"
            "Parameter        mean      std     hdi_3%    hdi_97%   ess_bulk   ess_tail    r_hat  "
            "mcse_mean\n" +
                rule() + "\n" + rule() + "\nMean accept rate: NaN  \u2502  Divergences: 0");
}

TEST(Diagnostics, TableWarningThresholdsAreStrict) {
  struct Case {
    double r_hat;
    double ess_bulk;
    double ess_tail;
    bool rhat_warning;
    bool ess_warning;
  };
  const Case cases[] = {
      {1.05, 400.0, 400.0, false, false}, {1.0500001, 500.0, 500.0, true, false},
      {kInf, 500.0, 500.0, true, false},  {1.0, 399.9, 500.0, false, true},
      {1.0, 500.0, 12.0, false, true},    {1.0, kNaN, kNaN, false, false},
  };
  for (const Case& c : cases) {
    DiagnosticsReport report;
    report.accept_rates = {0.8};
    report.params.push_back({"x", 0.0, 1.0, -1.0, 1.0, c.ess_bulk, c.ess_tail, c.r_hat, 0.01});
    const std::string table = report.to_table();
    SCOPED_TRACE(table);
    EXPECT_EQ(table.find("R-hat values") != std::string::npos, c.rhat_warning);
    EXPECT_EQ(table.find("ESS values") != std::string::npos, c.ess_warning);
    EXPECT_EQ(table.find("divergent"), std::string::npos);
  }
}

}  // namespace
}  // namespace vorpex
