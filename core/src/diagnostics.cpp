// Convergence diagnostics: split-chain, rank-normalised ESS and R-hat, MCSE, and the summary table.
//
// The estimators follow Vehtari, Gelman, Simpson, Carpenter and Bürkner (2021), "Rank-normalization,
// folding, and localization: an improved R-hat for assessing convergence of MCMC": chains are split
// in halves, bulk ESS is computed on normal scores of the pooled ranks, tail ESS on the indicators of
// the 5% and 95% quantiles, and the autocorrelations are summed with Geyer's initial monotone
// sequence (Geyer 1992).
#include "diagnostics.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <numbers>
#include <utility>

#include "errors.hpp"

namespace vorpex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Within-half variances below this are treated as constant draws: every ratio built on W is noise.
constexpr double kMinWithinVariance = 1e-30;

// Lags are computed directly, a block at a time, while that is cheaper than one FFT of all lags;
// then the FFT gives the rest. A direct lag costs M·n products and the FFT about M·L·log2(L) for a
// padded length L of 2n to 4n, so the switch comes after kDirectLagsPerLog2·log2(L) lags (the
// factor measured on 4 × 1000 draws). Chains that mix well stop after a few lags; slowly mixing
// ones whose autocorrelations stay positive cost O(M·n·log n) instead of O(M·n²).
constexpr std::size_t kDirectLagsPerLog2 = 4;

// A read-only view of one half chain.
struct Half {
  const double* x;
  std::size_t len;
};

std::vector<Half> split_views(const std::vector<std::vector<double>>& chains) {
  std::vector<Half> halves;
  halves.reserve(2 * chains.size());
  for (const auto& c : chains) {
    const std::size_t head = c.size() / 2;
    halves.push_back({c.data(), head});
    halves.push_back({c.data() + head, c.size() - head});
  }
  return halves;
}

void require_equal_lengths(const std::vector<std::vector<double>>& chains, const char* who) {
  for (const auto& c : chains) {
    if (c.size() != chains.front().size()) {
      internal_error(std::string(who) + ": chains of unequal length");
    }
  }
}

bool any_nan(const std::vector<std::vector<double>>& chains) {
  for (const auto& c : chains) {
    for (double v : c) {
      if (std::isnan(v)) return true;
    }
  }
  return false;
}

// Half means, the within-half variance W and the between-half variance B of split R-hat. Every
// half's sum of squares is divided by n - 1 with n the first half's length (an odd chain's longer
// tail half included).
struct HalfMoments {
  std::vector<double> means;
  double n = 0.0;
  double w = kNaN;
  double b = kNaN;
  bool usable = false;  // n >= 2 and W finite and >= kMinWithinVariance
};

HalfMoments half_moments(const std::vector<Half>& halves) {
  HalfMoments hm;
  const std::size_t m = halves.size();
  if (m < 2 || halves.front().len < 2) return hm;
  const double dm = static_cast<double>(m);
  hm.n = static_cast<double>(halves.front().len);
  hm.means.resize(m);
  double w_sum = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    const Half& h = halves[k];
    double sum = 0.0;
    for (std::size_t l = 0; l < h.len; ++l) sum += h.x[l];
    const double mean = sum / static_cast<double>(h.len);
    double ss = 0.0;
    for (std::size_t l = 0; l < h.len; ++l) ss += (h.x[l] - mean) * (h.x[l] - mean);
    hm.means[k] = mean;
    w_sum += ss / (hm.n - 1.0);
  }
  hm.w = w_sum / dm;
  double grand = 0.0;
  for (double mean : hm.means) grand += mean;
  grand /= dm;
  double between = 0.0;
  for (double mean : hm.means) between += (mean - grand) * (mean - grand);
  hm.b = hm.n / (dm - 1.0) * between;
  hm.usable = std::isfinite(hm.w) && hm.w >= kMinWithinVariance;
  return hm;
}

