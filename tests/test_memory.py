"""Repeated calls keep the process's resident memory flat: every call's native buffers, results,
graphs and copies of the data are freed with the objects that own them, on success and on every
kind of error."""

import gc
import os

import numpy as np
import pytest

import vorpex

PAGE = os.sysconf("SC_PAGE_SIZE")
# Each call below copies its data (about 30 kB) several times: bound data, the effective data,
# the compiled graph, the fit's graph. Leaking any one copy per call grows the process by 9 MB
# over the repetitions; without a leak the growth measures well under 1 MB.
REPEATS = 300
BOUND_MB = 4

RNG = np.random.default_rng(3)
N, K = 500, 6
DATA = {"x": RNG.normal(size=N), "X": RNG.normal(size=(N, K)), "y": RNG.normal(size=N)}
TINY = dict(chains=2, draws=20, warmup=20, show_progress=False)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def spec(data=None):
    b = vorpex.ModelBuilder(data)
    a = b.normal_prior("alpha", 0.0, 1.0)
    beta = b.normal_prior("beta", 0.0, 1.0)
    w = b.vector_normal_prior("w", K)
    s = b.half_normal_prior("sigma", 1.0)
    b.normal_likelihood("obs", a + beta * "x" + w @ "X", s, "y")
    return b.build()


SPEC = spec()


def fit_and_read():
    fit = vorpex.sample(SPEC, DATA, **TINY)
    fit.get_samples(), fit.get_samples_2d(), fit.mean(), fit.std(), fit.summary()
    fit.diagnostics(), repr(fit), fit.posterior_predictive(5)


def batch_and_read():
    for r in vorpex.batch_sample([(SPEC, DATA)] * 2, draws=20, warmup=20, show_progress=False):
        r.get_samples(), r.mean(), r.std(), repr(r)


def prior_predictive():
    vorpex.sample_prior_predictive(spec(DATA), n_samples=20)


def raises(call, kind):
    def run():
        with pytest.raises(kind):
            call()
    return run


BAD_DATA = dict(DATA, y=DATA["y"].astype(np.float32))  # refused after x and X were copied
NON_FINITE = dict(DATA, X=np.where(np.arange(N * K).reshape(N, K) == N * K - 1, np.nan, DATA["X"]))

CASES = {
    "sample and FitResult methods": fit_and_read,
    "batch_sample and BatchResult methods": batch_and_read,
    "declarations, bound data and prior predictive": prior_predictive,
    "data refused while reading": raises(lambda: vorpex.sample(SPEC, BAD_DATA, **TINY), TypeError),
    "data refused by compilation": raises(lambda: vorpex.batch_sample([(SPEC, NON_FINITE)]), ValueError),
    "sampler name refused after compiling": raises(
        lambda: vorpex.sample(SPEC, DATA, sampler="x", **TINY), ValueError),
}


@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_repeated_calls_keep_memory_flat(call):
    for _ in range(REPEATS // 5):  # warm up: allocator pools, the worker pool, lazy imports
        call()
    gc.collect()
    before = rss()
    for _ in range(REPEATS):
        call()
    gc.collect()
    grown = (rss() - before) / 2**20
    assert grown < BOUND_MB, f"resident memory grew by {grown:.1f} MB over {REPEATS} calls"
