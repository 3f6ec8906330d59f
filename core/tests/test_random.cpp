// Tests of the generator: ChaCha block against published vectors, the word and uniform layout,
// seeding, and every variate by moments and a goodness-of-fit statistic.
#include "random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "errors.hpp"

namespace vorpex {
namespace {

// ---- ChaCha block ----

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::array<std::uint32_t, 8> key_from_bytes(const std::vector<std::uint8_t>& b) {
  std::array<std::uint32_t, 8> k{};
  for (int i = 0; i < 8; ++i) {
    k[i] = std::uint32_t{b[4 * i]} | std::uint32_t{b[4 * i + 1]} << 8 |
           std::uint32_t{b[4 * i + 2]} << 16 | std::uint32_t{b[4 * i + 3]} << 24;
  }
  return k;
}

std::vector<std::uint8_t> serialize(const std::array<std::uint32_t, 16>& words) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t w : words) {
    for (int s = 0; s < 32; s += 8) out.push_back(static_cast<std::uint8_t>(w >> s));
  }
  return out;
}

struct BlockVector {
  const char* name;
  const char* key;
  std::uint64_t counter;
  std::uint64_t nonce;
  int rounds;
  const char* keystream;
};

// A 96-bit nonce n0 n1 n2 with a 32-bit block count c maps to counter = c | n0 << 32, nonce =
// n1 | n2 << 32 (see chacha_block).
const BlockVector kBlockVectors[] = {
    {"RFC 7539 2.3.2", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     1u | (std::uint64_t{0x09000000u} << 32), 0x4a000000u, 20,
     "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
     "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
    {"RFC 7539 A.1 #1", "0000000000000000000000000000000000000000000000000000000000000000", 0,
     0, 20,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"RFC 7539 A.1 #2", "0000000000000000000000000000000000000000000000000000000000000000", 1,
     0, 20,
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    {"ChaCha8, zero key and IV", "0000000000000000000000000000000000000000000000000000000000000000",
     0, 0, 8,
     "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
     "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"},
};

TEST(Random, ChaChaBlockMatchesPublishedVectors) {
  for (const BlockVector& v : kBlockVectors) {
    SCOPED_TRACE(v.name);
    const auto block =
        Rng::chacha_block(key_from_bytes(from_hex(v.key)), v.counter, v.nonce, v.rounds);
    EXPECT_EQ(serialize(block), from_hex(v.keystream));
  }
}

// ---- words, uniforms, seeding ----

TEST(Random, WordsAreChaCha8BlocksOfTheSeedKeyInCounterOrder) {
  // Nine blocks: crosses the generator's four-block buffer twice.
  for (std::uint64_t seed : {0ull, 42ull, ~0ull}) {
    Rng rng(seed);
    const auto key = Rng::key_from_seed(seed);
    for (std::uint64_t counter = 0; counter < 9; ++counter) {
      const auto block = Rng::chacha_block(key, counter, 0, 8);
      for (std::uint32_t w : block) ASSERT_EQ(rng.next_u32(), w) << "block " << counter;
    }
  }
  EXPECT_NE(Rng::key_from_seed(1), Rng::key_from_seed(2));
}

TEST(Random, WordsAndUniformsAreFormedFromTheSameStream) {
  Rng a(7), b(7);
  for (int i = 0; i < 40; ++i) {  // crosses several 16-word blocks, also at odd offsets
    if (i % 5 == 0) {
      EXPECT_EQ(a.next_u32(), b.next_u32());
    }
    const std::uint64_t lo = b.next_u32();
    const std::uint64_t hi = b.next_u32();
    const std::uint64_t w = (hi << 32) | lo;
    if (i % 2 == 0) {
      EXPECT_EQ(a.next_u64(), w);
    } else {
      const double u = a.uniform();
      EXPECT_EQ(u, static_cast<double>(w >> 11) * 0x1.0p-53);
      EXPECT_GE(u, 0.0);
      EXPECT_LT(u, 1.0);
    }
  }
}

TEST(Random, SameSeedReproducesEveryVariateDifferentSeedsDiffer) {
  auto stream = [](std::uint64_t seed) {
    Rng r(seed);
    std::vector<double> v;
    for (int i = 0; i < 50; ++i) {
      v.push_back(static_cast<double>(r.next_u64()));
      v.push_back(r.normal());
      v.push_back(r.gamma(0.4, 2.0));
      v.push_back(r.gamma(3.0, 1.0));
      v.push_back(r.beta(0.5, 2.0));
      v.push_back(r.chi_square(3.0));
      v.push_back(r.poisson(4.0));
      v.push_back(r.poisson(400.0));
    }
    return v;
  };
  EXPECT_EQ(stream(42), stream(42));
  std::set<std::uint64_t> firsts;
  const std::uint64_t seeds[] = {0, 1, 2, 3, 42, 43, 1ull << 63, ~0ull};
  for (std::uint64_t s : seeds) {
    EXPECT_NE(stream(s), stream(s + 1));
    firsts.insert(Rng(s).next_u64());
  }
  EXPECT_EQ(firsts.size(), std::size(seeds));
}

TEST(Random, InvalidParametersAreInternalErrors) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  Rng r(1);
  const std::vector<std::function<double()>> bad = {
      [&] { return r.gamma(0.0, 1.0); },   [&] { return r.gamma(-1.0, 1.0); },
      [&] { return r.gamma(nan, 1.0); },   [&] { return r.gamma(inf, 1.0); },
      [&] { return r.gamma(1.0, 0.0); },   [&] { return r.gamma(1.0, nan); },
      [&] { return r.beta(0.0, 1.0); },    [&] { return r.beta(1.0, -2.0); },
      [&] { return r.beta(nan, 1.0); },    [&] { return r.chi_square(0.0); },
      [&] { return r.poisson(-1.0); },     [&] { return r.poisson(nan); },
      [&] { return r.poisson(inf); },
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_THROW(bad[i](), InternalError) << "case " << i;
  }
  EXPECT_EQ(r.poisson(0.0), 0.0);
}

// ---- distributions ----

// Regularised lower incomplete gamma P(a, x): series below a + 1, Lentz continued fraction above.
double gamma_p(double a, double x) {
  if (x <= 0.0) return 0.0;
  const double log_front = -x + a * std::log(x) - std::lgamma(a);
  if (x < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < 100000 && std::fabs(term) > 1e-17 * std::fabs(sum); ++n) {
      term *= x / (a + n);
      sum += term;
    }
    return sum * std::exp(log_front);
  }
  const double tiny = 1e-300;
  double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int i = 1; i < 100000; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < 1e-16) break;
  }
  return 1.0 - std::exp(log_front) * h;
}

