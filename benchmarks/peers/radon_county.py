"""Benchmark model `radon_county`: Minnesota radon with 85 partially pooled county intercepts
(centred parameterisation).

mu_a ~ normal(0, 10); sigma_a ~ half-normal(1); a[j] ~ normal(mu_a, sigma_a) for 85 counties;
beta ~ normal(0, 10); sigma_y ~ half-normal(1);
log_radon ~ normal(a[county] + beta * floor, sigma_y).

vorpex declares the county intercepts as 85 scalar priors whose hyperparameters are the
parameters mu_a and sigma_a, and the county term as 85 indicator columns, one per county. The
peers write the same density the idiomatic way, with a length-85 vector indexed by county.
"""

import numpy as np

import common

NAME = "radon_county"
VARS = ["mu_a", "sigma_a", "a", "beta", "sigma_y"]


def data(cfg):
    r = common.radon()
    d = {"floor": r["floor"], "log_radon": r["log_radon"], "county": r["county"], "J": r["J"]}
    # One indicator column per county, for vorpex's declaration.
    onehot = np.zeros((r["J"], r["floor"].size))
    onehot[r["county"], np.arange(r["floor"].size)] = 1.0
    d["indicators"] = {f"c{j}": np.ascontiguousarray(onehot[j]) for j in range(r["J"])}
    return d


def fit_vorpex(vx, d, cfg):
    J = d["J"]

    def spec(vx):
        b = vx.ModelBuilder()
        mu_a = b.normal_prior("mu_a", 0.0, 10.0)
        sigma_a = b.half_normal_prior("sigma_a", 1.0)
        a = [b.normal_prior(f"a[{j}]", mu_a, sigma_a) for j in range(J)]
        beta = b.normal_prior("beta", 0.0, 10.0)
        sigma_y = b.half_normal_prior("sigma_y", 1.0)
        mu = a[0] * "c0"
        for j in range(1, J):
            mu = mu + a[j] * f"c{j}"
        mu = mu + beta * "floor"
        b.normal_likelihood("log_radon", mu, sigma_y, "log_radon")
        return b.build()

    vdata = {"floor": d["floor"], "log_radon": d["log_radon"], **d["indicators"]}
    return common.run_vorpex(vx, spec, vdata, cfg,
                             method="vorpex.sample, 85 scalar priors + 85 indicator columns")


def pymc_model(d):
    def make(pm):
        with pm.Model() as m:
            mu_a = pm.Normal("mu_a", 0.0, 10.0)
            sigma_a = pm.HalfNormal("sigma_a", 1.0)
            a = pm.Normal("a", mu_a, sigma_a, shape=d["J"])
            beta = pm.Normal("beta", 0.0, 10.0)
            sigma_y = pm.HalfNormal("sigma_y", 1.0)
            pm.Normal("log_radon", mu=a[d["county"]] + beta * d["floor"], sigma=sigma_y,
                      observed=d["log_radon"])
        return m
    return make


def fit_nutpie(libs, d, cfg):
    return common.run_nutpie(libs, pymc_model(d), VARS, cfg)


def fit_pymc(libs, d, cfg):
    return common.run_pymc(libs, pymc_model(d), VARS, cfg)


def numpyro_model(numpyro, dist, county, floor, log_radon):
    mu_a = numpyro.sample("mu_a", dist.Normal(0.0, 10.0))
    sigma_a = numpyro.sample("sigma_a", dist.HalfNormal(1.0))
    a = numpyro.sample("a", dist.Normal(mu_a, sigma_a).expand([85]).to_event(1))
    beta = numpyro.sample("beta", dist.Normal(0.0, 10.0))
    sigma_y = numpyro.sample("sigma_y", dist.HalfNormal(1.0))
    numpyro.sample("log_radon", dist.Normal(a[county] + beta * floor, sigma_y), obs=log_radon)


def fit_numpyro(libs, d, cfg):
    assert d["J"] == 85
    return common.run_numpyro(libs, numpyro_model, (d["county"], d["floor"], d["log_radon"]),
                              VARS, cfg)


if __name__ == "__main__":
    common.main(__import__(__name__))
