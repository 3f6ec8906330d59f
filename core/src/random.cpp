// ChaCha8 generator and its variates: ziggurat normals, gamma, beta, chi-square, Poisson.
#include "random.hpp"

#include <cmath>
#include <numbers>
#include <string>

#include "errors.hpp"

namespace vorpex {

namespace {

constexpr double kTwoPow53Inv = 1.0 / 9007199254740992.0;  // 2^-53

// Four 32-bit lanes (GCC vector extension); the quarter round below serves both one block (plain
// words) and four blocks side by side (lanes).
typedef std::uint32_t Lanes __attribute__((vector_size(16)));

template <class W>
inline W rotl(W v, int c) {
  return (v << c) | (v >> (32 - c));
}

template <class W>
inline void quarter_round(W& a, W& b, W& c, W& d) {
  a += b; d ^= a; d = rotl(d, 16);
  c += d; b ^= c; b = rotl(b, 12);
  a += b; d ^= a; d = rotl(d, 8);
  c += d; b ^= c; b = rotl(b, 7);
}

// SplitMix64 (Steele, Lea & Flood 2014): spreads a 64-bit seed over the 256-bit key, so nearby
// seeds (seed + chain index) give unrelated keys.
std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Ziggurat of Marsaglia & Tsang (2000) for the standard normal, 256 layers of equal area v under
// f(x) = exp(-x^2/2). x[0] = v / f(r) is the width of the base strip (rectangle plus tail), x[1] = r
// the start of the tail, x[i] the right edge of layer i, falling to x[256] = 0 at the top.
constexpr int kLayers = 256;

struct Ziggurat {
  double r = 0.0;
  double x[kLayers + 1] = {};
  double f[kLayers + 1] = {};  // f(x[i]), rising with i
};

double density(double x) { return std::exp(-0.5 * x * x); }

// Builds the layers from r upwards; returns how far the top layer misses the peak f(0) = 1
// (positive: layers too wide, r too small).
double build_layers(double r, Ziggurat& z) {
  const double tail = std::sqrt(std::numbers::pi / 2.0) * std::erfc(r / std::sqrt(2.0));
  const double v = r * density(r) + tail;
  z.r = r;
  z.x[0] = v / density(r);
  z.x[1] = r;
  for (int i = 1; i < kLayers - 1; ++i) {
    const double y = v / z.x[i] + density(z.x[i]);
    if (y >= 1.0) return 1.0 + (kLayers - i);  // ran out of height before the last layer
    z.x[i + 1] = std::sqrt(-2.0 * std::log(y));
  }
  return v / z.x[kLayers - 1] + density(z.x[kLayers - 1]) - 1.0;
}

Ziggurat make_ziggurat() {
  // The layer edges follow from r; bisect for the r at which the top layer closes exactly at 0.
  Ziggurat z;
  double lo = 2.0, hi = 5.0;
  for (int it = 0; it < 200; ++it) {
    const double mid = 0.5 * (lo + hi);
    if (build_layers(mid, z) > 0.0) lo = mid;
    else hi = mid;
  }
  build_layers(hi, z);
  z.x[kLayers] = 0.0;
  for (int i = 0; i <= kLayers; ++i) z.f[i] = density(z.x[i]);
  return z;
}

const Ziggurat& ziggurat() {
  static const Ziggurat z = make_ziggurat();
  return z;
}

// ln k! : exact sums for small k, Stirling's series beyond (error below 1e-14 there).
double log_factorial(double k) {
  if (k < 16.0) {
    double s = 0.0;
    for (double j = 2.0; j <= k; j += 1.0) s += std::log(j);
    return s;
  }
  const double x = k + 1.0;
  const double x2 = x * x;
  const double series =
      (1.0 / 12.0 - (1.0 / 360.0 - (1.0 / 1260.0 - (1.0 / 1680.0 - 1.0 / (1188.0 * x2)) / x2) / x2) / x2) / x;
  return (x - 0.5) * std::log(x) - x + 0.5 * std::log(2.0 * std::numbers::pi) + series;
}

void check_shape(double shape, const char* what) {
  if (!(shape > 0.0) || !std::isfinite(shape)) {
    internal_error(std::string(what) + " must be positive and finite");
  }
}

}  // namespace

std::array<std::uint32_t, 8> Rng::key_from_seed(std::uint64_t seed) {
  std::array<std::uint32_t, 8> key{};
  std::uint64_t state = seed;
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t w = splitmix64(state);
    key[2 * i] = static_cast<std::uint32_t>(w);
    key[2 * i + 1] = static_cast<std::uint32_t>(w >> 32);
  }
  return key;
}

