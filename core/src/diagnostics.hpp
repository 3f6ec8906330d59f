// Convergence diagnostics over stored chains (split R-hat, bulk and tail ESS, MCSE) and the summary table.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "sampler.hpp"

namespace vorpex {

// Summary statistics and convergence diagnostics of one parameter. Any float may be NaN.
struct ParamDiagnostics {
  std::string name;
  double mean = std::numeric_limits<double>::quiet_NaN();
  double std = std::numeric_limits<double>::quiet_NaN();
  double hdi_3 = std::numeric_limits<double>::quiet_NaN();   // 0.03 quantile ("hdi_3%")
  double hdi_97 = std::numeric_limits<double>::quiet_NaN();  // 0.97 quantile ("hdi_97%")
  double ess_bulk = std::numeric_limits<double>::quiet_NaN();
  double ess_tail = std::numeric_limits<double>::quiet_NaN();
  double r_hat = std::numeric_limits<double>::quiet_NaN();
  double mcse_mean = std::numeric_limits<double>::quiet_NaN();
};

// Diagnostics of one run; owns copies of everything it holds.
struct DiagnosticsReport {
  std::vector<ParamDiagnostics> params;
  std::vector<double> accept_rates;
  std::uint64_t n_chains = 0;
  std::uint64_t n_draws = 0;  // draws in the first chain; 0 without chains
  std::uint64_t total_divergences = 0;

  // The fixed-width summary table: lines joined by "\n", no trailing newline.
  std::string to_table() const;
};

// A float in fixed-point notation with `precision` digits; "NaN", "inf" and "-inf" for the
// non-finite values. The numbers of the summary table and of the results' text forms.
std::string format_fixed(double v, int precision);

// Splits every chain into its head (first floor(N/2) draws) and tail (the rest), in the order
// head 0, tail 0, head 1, tail 1, ...; an odd chain's tail is one draw longer, nothing is dropped.
std::vector<std::vector<double>> split_chains(const std::vector<std::vector<double>>& chains);

// Effective sample size of one scalar quantity over whole chains of equal length (they are split
// here). NaN when the halves hold fewer than two draws, or their within-half variance is below
// 1e-30 or not finite.
double ess_raw(const std::vector<std::vector<double>>& chains);

// Linear interpolation between order statistics of ascending `sorted` at probability p; NaN when
// empty.
double quantile_of_sorted(const std::vector<double>& sorted, double p);

// Normal scores of the pooled average ranks, in the input's shape. Chains must be of equal length;
// if any value is NaN every score is NaN.
std::vector<std::vector<double>> rank_normalize(const std::vector<std::vector<double>>& chains);

// The smaller ESS of the indicators x <= q05 and x >= q95 of the pooled draws, ignoring a NaN one.
double ess_tail(const std::vector<std::vector<double>>& chains);

// Split R-hat on the raw draws; NaN when the halves hold fewer than two draws or their within-half
// variance is below 1e-30.
double split_r_hat(const std::vector<std::vector<double>>& chains);

// Diagnostics of every named parameter. `samples` is [chain][draw][coordinate]; all chains must
// hold the same number of draws and each draw at least as many values as there are names
// (InternalError otherwise, as for names without chains).
DiagnosticsReport compute_diagnostics(const std::vector<std::vector<std::vector<double>>>& samples,
                                      const std::vector<std::string>& param_names,
                                      const std::vector<double>& accept_rates = {},
                                      std::uint64_t total_divergences = 0);

// Diagnostics of a driver result, with its acceptance rates and summed divergence counts.
inline DiagnosticsReport compute_diagnostics(const SampleResult& result) {
  std::uint64_t total = 0;
  for (std::uint64_t d : result.divergences) total += d;
  return compute_diagnostics(result.samples, result.param_names, result.accept_rates, total);
}

}  // namespace vorpex
