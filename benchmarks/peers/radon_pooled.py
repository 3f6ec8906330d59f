"""Benchmark model `radon_pooled`: Minnesota radon (919 houses), one intercept and a floor slope.

alpha, beta ~ normal(0, 10); sigma_y ~ half-normal(1);
log_radon ~ normal(alpha + beta * floor, sigma_y).
"""

import numpy as np

import common

NAME = "radon_pooled"
VARS = ["alpha", "beta", "sigma_y"]


def data(cfg):
    r = common.radon()
    return {"floor": r["floor"], "log_radon": r["log_radon"]}


def fit_vorpex(vx, d, cfg):
    def spec(vx):
        b = vx.ModelBuilder()
        alpha = b.normal_prior("alpha", 0.0, 10.0)
        beta = b.normal_prior("beta", 0.0, 10.0)
        sigma_y = b.half_normal_prior("sigma_y", 1.0)
        b.normal_likelihood("log_radon", alpha + beta * "floor", sigma_y, "log_radon")
        return b.build()
    return common.run_vorpex(vx, spec, d, cfg)


def pymc_model(d):
    def make(pm):
        with pm.Model() as m:
            alpha = pm.Normal("alpha", 0.0, 10.0)
            beta = pm.Normal("beta", 0.0, 10.0)
            sigma_y = pm.HalfNormal("sigma_y", 1.0)
            pm.Normal("log_radon", mu=alpha + beta * d["floor"], sigma=sigma_y,
                      observed=d["log_radon"])
        return m
    return make


def fit_nutpie(libs, d, cfg):
    return common.run_nutpie(libs, pymc_model(d), VARS, cfg)


def fit_pymc(libs, d, cfg):
    return common.run_pymc(libs, pymc_model(d), VARS, cfg)


def numpyro_model(numpyro, dist, floor, log_radon):
    alpha = numpyro.sample("alpha", dist.Normal(0.0, 10.0))
    beta = numpyro.sample("beta", dist.Normal(0.0, 10.0))
    sigma_y = numpyro.sample("sigma_y", dist.HalfNormal(1.0))
    numpyro.sample("log_radon", dist.Normal(alpha + beta * floor, sigma_y), obs=log_radon)


def fit_numpyro(libs, d, cfg):
    return common.run_numpyro(libs, numpyro_model, (d["floor"], d["log_radon"]), VARS, cfg)


if __name__ == "__main__":
    common.main(__import__(__name__))
