"""FitResult: draws flat and per chain, moments, chain statistics, diagnostics and their table,
repr(), method registration, and agreement of the diagnostics with ArviZ."""

import inspect
import math

import numpy as np
import pytest

import vorpex


def model():
    rng = np.random.default_rng(3)
    X = rng.normal(size=(30, 3))
    y = X @ np.array([1.0, -0.5, 0.25]) + 2.0 + rng.normal(size=30) * 0.3
    b = vorpex.ModelBuilder(data={"X": X, "y": y})
    mu = b.normal_prior("mu", 0.0, 5.0)
    w = b.vector_normal_prior("w", 3)
    s = b.half_normal_prior("s", 1.0)
    b.normal_likelihood("obs", mu + w @ "X", s, "y")
    return b.build()


NAMES = ["mu", "w[0]", "w[1]", "w[2]", "s"]


@pytest.fixture(scope="module")
def fit():
    return vorpex.sample(model(), chains=2, draws=100, warmup=100, seed=11, show_progress=False)


@pytest.fixture(scope="module")
def long_fit():
    return vorpex.sample(model(), chains=4, draws=300, warmup=200, seed=5, show_progress=False)


SIGNATURES = {
    "get_samples": "($self)",
    "get_samples_2d": "($self)",
    "mean": "($self)",
    "std": "($self)",
    "accept_rates": "($self)",
    "summary": "($self)",
    "diagnostics": "($self)",
    "step_sizes": "($self)",
    "divergences": "($self)",
    "posterior_predictive": "($self, n_samples=None, seed=42)",
    "to_arviz": "($self, include_ppc=False, ppc_samples=None, ppc_seed=42)",
}

DOC_BODIES = {
    "summary": "Print a formatted diagnostics table (R-hat, ESS, MCSE, HDI, divergences).",
    "diagnostics": "Return per-parameter diagnostics as a list of dicts.",
    "step_sizes": "Per-chain adapted step sizes.",
    "divergences": "Per-chain divergence counts.",
}


def test_methods_signatures_and_docstrings(fit):
    assert [k for k in vorpex.FitResult.__dict__ if k in SIGNATURES] == list(SIGNATURES)
    for name, text in SIGNATURES.items():
        method = getattr(vorpex.FitResult, name)
        assert method.__text_signature__ == text
        assert str(inspect.signature(getattr(fit, name))) == "(" + text[len("($self") :].lstrip(", ")
        if name not in ("posterior_predictive", "to_arviz"):
            assert method.__doc__ == DOC_BODIES.get(name)  # None: an empty body
    assert vorpex.FitResult.posterior_predictive.__doc__.startswith("Draw samples from the posterior predictive")
    assert vorpex.FitResult.to_arviz.__doc__.startswith("Convert to an ArviZ InferenceData object.")
    assert vorpex.FitResult.__doc__ in ("", None)


def test_draw_shapes_key_order_and_layout(fit):
    flat, by_chain = fit.get_samples(), fit.get_samples_2d()
    for d in (flat, by_chain, fit.mean(), fit.std()):
        assert list(d) == NAMES
    for name in NAMES:
        assert flat[name].shape == (200,) and flat[name].dtype == np.float64
        assert by_chain[name].shape == (2, 100) and by_chain[name].flags.c_contiguous
        assert np.array_equal(by_chain[name][0], flat[name][:100])
        assert np.array_equal(by_chain[name][1], flat[name][100:])
    assert (flat["s"] > 0).all()
    # The chains moved and are not copies of each other.
    assert not np.array_equal(by_chain["mu"][0], by_chain["mu"][1])


def test_results_are_fresh_copies(fit):
    a = fit.get_samples()
    b2 = fit.get_samples_2d()
    assert a["mu"].flags.owndata and a["mu"].flags.writeable
    keep = a["mu"].copy()
    a["mu"][:] = 0.0
    b2["mu"][:] = 0.0
    fit.step_sizes()[0] = -1.0
    assert np.array_equal(fit.get_samples()["mu"], keep)
    assert np.array_equal(fit.get_samples_2d()["mu"].ravel(), keep)
    assert fit.step_sizes()[0] > 0
    assert fit.get_samples() is not fit.get_samples()


def test_moments_are_pooled_population_moments(fit):
    flat = fit.get_samples()
    mean, std = fit.mean(), fit.std()
    for name in NAMES:
        assert mean[name] == pytest.approx(flat[name].mean(), rel=1e-12)
        assert std[name] == pytest.approx(flat[name].std(ddof=0), rel=1e-12)
        assert type(mean[name]) is float


def test_chain_statistics(fit):
    rates, steps, divs = fit.accept_rates(), fit.step_sizes(), fit.divergences()
    assert len(rates) == len(steps) == len(divs) == 2
    assert all(type(v) is float and 0.0 <= v <= 1.0 for v in rates)
    assert all(type(v) is float and v > 0.0 for v in steps)
    assert all(type(v) is int and v >= 0 for v in divs)


def fixed(v, p):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return f"{v:.{p}f}"


