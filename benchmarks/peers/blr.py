"""Benchmark model `blr`: the posteriordb regression sblrc-blr (100 rows, 5 correlated
coefficients, no intercept).

beta (5) ~ normal(0, 10); sigma ~ half-normal(10); y ~ normal(X beta, sigma).
"""

import numpy as np

import common

NAME = "blr"
VARS = ["beta", "sigma"]


def data(cfg):
    d = common.load_json("sblrc.json")
    return {"X": np.ascontiguousarray(np.asarray(d["X"], dtype=np.float64)),
            "y": np.asarray(d["y"], dtype=np.float64)}


def reference():
    """posteriordb's reference posterior means and their MCSE, keyed by our parameter names."""
    ref = common.load_json("sblrc-blr.mean_value.json")
    out = {}
    for name, mean, mcse in zip(ref["names"], ref["mean_value"], ref["mcse_mean"]):
        if name.startswith("beta["):
            name = f"beta[{int(name[5:-1]) - 1}]"  # posteriordb counts from 1
        out[name] = {"mean": float(mean), "mcse_mean": float(mcse)}
    return out


def fit_vorpex(vx, d, cfg):
    def spec(vx):
        b = vx.ModelBuilder()
        beta = b.vector_normal_prior("beta", 5, 0.0, 10.0)
        sigma = b.half_normal_prior("sigma", 10.0)
        b.normal_likelihood("y", beta @ "X", sigma, "y")
        return b.build()
    return common.run_vorpex(vx, spec, d, cfg)


def pymc_model(d):
    def make(pm):
        with pm.Model() as m:
            beta = pm.Normal("beta", 0.0, 10.0, shape=5)
            sigma = pm.HalfNormal("sigma", 10.0)
            pm.Normal("y", mu=pm.math.dot(d["X"], beta), sigma=sigma, observed=d["y"])
        return m
    return make


def fit_nutpie(libs, d, cfg):
    return common.run_nutpie(libs, pymc_model(d), VARS, cfg)


def fit_pymc(libs, d, cfg):
    return common.run_pymc(libs, pymc_model(d), VARS, cfg)


def numpyro_model(numpyro, dist, X, y):
    beta = numpyro.sample("beta", dist.Normal(0.0, 10.0).expand([5]).to_event(1))
    sigma = numpyro.sample("sigma", dist.HalfNormal(10.0))
    numpyro.sample("y", dist.Normal(X @ beta, sigma), obs=y)


def fit_numpyro(libs, d, cfg):
    return common.run_numpyro(libs, numpyro_model, (d["X"], d["y"]), VARS, cfg)


if __name__ == "__main__":
    common.main(__import__(__name__))