// Regularised incomplete beta I_x(a, b) by its continued fraction (Lentz), using the symmetry
// I_x(a, b) = 1 - I_(1-x)(b, a) where the fraction converges slowly.
double beta_i(double a, double b, double x) {
  if (x <= 0.0) return 0.0;
  if (x >= 1.0) return 1.0;
  if (x > (a + 1.0) / (a + b + 2.0)) return 1.0 - beta_i(b, a, 1.0 - x);
  const double log_front = std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) +
                           a * std::log(x) + b * std::log1p(-x);
  const double tiny = 1e-300;
  double c = 1.0, d = 1.0 - (a + b) * x / (a + 1.0);
  if (std::fabs(d) < tiny) d = tiny;
  d = 1.0 / d;
  double h = d;
  for (int m = 1; m < 100000; ++m) {
    const double m2 = 2.0 * m;
    double aa = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    h *= d * c;
    aa = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
    d = 1.0 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < 1e-16) break;
  }
  return std::exp(log_front) * h / a;
}

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Kolmogorov-Smirnov statistic of a continuous sample against cdf.
double ks_statistic(std::vector<double> xs, const std::function<double(double)>& cdf) {
  std::sort(xs.begin(), xs.end());
  const double n = static_cast<double>(xs.size());
  double d = 0.0;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const double f = cdf(xs[i]);
    d = std::max({d, (static_cast<double>(i) + 1.0) / n - f, f - static_cast<double>(i) / n});
  }
  return d;
}

// Critical KS value at level 1e-5: sqrt(-ln(1e-5 / 2) / 2) / sqrt(n).
double ks_critical(std::size_t n) { return 2.4737 / std::sqrt(static_cast<double>(n)); }