Rng::Rng(std::uint64_t seed) : key_(key_from_seed(seed)) {}

std::array<std::uint32_t, 16> Rng::chacha_block(const std::array<std::uint32_t, 8>& key,
                                                std::uint64_t counter, std::uint64_t nonce,
                                                int rounds) {
  // Bernstein's layout: four constants, the key, a 64-bit block counter in words 12-13 and a
  // 64-bit nonce in words 14-15 (low word first). The 96-bit-nonce layout of RFC 7539 is the same
  // state with counter = block count | nonce word 0 << 32 and nonce = nonce words 1-2.
  std::array<std::uint32_t, 16> in{0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = static_cast<std::uint32_t>(counter);
  in[13] = static_cast<std::uint32_t>(counter >> 32);
  in[14] = static_cast<std::uint32_t>(nonce);
  in[15] = static_cast<std::uint32_t>(nonce >> 32);
  std::array<std::uint32_t, 16> s = in;
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(s[0], s[4], s[8], s[12]);
    quarter_round(s[1], s[5], s[9], s[13]);
    quarter_round(s[2], s[6], s[10], s[14]);
    quarter_round(s[3], s[7], s[11], s[15]);
    quarter_round(s[0], s[5], s[10], s[15]);
    quarter_round(s[1], s[6], s[11], s[12]);
    quarter_round(s[2], s[7], s[8], s[13]);
    quarter_round(s[3], s[4], s[9], s[14]);
  }
  for (int i = 0; i < 16; ++i) s[i] += in[i];
  return s;
}