def render_table(fit):
    """The summary table, written out from diagnostics() and the chain statistics."""
    diags = fit.diagnostics()
    rates = fit.accept_rates()
    total = sum(fit.divergences())
    chains, draws = fit.get_samples_2d()["mu"].shape
    rule = "\u2500" * 96
    lines = [f"{chains} chains \u00d7 {draws} draws per chain", "",
             f"{'Parameter':<12} {'mean':>8} {'std':>8} {'hdi_3%':>10} {'hdi_97%':>10} {'ess_bulk':>10} "
             f"{'ess_tail':>10} {'r_hat':>8} {'mcse_mean':>10}", rule]
    for d in diags:
        ess = [f"{d[k]:.0f}" if math.isfinite(d[k]) else "NaN" for k in ("ess_bulk", "ess_tail")]
        lines.append(f"{d['name']:<12} {fixed(d['mean'], 4):>8} {fixed(d['std'], 4):>8} {fixed(d['hdi_3%'], 4):>10} "
                     f"{fixed(d['hdi_97%'], 4):>10} {ess[0]:>10} {ess[1]:>10} {fixed(d['r_hat'], 4):>8} "
                     f"{fixed(d['mcse_mean'], 6):>10}")
    lines += [rule, f"Mean accept rate: {fixed(sum(rates) / len(rates), 2)}  \u2502  Divergences: {total}"]
    if any(not math.isfinite(d["r_hat"]) or d["r_hat"] > 1.05 for d in diags):
        lines.append("\u26a0  Some R-hat values > 1.05 \u2014 chains may not have converged.")
    if any(d["ess_bulk"] < 400 or d["ess_tail"] < 400 for d in diags):
        lines.append("\u26a0  Some ESS values < 400 \u2014 consider increasing draws or tuning.")
    if total:
        lines.append(f"\u26a0  {total} divergent transitions \u2014 results may be unreliable.")
    return "\n".join(lines)


def test_summary_is_the_table_of_the_diagnostics(fit, long_fit):
    for f in (fit, long_fit):
        text = f.summary()
        assert isinstance(text, str)
        assert text == f.summary()
        assert text == render_table(f)
    assert "Some ESS values < 400" in fit.summary()


def test_diagnostics_records(fit):
    diags = fit.diagnostics()
    assert [d["name"] for d in diags] == NAMES
    flat = fit.get_samples()
    for d in diags:
        assert list(d) == ["name", "mean", "std", "hdi_3%", "hdi_97%", "ess_bulk", "ess_tail", "r_hat", "mcse_mean"]
        x = flat[d["name"]]
        assert d["mean"] == pytest.approx(x.mean(), rel=1e-12)
        assert d["std"] == pytest.approx(x.std(ddof=1), rel=1e-12)
        assert d["hdi_3%"] == pytest.approx(np.quantile(x, 0.03), rel=1e-12)
        assert d["hdi_97%"] == pytest.approx(np.quantile(x, 0.97), rel=1e-12)
        assert d["mcse_mean"] == pytest.approx(d["std"] / math.sqrt(d["ess_bulk"]), rel=1e-12)
    assert fit.diagnostics() == diags and fit.diagnostics() is not diags


def test_repr(fit):
    mean, std = fit.mean(), fit.std()
    expected = "vorpex FitResult (2 chains \u00d7 100 draws)\n" + "\n".join(
        f"  {n}: mean={mean[n]:.4f}, std={std[n]:.4f}" for n in NAMES)
    assert repr(fit) == expected


def test_repr_of_a_fit_without_parameters_and_without_chains():
    empty = vorpex.sample(vorpex.ModelBuilder().build(), chains=2, draws=3, show_progress=False)
    assert repr(empty) == "vorpex FitResult (2 chains \u00d7 3 draws)\n"
    assert empty.get_samples() == {} and empty.get_samples_2d() == {} and empty.diagnostics() == []

    none = vorpex.sample(model(), chains=0, show_progress=False)
    assert repr(none) == "vorpex FitResult (0 chains \u00d7 0 draws)\n" + "\n".join(
        f"  {n}: mean=NaN, std=NaN" for n in NAMES)
    assert all(a.shape == (0,) for a in none.get_samples().values())
    assert all(a.shape == (0, 0) for a in none.get_samples_2d().values())
    assert none.accept_rates() == none.step_sizes() == none.divergences() == []
    # Without chains every statistic that needs draws is NaN and the table says so.
    diags = none.diagnostics()
    assert [d["name"] for d in diags] == NAMES
    assert all(math.isnan(d[k]) for d in diags for k in ("mean", "hdi_3%", "hdi_97%", "ess_bulk", "r_hat"))
    assert none.summary().startswith("0 chains \u00d7 0 draws per chain\n")


def test_diagnostics_agree_with_arviz(long_fit):
    az = pytest.importorskip("arviz")
    by_chain = long_fit.get_samples_2d()
    for d in long_fit.diagnostics():
        x = by_chain[d["name"]]
        assert d["ess_bulk"] == pytest.approx(float(az.ess(x, method="bulk")), rel=0.01), d["name"]
        assert d["ess_tail"] == pytest.approx(float(az.ess(x, method="tail")), rel=0.01), d["name"]
        assert abs(d["r_hat"] - float(az.rhat(x, method="split"))) < 1e-9, d["name"]