// A complex sequence kept as separate real and imaginary arrays (which compiles to far tighter
// loops than an array of std::complex).
struct SplitComplex {
  std::vector<double> re;
  std::vector<double> im;
};

// exp(sign·2πi·j/len) for j < len/2: sign -1 for the forward transform, +1 for the inverse.
// Entries are computed directly, not by repeated multiplication, to keep rounding at O(log len).
SplitComplex twiddles(std::size_t len, double sign) {
  SplitComplex w{std::vector<double>(len / 2), std::vector<double>(len / 2)};
  for (std::size_t j = 0; j < len / 2; ++j) {
    const double angle =
        sign * 2.0 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(len);
    w.re[j] = std::cos(angle);
    w.im[j] = std::sin(angle);
  }
  return w;
}

// In-place iterative radix-2 FFT, unnormalised; the length is a power of two.
void fft_in_place(SplitComplex& a, const SplitComplex& w) {
  const std::size_t len = a.re.size();
  double* re = a.re.data();
  double* im = a.im.data();
  for (std::size_t i = 1, j = 0; i < len; ++i) {
    std::size_t bit = len >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  for (std::size_t span = 2; span <= len; span <<= 1) {
    const std::size_t half = span / 2;
    const std::size_t stride = len / span;
    for (std::size_t i = 0; i < len; i += span) {
      for (std::size_t j = 0; j < half; ++j) {
        const double wr = w.re[j * stride];
        const double wi = w.im[j * stride];
        const std::size_t p = i + j;
        const std::size_t q = p + half;
        const double vr = re[q] * wr - im[q] * wi;
        const double vi = re[q] * wi + im[q] * wr;
        re[q] = re[p] - vr;
        im[q] = im[p] - vi;
        re[p] += vr;
        im[p] += vi;
      }
    }
  }
}

// Autocovariance at lag t averaged over the halves: each half centred on its own mean, products
// over its first n draws, divisor n. Lags are produced on demand so the cost follows how far the
// Geyer sequence runs.
struct MeanAutocovariance {
  static constexpr std::size_t kBlock = 8;  // lags computed together by the direct road

  std::size_t m;
  std::size_t n;
  std::vector<double> centred;  // m × n, row per half
  std::vector<double> lags;     // lags[t] for every t computed so far
  std::size_t fft_len = 1;      // padded transform length, a power of two >= 2n
  std::size_t direct_limit = 0;

  MeanAutocovariance(const std::vector<Half>& halves, const std::vector<double>& means)
      : m(halves.size()), n(halves.front().len), centred(m * n) {
    for (std::size_t k = 0; k < m; ++k) {
      for (std::size_t l = 0; l < n; ++l) centred[k * n + l] = halves[k].x[l] - means[k];
    }
    std::size_t log2_len = 0;
    while (fft_len < 2 * n) {
      fft_len <<= 1;
      ++log2_len;
    }
    direct_limit = kDirectLagsPerLog2 * log2_len;
  }

  double at(std::size_t t) {
    while (t >= lags.size()) {
      if (lags.size() < direct_limit) {
        add_direct_block();
      } else {
        fill_by_fft();
      }
    }
    return lags[t];
  }

  // The next kBlock lags at once: one pass over each half with kBlock independent sums, which the
  // compiler vectorises without reordering any sum.
  void add_direct_block() {
    const std::size_t t0 = lags.size();
    const std::size_t count = std::min(kBlock, n - t0);
    double s[kBlock] = {};
    for (std::size_t k = 0; k < m; ++k) {
      const double* c = centred.data() + k * n;
      const std::size_t full = n >= t0 + kBlock ? n - t0 - kBlock + 1 : 0;
      for (std::size_t l = 0; l < full; ++l) {
        for (std::size_t j = 0; j < kBlock; ++j) s[j] += c[l] * c[l + t0 + j];
      }
      for (std::size_t l = full; l < n; ++l) {
        for (std::size_t j = 0; j < count && l + t0 + j < n; ++j) s[j] += c[l] * c[l + t0 + j];
      }
    }
    const double scale = 1.0 / (static_cast<double>(n) * static_cast<double>(m));
    for (std::size_t j = 0; j < count; ++j) lags.push_back(s[j] * scale);
  }

  // Wiener–Khinchin with zero padding to at least 2n (no circular wrap). Only the sum over halves
  // is needed, so two real halves share one complex transform: with z = a + i·b, the summed power
  // |A_k|² + |B_k|² equals (|Z_k|² + |Z_{L-k}|²) / 2, and one inverse transform gives every lag.
  void fill_by_fft() {
    const std::size_t len = fft_len;
    const SplitComplex forward = twiddles(len, -1.0);
    std::vector<double> power(len, 0.0);
    SplitComplex z{std::vector<double>(len), std::vector<double>(len)};
    for (std::size_t k = 0; k < m; k += 2) {
      std::fill(z.re.begin(), z.re.end(), 0.0);
      std::fill(z.im.begin(), z.im.end(), 0.0);
      const double* a = centred.data() + k * n;
      std::copy(a, a + n, z.re.begin());
      if (k + 1 < m) {
        const double* b = centred.data() + (k + 1) * n;
        std::copy(b, b + n, z.im.begin());
      }
      fft_in_place(z, forward);
      for (std::size_t i = 0; i < len; ++i) {
        const std::size_t r = (len - i) % len;
        power[i] += 0.5 * (z.re[i] * z.re[i] + z.im[i] * z.im[i] + z.re[r] * z.re[r] +
                           z.im[r] * z.im[r]);
      }
    }
    z.re = power;
    std::fill(z.im.begin(), z.im.end(), 0.0);
    fft_in_place(z, twiddles(len, 1.0));
    const double scale = 1.0 / (static_cast<double>(len) * static_cast<double>(n) *
                                static_cast<double>(m));
    // Lags already computed directly keep their values, so a sequence never mixes two
    // estimates of one lag.
    for (std::size_t t = lags.size(); t < n; ++t) lags.push_back(z.re[t] * scale);
  }
};

// ESS of split halves of equal first-n length (Vehtari et al. 2021):
// rho_t = 1 - (W - mean autocovariance_t) / var+, var+ = (n-1)/n·W + B/n, rho_0 = 1;
// Geyer's initial positive sequence over the pairs (rho_0+rho_1), (rho_2+rho_3), ... stops at the
// first pair that is not positive, and the kept pairs are made monotone (a pair above its
// predecessor is lowered to it); tau = -1 + 2·(kept pairs) + the stopping pair's even rho when
// positive, floored at 1/log10(M·n); ESS = M·n/tau.
double ess_of_halves(const std::vector<Half>& halves) {
  const HalfMoments hm = half_moments(halves);
  if (!hm.usable) return kNaN;
  const std::size_t n = halves.front().len;
  const double var_plus = (hm.n - 1.0) / hm.n * hm.w + hm.b / hm.n;
  if (!std::isfinite(var_plus) || var_plus <= 0.0) return kNaN;

  MeanAutocovariance acov(halves, hm.means);
  const auto rho = [&](std::size_t t) { return 1.0 - (hm.w - acov.at(t)) / var_plus; };

  // Pairs j = 0 .. last, pair j holding lags 2j and 2j + 1. As in the reference implementation
  // of the estimator, the last pair considered is the last whose odd lag is at most n - 2; it
  // always ends the sequence, and the pair that ends it contributes only its even term, when
  // positive.
  const std::size_t last = n >= 3 ? (n - 3) / 2 : 0;
  double kept = 0.0;
  double previous_pair = std::numeric_limits<double>::infinity();
  double next_even = 0.0;
  for (std::size_t j = 0;; ++j) {
    const double even = j == 0 ? 1.0 : rho(2 * j);
    const double pair = even + rho(2 * j + 1);
    if (!(pair > 0.0) || j == last) {  // a NaN pair also ends the sequence
      if (even > 0.0) next_even = even;
      break;
    }
    const double monotone = std::min(pair, previous_pair);
    kept += monotone;
    previous_pair = monotone;
  }

  const double total = static_cast<double>(halves.size()) * hm.n;
  const double tau = std::max(-1.0 + 2.0 * kept + next_even, 1.0 / std::log10(total));
  return total / tau;
}

double quantile_rule(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return kNaN;
  const double h = static_cast<double>(sorted.size() - 1) * p;
  const double lo_f = std::floor(h);
  const auto lo = static_cast<std::size_t>(lo_f);
  const std::size_t hi = std::min(static_cast<std::size_t>(std::ceil(h)), sorted.size() - 1);
  const double f = h - lo_f;
  return (1.0 - f) * sorted[lo] + f * sorted[hi];
}

// Normal quantile of q in (0, 1) by the rational approximation of Abramowitz and Stegun 26.2.23
// (absolute error below 4.5e-4).
double normal_score(double q) {
  const double u = q < 0.5 ? q : 1.0 - q;
  const double t = std::sqrt(-2.0 * std::log(u));
  const double z = t - (2.515517 + 0.802853 * t + 0.010328 * t * t) /
                           (1.0 + 1.432788 * t + 0.189269 * t * t + 0.001308 * t * t * t);
  return q < 0.5 ? -z : z;
}

// Rank normalisation of equal-length, NaN-free chains; also leaves the pooled values sorted
// ascending in `sorted` so the quantiles need no second sort.
std::vector<std::vector<double>> normal_scores(const std::vector<std::vector<double>>& chains,
                                               std::vector<double>& sorted) {
  const std::size_t m = chains.size();
  const std::size_t len = m == 0 ? 0 : chains.front().size();
  std::vector<std::pair<double, std::size_t>> order;
  order.reserve(m * len);
  for (std::size_t c = 0; c < m; ++c) {
    for (std::size_t d = 0; d < len; ++d) order.emplace_back(chains[c][d], c * len + d);
  }
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  std::vector<std::vector<double>> scores(m, std::vector<double>(len, 0.0));
  const double total = static_cast<double>(order.size());
  sorted.resize(order.size());
  for (std::size_t s = 0; s < order.size();) {
    std::size_t e = s + 1;
    while (e < order.size() && order[e].first == order[s].first) ++e;
    // Every member of a tie group gets the group's average 1-based rank (Blom's offset 3/8).
    const double rank = static_cast<double>(s + e + 1) / 2.0;
    const double z = normal_score((rank - 0.375) / (total + 0.25));
    for (std::size_t i = s; i < e; ++i) {
      const std::size_t flat = order[i].second;
      scores[flat / len][flat % len] = z;
      sorted[i] = order[i].first;
    }
    s = e;
  }
  return scores;
}

double ess_tail_of_sorted(const std::vector<std::vector<double>>& chains,
                          const std::vector<double>& sorted) {
  const double q05 = quantile_rule(sorted, 0.05);
  const double q95 = quantile_rule(sorted, 0.95);
  std::vector<std::vector<double>> lower(chains.size());
  std::vector<std::vector<double>> upper(chains.size());
  for (std::size_t c = 0; c < chains.size(); ++c) {
    lower[c].reserve(chains[c].size());
    upper[c].reserve(chains[c].size());
    for (double v : chains[c]) {
      lower[c].push_back(v <= q05 ? 1.0 : 0.0);
      upper[c].push_back(v >= q95 ? 1.0 : 0.0);
    }
  }
  const double a = ess_raw(lower);
  const double b = ess_raw(upper);
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return std::min(a, b);
}

// Width in characters (UTF-8 code points), not bytes.
std::size_t text_width(const std::string& s) {
  std::size_t n = 0;
  for (char ch : s) {
    if ((static_cast<unsigned char>(ch) & 0xC0u) != 0x80u) ++n;
  }
  return n;
}

std::string pad_left(const std::string& s, std::size_t width) {
  const std::size_t w = text_width(s);
  return w >= width ? s : std::string(width - w, ' ') + s;
}

std::string pad_right(const std::string& s, std::size_t width) {
  const std::size_t w = text_width(s);
  return w >= width ? s : s + std::string(width - w, ' ');
}

std::string ess_cell(double v) { return std::isfinite(v) ? format_fixed(v, 0) : "NaN"; }

std::string rule() {
  std::string r;
  for (int i = 0; i < 96; ++i) r += "\u2500";
  return r;
}

}  // namespace

