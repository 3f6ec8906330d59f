"""Reference ESS and split R-hat from ArviZ for the draw sets of core/tests/test_diagnostics.cpp.

The draws come from a small self-contained generator (splitmix64 + Box-Muller) that the C++ test
reproduces bit for bit, so both sides see identical numbers. Run it with ArviZ installed
(`pip install arviz`) and paste the printed rows into the test's reference table:

    python3 benchmarks/diagnostics_reference.py
"""

import math

import numpy as np

MASK = (1 << 64) - 1
CHAINS = 4
DRAWS = 1000  # even, so ArviZ's split drops no draw

# (name, seed, AR(1) coefficient, shift of chain c's mean per chain index)
DRAW_SETS = [
    ("independent", 1, 0.0, 0.0),
    ("ar1_0.5", 2, 0.5, 0.0),
    ("ar1_0.9", 3, 0.9, 0.0),
    ("antithetic_-0.3", 4, -0.3, 0.0),
    ("shifted_means", 5, 0.0, 0.3),
    ("ar1_0.99", 6, 0.99, 0.0),
]


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK

    def next_u64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def uniform(self):
        # In (0, 1): the top 53 bits plus one half, scaled.
        return (float(self.next_u64() >> 11) + 0.5) * 2.0**-53

    def normal(self):
        u1 = self.uniform()
        u2 = self.uniform()
        return math.sqrt(-2.0 * math.log(u1)) * math.cos(2.0 * math.pi * u2)


def draw_set(seed, rho, shift):
    """CHAINS x DRAWS stationary AR(1) draws; chain c's mean is shifted by c * shift."""
    gen = SplitMix64(seed)
    out = np.empty((CHAINS, DRAWS))
    for c in range(CHAINS):
        x = gen.normal() / math.sqrt(1.0 - rho * rho)
        out[c, 0] = x + c * shift
        for d in range(1, DRAWS):
            x = rho * x + gen.normal()
            out[c, d] = x + c * shift
    return out


def main():
    import arviz as az

    print(f"// ArviZ {az.__version__}: name, seed, rho, shift, ess_bulk, ess_tail, r_hat (split)")
    for name, seed, rho, shift in DRAW_SETS:
        draws = draw_set(seed, rho, shift)
        bulk = float(az.ess(draws, method="bulk"))
        tail = float(az.ess(draws, method="tail"))
        rhat = float(az.rhat(draws, method="split"))
        print(f'{{"{name}", {seed}, {rho!r}, {shift!r}, {bulk!r}, {tail!r}, {rhat!r}}},')


if __name__ == "__main__":
    main()
