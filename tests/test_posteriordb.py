"""Posteriors against independent references: two Bayesian linear regressions from the public
posterior database (posteriordb), whose reference draws come from very long runs of another NUTS
implementation. Data, reference draws and reference means are copied into tests/data."""

import json
import math
import pathlib

import numpy as np
import pytest

import vorpex

DATA = pathlib.Path(__file__).parent / "data"


def load(name):
    return json.loads((DATA / name).read_text())


def blr_spec():
    # beta ~ normal(0, 10) (5 coefficients), sigma ~ half-normal(10), y ~ normal(X beta, sigma)
    b = vorpex.ModelBuilder()
    beta = b.vector_normal_prior("beta", 5, 0.0, 10.0)
    sigma = b.half_normal_prior("sigma", 10.0)
    b.normal_likelihood("y", beta @ "X", sigma, "y")
    return b.build()


def reference(posterior):
    """Mean, its MCSE and the sd of every parameter, under vorpex's names (beta[0] ... , sigma)."""
    means = load(f"{posterior}.mean_value.json")
    chains = load(f"{posterior}.json")
    out = {}
    for name, mean, mcse in zip(means["names"], means["mean_value"], means["mcse_mean"]):
        draws = np.concatenate([np.asarray(chain[name]) for chain in chains])
        ours = name if name == "sigma" else f"beta[{int(name[5:-1]) - 1}]"
        out[ours] = (mean, mcse, draws.std(ddof=1))
    return out


@pytest.mark.parametrize("posterior,data_file", [("sblrc-blr", "sblrc.json"), ("sblri-blr", "sblri.json")])
def test_linear_regression_matches_the_reference_posterior(posterior, data_file):
    raw = load(data_file)
    data = {"X": np.asarray(raw["X"], dtype=np.float64), "y": np.asarray(raw["y"], dtype=np.float64)}
    fit = vorpex.sample(blr_spec(), data=data, chains=4, draws=1000, warmup=500, seed=2024, show_progress=False)

    ref = reference(posterior)
    diags = {d["name"]: d for d in fit.diagnostics()}
    assert list(diags) == [f"beta[{i}]" for i in range(5)] + ["sigma"]
    for name, (ref_mean, ref_mcse, ref_sd) in ref.items():
        d = diags[name]
        assert abs(d["mean"] - ref_mean) < 4.0 * math.hypot(d["mcse_mean"], ref_mcse), (name, d, ref_mean)
        assert abs(d["std"] / ref_sd - 1.0) < 0.10, (name, d["std"], ref_sd)
        assert d["r_hat"] < 1.01, (name, d["r_hat"])

    # divergences() counts the warm-up too, where the step-size search from the origin may
    # overshoot; the recorded draws carry their own flags.
    diverging = fit.to_arviz().sample_stats["diverging"].values
    assert diverging.shape == (4, 1000) and not diverging.any()