std::string format_fixed(double v, int precision) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  const int len = std::snprintf(nullptr, 0, "%.*f", precision, v);
  std::string s(static_cast<std::size_t>(len), '\0');
  std::snprintf(s.data(), s.size() + 1, "%.*f", precision, v);
  return s;
}

std::vector<std::vector<double>> split_chains(const std::vector<std::vector<double>>& chains) {
  std::vector<std::vector<double>> out;
  out.reserve(2 * chains.size());
  for (const Half& h : split_views(chains)) out.emplace_back(h.x, h.x + h.len);
  return out;
}

double ess_raw(const std::vector<std::vector<double>>& chains) {
  require_equal_lengths(chains, "ess_raw");
  if (chains.empty()) return kNaN;
  return ess_of_halves(split_views(chains));
}

double quantile_of_sorted(const std::vector<double>& sorted, double p) {
  return quantile_rule(sorted, p);
}

std::vector<std::vector<double>> rank_normalize(const std::vector<std::vector<double>>& chains) {
  require_equal_lengths(chains, "rank_normalize");
  if (any_nan(chains)) {
    // NaN breaks the ordering a sort relies on; such draws have no ranks.
    std::vector<std::vector<double>> out;
    for (const auto& c : chains) out.emplace_back(c.size(), kNaN);
    return out;
  }
  std::vector<double> sorted;
  return normal_scores(chains, sorted);
}