// Sample mean and variance within five standard errors of the true values; the error of the
// variance uses the sample's fourth central moment.
void expect_moments(const std::vector<double>& xs, double mean, double var) {
  const double n = static_cast<double>(xs.size());
  double m = 0.0;
  for (double x : xs) m += x;
  m /= n;
  double m2 = 0.0, m4 = 0.0;
  for (double x : xs) {
    const double d2 = (x - m) * (x - m);
    m2 += d2;
    m4 += d2 * d2;
  }
  m2 /= n;
  m4 /= n;
  EXPECT_NEAR(m, mean, 5.0 * std::sqrt(var / n)) << "mean";
  EXPECT_NEAR(m2, var, 5.0 * std::sqrt(std::max(m4 - m2 * m2, 0.0) / n)) << "variance";
}

std::vector<double> draw(std::size_t n, std::uint64_t seed, const std::function<double(Rng&)>& f) {
  Rng r(seed);
  std::vector<double> xs(n);
  for (double& x : xs) x = f(r);
  return xs;
}

// Upper 1e-5 quantile of chi-square with df degrees of freedom (Wilson-Hilferty approximation).
double chi_square_critical(double df) {
  const double h = 2.0 / (9.0 * df);
  return df * std::pow(1.0 - h + 4.265 * std::sqrt(h), 3.0);
}

TEST(Random, NormalMomentsAndFit) {
  const std::size_t n = 4000000;
  const std::vector<double> xs = draw(n, 11, [](Rng& r) { return r.normal(); });
  expect_moments(xs, 0.0, 1.0);
  EXPECT_LT(ks_statistic(xs, normal_cdf), ks_critical(n));
  // Pearson chi-square over 1024 bins of equal probability: sensitive to local faults inside the
  // ziggurat's layers that the KS statistic averages away.
  const std::size_t bins = 1024;
  std::vector<double> edges(bins - 1);
  for (std::size_t b = 0; b + 1 < bins; ++b) {
    const double p = static_cast<double>(b + 1) / bins;
    double lo = -10.0, hi = 10.0;
    for (int it = 0; it < 80; ++it) {
      const double mid = 0.5 * (lo + hi);
      (normal_cdf(mid) < p ? lo : hi) = mid;
    }
    edges[b] = 0.5 * (lo + hi);
  }
  std::vector<double> counts(bins, 0.0);
  for (double x : xs) {
    counts[static_cast<std::size_t>(std::upper_bound(edges.begin(), edges.end(), x) -
                                    edges.begin())] += 1.0;
  }
  const double expected = static_cast<double>(n) / bins;
  double chi2 = 0.0;
  for (double c : counts) chi2 += (c - expected) * (c - expected) / expected;
  EXPECT_LT(chi2, chi_square_critical(bins - 1.0));
}

TEST(Random, NormalTailBeyondBaseLayer) {
  // Draws beyond r = 3.6541... come from the base layer's tail sampler: check their share and
  // their distribution, whose mean excess over r (about 0.2545) differs from that of a plain
  // exponential tail (1 / r = 0.2737) by several standard errors at this sample size.
  const double r = 3.6541528853610088;
  const std::size_t n = 40000000;
  Rng rng(12);
  std::vector<double> tail;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = std::fabs(rng.normal());
    if (x > r) tail.push_back(x);
  }
  const double p = 2.0 * normal_cdf(-r);
  EXPECT_NEAR(static_cast<double>(tail.size()), n * p, 5.0 * std::sqrt(n * p));
  const double tail_mass = normal_cdf(-r);
  EXPECT_LT(ks_statistic(tail,
                         [&](double x) { return (normal_cdf(-r) - normal_cdf(-x)) / tail_mass; }),
            ks_critical(tail.size()));
  double excess = 0.0;
  for (double x : tail) excess += x - r;
  excess /= static_cast<double>(tail.size());
  const double true_excess = std::exp(-0.5 * r * r) / std::sqrt(2.0 * M_PI) / tail_mass - r;
  EXPECT_NEAR(excess, true_excess, 5.0 * 0.25 / std::sqrt(static_cast<double>(tail.size())));
}

TEST(Random, GammaAndChiSquareMomentsAndFit) {
  struct Case {
    double shape, scale;
    bool chi_square;  // draw as chi_square(2 * shape), which has scale 2
  };
  const Case cases[] = {{0.1, 1.0, false}, {0.5, 3.0, false}, {1.0, 1.0, false},
                        {2.5, 0.3, false}, {40.0, 2.0, false}, {0.5, 2.0, true},
                        {1.75, 2.0, true}, {20.0, 2.0, true}};
  const std::size_t n = 100000;
  std::uint64_t seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "shape " << c.shape << " scale " << c.scale
                                      << (c.chi_square ? " chi-square" : ""));
    const std::vector<double> xs = draw(n, seed++, [&](Rng& r) {
      return c.chi_square ? r.chi_square(2.0 * c.shape) : r.gamma(c.shape, c.scale);
    });
    expect_moments(xs, c.shape * c.scale, c.shape * c.scale * c.scale);
    EXPECT_LT(ks_statistic(xs, [&](double x) { return gamma_p(c.shape, x / c.scale); }),
              ks_critical(n));
  }
}

