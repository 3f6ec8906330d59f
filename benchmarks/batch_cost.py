"""Throughput of batch_sample() against a Python loop of single-chain sample() calls.

Each model is a normal mean with a half-normal scale and 20 observations of its own; every model
runs one NUTS chain of 300 warm-up iterations and 500 draws. The batch runs all models in one
call on the worker pool; the loop calls sample(chains=1) once per model with the batch's depth
limit (8) and the seed batch model k gets (seed + k), so both do the same sampling work.

Prints
    batch_throughput models=<n> seconds=<t> models_per_second=<r>
    loop_throughput models=<n> seconds=<t> models_per_second=<r> ratio=<loop/batch>
and, as comment lines, the process CPU time of each path (on a shared machine the wall times
depend on the other load; equal CPU time per model means the batch adds no work of its own) and
whether model 0's draws agree between the two paths.

Usage: PYTHONPATH=build/<tag> python3 benchmarks/batch_cost.py [--models N] [--loop-models M]
(--loop-models times the loop on the first M models only and scales its time to N).
"""

import argparse
import os
import resource
import sys
import time

import numpy as np

import vorpex

N_OBS = 20
WARMUP = 300
DRAWS = 500
SEED = 42
BATCH_DEPTH = 8  # the depth limit batch_sample() gives every chain


def make_models(n):
    b = vorpex.ModelBuilder()
    mu = b.normal_prior("mu", 0.0, 10.0)
    sigma = b.half_normal_prior("sigma", 5.0)
    b.normal_likelihood("y", mu, sigma, "y")
    spec = b.build()
    rng = np.random.default_rng(2024)
    means = rng.normal(0.0, 3.0, n)
    scales = rng.uniform(0.5, 2.0, n)
    return [(spec, {"y": rng.normal(m, s, N_OBS)}) for m, s in zip(means, scales)]


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def line(kind, n, seconds, extra=""):
    rate = n / seconds if seconds > 0 else float("inf")
    print(f"{kind} models={n} seconds={seconds:.3f} models_per_second={rate:.1f}{extra}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--models", type=int, default=10_000)
    parser.add_argument("--loop-models", type=int, default=None,
                        help="time the loop on this many models and scale to --models")
    args = parser.parse_args()
    n = args.models
    models = make_models(n)
    print(f"# cpus={os.cpu_count()} python={sys.version.split()[0]}", flush=True)

    # Warm the worker pool so its start-up is not charged to the batch.
    vorpex.batch_sample(models[:1], draws=10, warmup=10, show_progress=False)
    c0, t0 = cpu_seconds(), time.perf_counter()
    results = vorpex.batch_sample(models, draws=DRAWS, warmup=WARMUP, seed=SEED,
                                  show_progress=False)
    batch_seconds = time.perf_counter() - t0
    batch_cpu = cpu_seconds() - c0
    assert len(results) == n
    line("batch_throughput", n, batch_seconds)
    print(f"# batch cpu_seconds={batch_cpu:.3f} cpu_ms_per_model={1e3 * batch_cpu / n:.3f}",
          flush=True)

    sample = getattr(vorpex, "sample", None)
    if sample is None:
        print("loop_throughput skipped: vorpex.sample is not available", flush=True)
        return
    m = n if args.loop_models is None else max(1, min(args.loop_models, n))
    fits = []
    c0, t0 = cpu_seconds(), time.perf_counter()
    for k in range(m):
        spec, data = models[k]
        fits.append(sample(spec, data, chains=1, draws=DRAWS, warmup=WARMUP, seed=SEED + k,
                           max_tree_depth=BATCH_DEPTH, show_progress=False))
    loop_seconds = (time.perf_counter() - t0) * (n / m)
    loop_cpu = cpu_seconds() - c0
    scaled = "" if m == n else f" timed_models={m}"
    line("loop_throughput", n, loop_seconds, f" ratio={loop_seconds / batch_seconds:.2f}{scaled}")
    print(f"# loop cpu_ms_per_model={1e3 * loop_cpu / m:.3f}", flush=True)

    batch_mu = results[0].get_samples()["mu"]
    loop_mu = np.asarray(fits[0].get_samples()["mu"]).ravel()
    same = batch_mu.shape == loop_mu.shape and np.array_equal(batch_mu, loop_mu)
    print(f"# model 0 draws identical between batch and loop: {same}", flush=True)


if __name__ == "__main__":
    main()