double ess_tail(const std::vector<std::vector<double>>& chains) {
  if (any_nan(chains)) return kNaN;
  std::vector<double> sorted;
  for (const auto& c : chains) sorted.insert(sorted.end(), c.begin(), c.end());
  std::sort(sorted.begin(), sorted.end());
  return ess_tail_of_sorted(chains, sorted);
}

double split_r_hat(const std::vector<std::vector<double>>& chains) {
  const HalfMoments hm = half_moments(split_views(chains));
  if (!hm.usable) return kNaN;
  return std::sqrt(((hm.n - 1.0) / hm.n * hm.w + hm.b / hm.n) / hm.w);
}

DiagnosticsReport compute_diagnostics(const std::vector<std::vector<std::vector<double>>>& samples,
                                      const std::vector<std::string>& param_names,
                                      const std::vector<double>& accept_rates,
                                      std::uint64_t total_divergences) {
  const std::size_t m = samples.size();
  const std::size_t n_params = param_names.size();
  const std::size_t len = m == 0 ? 0 : samples.front().size();
  if (n_params > 0 && m == 0) internal_error("compute_diagnostics: parameters without chains");
  for (const auto& chain : samples) {
    if (chain.size() != len) internal_error("compute_diagnostics: chains of unequal length");
    for (const auto& draw : chain) {
      if (draw.size() < n_params) internal_error("compute_diagnostics: draw shorter than names");
    }
  }

  DiagnosticsReport report;
  report.accept_rates = accept_rates;
  report.n_chains = m;
  report.n_draws = len;
  report.total_divergences = total_divergences;
  report.params.reserve(n_params);

  std::vector<std::vector<double>> chains(m, std::vector<double>(len));
  std::vector<double> sorted;
  for (std::size_t g = 0; g < n_params; ++g) {
    for (std::size_t c = 0; c < m; ++c) {
      for (std::size_t d = 0; d < len; ++d) chains[c][d] = samples[c][d][g];
    }
    ParamDiagnostics p;
    p.name = param_names[g];
    // A NaN draw leaves every statistic of its parameter NaN (the defaults); the others go on.
    if (any_nan(chains)) {
      report.params.push_back(std::move(p));
      continue;
    }

    const std::size_t total = m * len;
    double sum = 0.0;
    for (const auto& c : chains) {
      for (double v : c) sum += v;
    }
    p.mean = sum / static_cast<double>(total);
    double ss = 0.0;
    for (const auto& c : chains) {
      for (double v : c) ss += (v - p.mean) * (v - p.mean);
    }
    // The sample standard deviation needs two draws; fewer give NaN, not a made-up 0.
    p.std = total < 2 ? kNaN : std::sqrt(ss / static_cast<double>(total - 1));

    const std::vector<std::vector<double>> scores = normal_scores(chains, sorted);
    p.hdi_3 = quantile_rule(sorted, 0.03);
    p.hdi_97 = quantile_rule(sorted, 0.97);
    p.ess_bulk = ess_raw(scores);
    p.ess_tail = ess_tail_of_sorted(chains, sorted);
    p.r_hat = split_r_hat(chains);
    p.mcse_mean = p.ess_bulk > 0.0 ? p.std / std::sqrt(p.ess_bulk) : kNaN;
    report.params.push_back(std::move(p));
  }
  return report;
}