void Rng::refill() {
  // Four consecutive blocks (counters c .. c+3, nonce 0) with 8 rounds, one block per vector lane:
  // the same words as four calls of chacha_block, about four times faster.
  using V = Lanes;
  V x[16];
  const std::uint32_t consts[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
  for (int i = 0; i < 4; ++i) x[i] = V{} + consts[i];
  for (int i = 0; i < 8; ++i) x[4 + i] = V{} + key_[static_cast<std::size_t>(i)];
  for (unsigned l = 0; l < 4; ++l) {
    const std::uint64_t c = counter_ + l;
    x[12][l] = static_cast<std::uint32_t>(c);
    x[13][l] = static_cast<std::uint32_t>(c >> 32);
  }
  x[14] = V{};
  x[15] = V{};
  V in[16];
  for (int i = 0; i < 16; ++i) in[i] = x[i];
  for (int r = 0; r < 8; r += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (unsigned i = 0; i < 16; ++i) {
    const V w = x[i] + in[i];
    for (unsigned l = 0; l < 4; ++l) block_[16 * l + i] = w[l];
  }
  counter_ += 4;
  pos_ = 0;
}

std::uint32_t Rng::next_u32() {
  if (pos_ >= kBufferWords) refill();
  return block_[pos_++];
}

std::uint64_t Rng::next_u64() {
  const std::uint64_t lo = next_u32();
  const std::uint64_t hi = next_u32();
  return (hi << 32) | lo;
}

double Rng::uniform() { return static_cast<double>(next_u64() >> 11) * kTwoPow53Inv; }

double Rng::normal() {
  const Ziggurat& z = ziggurat();
  for (;;) {
    // One word gives the layer (low 8 bits), the sign (bit 8) and the position in the layer (top
    // 53 bits): disjoint bits, so the three are independent.
    const std::uint64_t u = next_u64();
    const unsigned i = static_cast<unsigned>(u & 0xffu);
    const bool negative = ((u >> 8) & 1u) != 0;
    const double x = static_cast<double>(u >> 11) * kTwoPow53Inv * z.x[i];
    if (x < z.x[i + 1]) return negative ? -x : x;  // inside the part of the layer under the curve
    if (i == 0) {
      // Tail beyond r by Marsaglia's (1964) method; 1 - uniform() lies in (0, 1].
      double a, b;
      do {
        a = -std::log(1.0 - uniform()) / z.r;
        b = -std::log(1.0 - uniform());
      } while (b + b < a * a);
      return negative ? -(z.r + a) : z.r + a;
    }
    const double y = z.f[i] + uniform() * (z.f[i + 1] - z.f[i]);
    if (y < density(x)) return negative ? -x : x;
  }
}

// Marsaglia & Tsang (2000), "A simple method for generating gamma variables", for shape >= 1.
static double gamma_at_least_one(Rng& rng, double shape) {
  const double d = shape - 1.0 / 3.0;
  const double c = 1.0 / std::sqrt(9.0 * d);
  for (;;) {
    double x, v;
    do {
      x = rng.normal();
      v = 1.0 + c * x;
    } while (v <= 0.0);
    v = v * v * v;
    const double u = 1.0 - rng.uniform();  // (0, 1]
    const double x2 = x * x;
    if (u < 1.0 - 0.0331 * x2 * x2) return d * v;
    if (std::log(u) < 0.5 * x2 + d * (1.0 - v + std::log(v))) return d * v;
  }
}

// ln of a standard gamma variate. Shape < 1 boosts: G(a) = G(a + 1) U^(1/a); kept in logs, where a
// small shape would otherwise underflow G(a) to 0 (the beta variate needs the ratio of two).
static double log_standard_gamma(Rng& rng, double shape) {
  if (shape >= 1.0) return std::log(gamma_at_least_one(rng, shape));
  const double g = gamma_at_least_one(rng, shape + 1.0);
  const double u = 1.0 - rng.uniform();
  return std::log(g) + std::log(u) / shape;
}

double Rng::gamma(double shape, double scale) {
  check_shape(shape, "gamma shape");
  if (!(scale > 0.0)) internal_error("gamma scale must be positive");
  if (shape >= 1.0) return scale * gamma_at_least_one(*this, shape);
  return scale * std::exp(log_standard_gamma(*this, shape));
}

double Rng::beta(double a, double b) {
  check_shape(a, "beta parameter a");
  check_shape(b, "beta parameter b");
  // X / (X + Y) with X ~ Gamma(a), Y ~ Gamma(b), written as 1 / (1 + exp(ln Y - ln X)).
  const double lx = log_standard_gamma(*this, a);
  const double ly = log_standard_gamma(*this, b);
  const double d = ly - lx;
  // Both logs are -inf only for subnormal shapes, where the distribution is, in doubles, two
  // point masses at 0 and 1; draw between them with its limiting weights rather than give NaN.
  if (std::isnan(d)) return uniform() * (a + b) < a ? 1.0 : 0.0;
  return 1.0 / (1.0 + std::exp(d));
}

double Rng::chi_square(double k) {
  check_shape(k, "chi-square degrees of freedom");
  // k / 2 underflows to 0 only for the smallest subnormal k, whose variate is 0 in doubles
  // (a gamma of shape 2.5e-324 exceeds the smallest positive double with probability ~1e-321).
  const double shape = 0.5 * k;
  if (shape == 0.0) return 0.0;
  return gamma(shape, 2.0);
}

double Rng::poisson(double lambda) {
  if (!(lambda >= 0.0) || !std::isfinite(lambda)) {
    internal_error("Poisson rate must be non-negative and finite");
  }
  if (lambda == 0.0) return 0.0;
  if (lambda < 10.0) {
    // Multiply uniforms until the product drops below e^-lambda (Knuth): about lambda + 1 draws.
    const double limit = std::exp(-lambda);
    double k = 0.0;
    double p = 1.0 - uniform();
    while (p > limit) {
      k += 1.0;
      p *= 1.0 - uniform();
    }
    return k;
  }
  // Transformed rejection with squeeze, PTRS (Hoermann 1993, "The transformed rejection method
  // for generating Poisson random variables").
  const double slam = std::sqrt(lambda);
  const double loglam = std::log(lambda);
  const double b = 0.931 + 2.53 * slam;
  const double a = -0.059 + 0.02483 * b;
  const double inv_alpha = 1.1239 + 1.1328 / (b - 3.4);
  const double vr = 0.9277 - 3.6224 / (b - 2.0);
  for (;;) {
    const double u = uniform() - 0.5;
    const double v = uniform();
    const double us = 0.5 - std::fabs(u);
    const double k = std::floor((2.0 * a / us + b) * u + lambda + 0.43);
    if (us >= 0.07 && v <= vr) return k;
    if (k < 0.0 || (us < 0.013 && v > us)) continue;
    if (std::log(v) + std::log(inv_alpha) - std::log(a / (us * us) + b) <=
        -lambda + k * loglam - log_factorial(k)) {
      return k;
    }
  }
}

}  // namespace vorpex
