// ChaCha8 pseudo-random generator seeded from a 64-bit integer, with the variates the samplers
// and predictive checks draw.
#pragma once

#include <array>
#include <cstdint>

namespace vorpex {

class Rng {
 public:
  explicit Rng(std::uint64_t seed);

  std::uint32_t next_u32();
  std::uint64_t next_u64();
  // (next_u64() >> 11) * 2^-53, in [0, 1).
  double uniform();
  // Ziggurat standard normal.
  double normal();
  // Gamma with the given shape and scale (Marsaglia-Tsang; shape < 1 by boosting).
  double gamma(double shape, double scale);
  double beta(double a, double b);
  double chi_square(double k);
  // Poisson count with rate lambda (as a double).
  double poisson(double lambda);

  // One ChaCha block with `rounds` rounds (8 for the generator, 20 for the published test vectors).
  static std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                                    std::uint64_t counter, std::uint64_t nonce,
                                                    int rounds);
  // The 256-bit key a seed expands to; the generator's words are the ChaCha8 blocks of this key
  // with nonce 0 and counters 0, 1, 2, ..., each block's words in order.
  static std::array<std::uint32_t, 8> key_from_seed(std::uint64_t seed);

 private:
  // Blocks are made four at a time (their rounds run side by side in vector registers).
  static constexpr unsigned kBufferWords = 64;
  void refill();
  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, kBufferWords> block_{};
  unsigned pos_ = kBufferWords;
};

}  // namespace vorpex