std::string DiagnosticsReport::to_table() const {
  std::vector<std::string> lines;
  lines.push_back(std::to_string(n_chains) + " chains \u00d7 " + std::to_string(n_draws) +
                  " draws per chain");
  lines.emplace_back();
  lines.push_back(pad_right("Parameter", 12) + " " + pad_left("mean", 8) + " " +
                  pad_left("std", 8) + " " + pad_left("hdi_3%", 10) + " " +
                  pad_left("hdi_97%", 10) + " " + pad_left("ess_bulk", 10) + " " +
                  pad_left("ess_tail", 10) + " " + pad_left("r_hat", 8) + " " +
                  pad_left("mcse_mean", 10));
  lines.push_back(rule());
  bool rhat_warning = false;
  bool ess_warning = false;
  for (const ParamDiagnostics& p : params) {
    lines.push_back(pad_right(p.name, 12) + " " + pad_left(format_fixed(p.mean, 4), 8) + " " +
                    pad_left(format_fixed(p.std, 4), 8) + " " +
                    pad_left(format_fixed(p.hdi_3, 4), 10) + " " +
                    pad_left(format_fixed(p.hdi_97, 4), 10) + " " +
                    pad_left(ess_cell(p.ess_bulk), 10) + " " + pad_left(ess_cell(p.ess_tail), 10) +
                    " " + pad_left(format_fixed(p.r_hat, 4), 8) + " " +
                    pad_left(format_fixed(p.mcse_mean, 6), 10));
    if (!std::isfinite(p.r_hat) || p.r_hat > 1.05) rhat_warning = true;
    if (p.ess_bulk < 400.0 || p.ess_tail < 400.0) ess_warning = true;  // NaN compares false
  }
  lines.push_back(rule());

  double accept_sum = 0.0;
  for (double a : accept_rates) accept_sum += a;
  const double accept_mean = accept_rates.empty()
                                 ? kNaN
                                 : accept_sum / static_cast<double>(accept_rates.size());
  lines.push_back("Mean accept rate: " + format_fixed(accept_mean, 2) +
                  "  \u2502  Divergences: " + std::to_string(total_divergences));
  if (rhat_warning) {
    lines.emplace_back("\u26a0  Some R-hat values > 1.05 \u2014 chains may not have converged.");
  }
  if (ess_warning) {
    lines.emplace_back("\u26a0  Some ESS values < 400 \u2014 consider increasing draws or tuning.");
  }
  if (total_divergences != 0) {
    lines.push_back("\u26a0  " + std::to_string(total_divergences) +
                    " divergent transitions \u2014 results may be unreliable.");
  }

  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += "\n";
    out += lines[i];
  }
  return out;
}

}  // namespace vorpex