TEST(Random, BetaMomentsAndFit) {
  struct Case {
    double a, b;
  };
  const std::size_t n = 100000;
  std::uint64_t seed = 200;
  for (const Case& c : {Case{0.3, 0.7}, Case{0.5, 0.5}, Case{2.0, 5.0}, Case{50.0, 20.0},
                        Case{0.2, 8.0}}) {
    SCOPED_TRACE(::testing::Message() << "beta " << c.a << ", " << c.b);
    const std::vector<double> xs = draw(n, seed++, [&](Rng& r) { return r.beta(c.a, c.b); });
    const double s = c.a + c.b;
    expect_moments(xs, c.a / s, c.a * c.b / (s * s * (s + 1.0)));
    EXPECT_LT(ks_statistic(xs, [&](double x) { return beta_i(c.a, c.b, x); }), ks_critical(n));
  }
  // Very small shapes: many draws lie within rounding of 0 or 1, none is NaN or outside [0, 1].
  const std::vector<double> xs = draw(n, seed, [](Rng& r) { return r.beta(0.05, 0.05); });
  for (double x : xs) ASSERT_TRUE(x >= 0.0 && x <= 1.0) << x;
  expect_moments(xs, 0.5, 0.25 / 1.1);
  // Shapes so small that both gamma draws underflow even in logs: point masses at 0 and 1.
  Rng r(seed + 1);
  double ones = 0.0;
  for (int i = 0; i < 4000; ++i) {
    const double x = r.beta(1e-310, 3e-310);
    ASSERT_TRUE(x == 0.0 || x == 1.0) << x;
    ones += x;
  }
  EXPECT_NEAR(ones / 4000.0, 0.25, 5.0 * std::sqrt(0.25 * 0.75 / 4000.0));
}

TEST(Random, PoissonMomentsAndChiSquareFit) {
  const std::size_t n = 100000;
  std::uint64_t seed = 300;
  // Both methods (multiplication below 10, transformed rejection from 10) and their boundary.
  for (double lambda : {0.3, 4.0, 9.99, 10.0, 37.5, 2000.0}) {
    SCOPED_TRACE(::testing::Message() << "lambda " << lambda);
    const std::vector<double> xs = draw(n, seed++, [&](Rng& r) { return r.poisson(lambda); });
    for (double x : xs) ASSERT_TRUE(x >= 0.0 && x == std::floor(x)) << x;
    expect_moments(xs, lambda, lambda);

    // Pearson chi-square over the counts k with expected frequency >= 20, the tails pooled into
    // the first and last bins.
    auto pmf = [&](double k) { return std::exp(k * std::log(lambda) - lambda - std::lgamma(k + 1.0)); };
    const double mode = std::floor(lambda);
    double lo = mode, hi = mode;
    while (lo > 0 && n * pmf(lo - 1) >= 20.0) lo -= 1;
    while (n * pmf(hi + 1) >= 20.0) hi += 1;
    const std::size_t bins = static_cast<std::size_t>(hi - lo) + 1;
    std::vector<double> observed(bins, 0.0), expected(bins, 0.0);
    for (double x : xs) {
      observed[static_cast<std::size_t>(std::clamp(x, lo, hi) - lo)] += 1.0;
    }
    double inner = 0.0;
    for (std::size_t b = 0; b < bins; ++b) {
      expected[b] = n * pmf(lo + static_cast<double>(b));
      inner += expected[b];
    }
    double below = 0.0;
    for (double k = 0; k < lo; k += 1) below += n * pmf(k);
    expected.front() += below;
    expected.back() += n - inner - below;
    double chi2 = 0.0;
    for (std::size_t b = 0; b < bins; ++b) {
      chi2 += (observed[b] - expected[b]) * (observed[b] - expected[b]) / expected[b];
    }
    EXPECT_LT(chi2, chi_square_critical(static_cast<double>(bins - 1))) << bins << " bins";
  }
}

}  // namespace
}  // namespace vorpex
