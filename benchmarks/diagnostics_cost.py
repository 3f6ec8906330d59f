"""Cost of the summary table against ArviZ's summary on the same draws.

Samples a model of 100 independent standard-normal parameters (a vector prior, no likelihood),
4 chains x 1000 draws, then times `FitResult.summary()` (every diagnostic recomputed from the
draws, plus the text) and `arviz.summary` on an InferenceData holding the same draws. Both run
on the calling thread, so each figure is that thread's CPU time (steady on a busy machine), the
median of several repetitions, in seconds. Run with the extension on the path:

    PYTHONPATH=build/<dir> python3 benchmarks/diagnostics_cost.py
"""

import statistics
import time

import vorpex

PARAMS = 100
CHAINS = 4
DRAWS = 1000
REPEATS = 7


def median_seconds(fn):
    times = []
    for _ in range(REPEATS):
        start = time.thread_time()
        fn()
        times.append(time.thread_time() - start)
    return statistics.median(times)


def main():
    import arviz

    builder = vorpex.ModelBuilder()
    builder.vector_normal_prior("theta", PARAMS)
    fit = vorpex.sample(builder.build(), chains=CHAINS, draws=DRAWS, warmup=500, seed=1,
                        show_progress=False)
    idata = arviz.from_dict(posterior=fit.get_samples_2d())

    fit.summary()
    arviz.summary(idata)  # first call pays for imports and compilation caches
    t_vorpex = median_seconds(fit.summary)
    t_arviz = median_seconds(lambda: arviz.summary(idata))
    print(f"summary_seconds params={PARAMS} draws={CHAINS}x{DRAWS} vorpex={t_vorpex:.4f} "
          f"arviz={t_arviz:.4f} ratio={t_arviz / t_vorpex:.1f}")


if __name__ == "__main__":
    main()
