"""Benchmark model `regression_large`: linear regression through a design matrix, N = 100000
rows, K = 20 columns, data simulated with a fixed seed.

beta (20) ~ normal(0, 10); sigma ~ half-normal(5); y ~ normal(X beta, sigma).
"""

import numpy as np

import common

NAME = "regression_large"
VARS = ["beta", "sigma"]
N, K = 100_000, 20
DATA_SEED = 20240607


def adjust_settings(cfg):
    # Each gradient streams the 16 MB design matrix twice; the quick mode keeps this model
    # within its share of the time budget with fewer iterations.
    if cfg["mode"] == "quick":
        cfg["warmup"], cfg["draws"] = 150, 150


def data(cfg):
    rng = np.random.default_rng(DATA_SEED)
    X = rng.normal(size=(N, K))
    beta = rng.normal(0.0, 1.0, size=K)
    y = X @ beta + 1.5 * rng.normal(size=N)
    return {"X": np.ascontiguousarray(X), "y": y}


def fit_vorpex(vx, d, cfg):
    def spec(vx):
        b = vx.ModelBuilder()
        beta = b.vector_normal_prior("beta", K, 0.0, 10.0)
        sigma = b.half_normal_prior("sigma", 5.0)
        b.normal_likelihood("y", beta @ "X", sigma, "y")
        return b.build()
    return common.run_vorpex(vx, spec, d, cfg)


def pymc_model(d):
    def make(pm):
        with pm.Model() as m:
            # The arrays enter as data containers, not as constants: compiling a 16 MB constant
            # into the generated code takes the compilers minutes.
            X = pm.Data("X", d["X"])
            y = pm.Data("y_obs", d["y"])
            beta = pm.Normal("beta", 0.0, 10.0, shape=K)
            sigma = pm.HalfNormal("sigma", 5.0)
            pm.Normal("y", mu=pm.math.dot(X, beta), sigma=sigma, observed=y)
        return m
    return make


def fit_nutpie(libs, d, cfg):
    return common.run_nutpie(libs, pymc_model(d), VARS, cfg)


def fit_pymc(libs, d, cfg):
    return common.run_pymc(libs, pymc_model(d), VARS, cfg)


def numpyro_model(numpyro, dist, X, y):
    beta = numpyro.sample("beta", dist.Normal(0.0, 10.0).expand([K]).to_event(1))
    sigma = numpyro.sample("sigma", dist.HalfNormal(5.0))
    numpyro.sample("y", dist.Normal(X @ beta, sigma), obs=y)


def fit_numpyro(libs, d, cfg):
    return common.run_numpyro(libs, numpyro_model, (d["X"], d["y"]), VARS, cfg)


if __name__ == "__main__":
    common.main(__import__(__name__))
