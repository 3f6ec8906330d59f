"""FitResult.to_arviz: groups, dtypes, real per-draw sampler statistics, the posterior predictive
group, both ArviZ call forms (the installed one and a stand-in for the other) and the errors."""

import sys
import types

import numpy as np
import pytest

import vorpex

N_OBS = 20
CHAINS, DRAWS = 2, 100
STATS = ["diverging", "step_size", "tree_depth", "n_steps", "acceptance_rate", "energy", "lp"]
DTYPES = {"diverging": np.bool_, "step_size": np.float64, "tree_depth": np.int64,
          "n_steps": np.int64, "acceptance_rate": np.float64, "energy": np.float64,
          "lp": np.float64}


def regression(sampler="nuts"):
    rng = np.random.default_rng(2)
    x = rng.normal(size=N_OBS)
    b = vorpex.ModelBuilder({"x": x, "y": 1.0 + 2.0 * x + 0.5 * rng.normal(size=N_OBS)})
    a = b.normal_prior("a", 0.0, 5.0)
    slope = b.normal_prior("b", 0.0, 5.0)
    s = b.half_normal_prior("s", 1.0)
    b.normal_likelihood("y", slope * "x" + a, s, "y")
    return vorpex.sample(b.build(), chains=CHAINS, draws=DRAWS, warmup=100, seed=1,
                         sampler=sampler, show_progress=False)


@pytest.fixture(scope="module")
def fit():
    return regression()


class FakeArviz(types.ModuleType):
    """Stands in for ArviZ: records how from_dict was called and returns a marker."""

    def __init__(self, version):
        super().__init__("arviz")
        self.__version__ = version
        self.calls = []

    def from_dict(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "inference-data"


@pytest.fixture
def fake_arviz(monkeypatch):
    def install(version):
        fake = FakeArviz(version)
        monkeypatch.setitem(sys.modules, "arviz", fake)
        return fake
    return install


def groups_passed(fake):
    """The groups of the single from_dict call, whichever form it took."""
    assert len(fake.calls) == 1
    args, kwargs = fake.calls[0]
    return args[0] if args else kwargs


@pytest.mark.parametrize("version,positional", [("0.22.0", False), ("1.0.0", True),
                                                ("1.2.0rc1", True), ("2.0", True)])
def test_call_form_follows_the_arviz_generation(fit, fake_arviz, version, positional):
    fake = fake_arviz(version)
    assert fit.to_arviz(include_ppc=True, ppc_samples=50) == "inference-data"
    args, kwargs = fake.calls[0]
    if positional:
        assert kwargs == {} and len(args) == 1
        groups = args[0]
    else:
        assert args == ()
        groups = kwargs
    assert list(groups) == ["posterior", "sample_stats", "posterior_predictive"]
    assert list(groups["posterior"]) == ["a", "b", "s"]
    assert list(groups["sample_stats"]) == STATS
    assert groups["posterior_predictive"]["y"].shape == (1, 50, N_OBS)


def test_arrays_handed_over(fit, fake_arviz):
    fake = fake_arviz("0.23.0")
    fit.to_arviz()
    groups = groups_passed(fake)
    assert "posterior_predictive" not in groups
    two_d = fit.get_samples_2d()
    for name, values in groups["posterior"].items():
        assert values.dtype == np.float64
        np.testing.assert_array_equal(values, two_d[name])
    stats = groups["sample_stats"]
    for key, dtype in DTYPES.items():
        assert isinstance(stats[key], np.ndarray)
        assert stats[key].dtype == dtype and stats[key].shape == (CHAINS, DRAWS), key
    np.testing.assert_array_equal(stats["step_size"],
                                  np.repeat(np.array(fit.step_sizes())[:, None], DRAWS, axis=1))
    # NUTS: each draw's leapfrog count fits its tree depth; acceptance statistics are in [0, 1].
    assert (stats["tree_depth"] >= 1).all()
    assert (stats["n_steps"] <= 2 ** stats["tree_depth"] - 1).all()
    assert ((stats["acceptance_rate"] >= 0) & (stats["acceptance_rate"] <= 1)).all()
    assert np.isfinite(stats["energy"]).all() and np.isfinite(stats["lp"]).all()
    # The Hamiltonian is the negative log density plus a non-negative kinetic energy.
    assert (stats["energy"] >= -stats["lp"] - 1e-9).all()


def test_posterior_predictive_group_equals_the_method(fit, fake_arviz):
    fake = fake_arviz("1.0.0")
    fit.to_arviz(True, 30, 8)
    got = groups_passed(fake)["posterior_predictive"]["y"]
    np.testing.assert_array_equal(got[0], fit.posterior_predictive(30, 8)["y"])


def test_static_hmc_exports_no_tree_depth(fake_arviz):
    hmc = regression("hmc")
    fake = fake_arviz("0.23.0")
    hmc.to_arviz()
    stats = groups_passed(fake)["sample_stats"]
    assert list(stats) == [k for k in STATS if k != "tree_depth"]
    assert (stats["n_steps"] <= 15).all() and (stats["n_steps"] >= 1).all()


@pytest.mark.parametrize("sampler,keys", [("nuts", STATS),
                                          ("hmc", [k for k in STATS if k != "tree_depth"])])
@pytest.mark.parametrize("chains,draws,shape", [(2, 0, (2, 0)), (0, 5, (0, 0))])
def test_tree_depth_follows_the_sampler_even_without_draws(fake_arviz, sampler, keys, chains, draws,
                                                           shape):
    b = vorpex.ModelBuilder()
    b.normal_prior("a", 0.0, 1.0)
    f = vorpex.sample(b.build(), chains=chains, draws=draws, warmup=5, sampler=sampler,
                      show_progress=False)
    fake = fake_arviz("0.23.0")
    f.to_arviz()
    stats = groups_passed(fake)["sample_stats"]
    assert list(stats) == keys
    for key in keys:
        assert stats[key].shape == shape and stats[key].dtype == DTYPES[key], key


def test_docstring_names_every_exported_statistic():
    doc = vorpex.FitResult.to_arviz.__doc__
    for key in STATS:
        assert f"`{key}`" in doc, key


def test_model_without_likelihoods_has_no_predictive_group(fake_arviz):
    b = vorpex.ModelBuilder()
    b.normal_prior("a", 0.0, 1.0)
    f = vorpex.sample(b.build(), chains=1, draws=10, warmup=10, show_progress=False)
    fake = fake_arviz("0.23.0")
    f.to_arviz(include_ppc=True)
    assert list(groups_passed(fake)) == ["posterior", "sample_stats"]


def test_missing_arviz_is_a_value_error(fit, monkeypatch):
    monkeypatch.setitem(sys.modules, "arviz", None)  # makes `import arviz` fail
    with pytest.raises(ValueError, match=r"^ArviZ is not installed\. Install it with: pip install "
                                         r"arviz$"):
        fit.to_arviz(include_ppc=True)


def test_errors_from_arviz_pass_through(fit, fake_arviz):
    fake = fake_arviz("0.23.0")

    def broken(**kwargs):
        raise RuntimeError("from_dict failed")

    fake.from_dict = broken
    with pytest.raises(RuntimeError, match="from_dict failed"):
        fit.to_arviz()


@pytest.mark.parametrize(
    "kwargs,error,match",
    [
        ({"include_ppc": 1}, TypeError, "^argument 'include_ppc': "),
        ({"include_ppc": None}, TypeError, "^argument 'include_ppc': "),
        ({"ppc_samples": -2}, OverflowError, None),
        ({"ppc_samples": "10"}, TypeError, "^argument 'ppc_samples': "),
        ({"ppc_seed": -1}, OverflowError, None),
        ({"ppc_seed": 1.0}, TypeError, "^argument 'ppc_seed': "),
    ],
)
def test_bad_arguments_fail_before_arviz_is_called(fit, fake_arviz, kwargs, error, match):
    fake = fake_arviz("0.23.0")
    with pytest.raises(error, match=match):
        fit.to_arviz(**kwargs)
    assert fake.calls == []


# ---- with the installed ArviZ ----

EIGHT_Y = [28.0, 8.0, -3.0, 7.0, -1.0, 1.0, 18.0, 12.0]
EIGHT_SD = [15.0, 10.0, 16.0, 11.0, 9.0, 11.0, 10.0, 18.0]


@pytest.fixture(scope="module")
def funnel():
    """Centred eight-schools model: its funnel between tau and the thetas makes NUTS diverge,
    more so after a short warm-up."""
    b = vorpex.ModelBuilder()
    mu = b.normal_prior("mu", 0.0, 5.0)
    tau = b.half_normal_prior("tau", 5.0)
    data = {}
    for j, (y, sd) in enumerate(zip(EIGHT_Y, EIGHT_SD)):
        theta = b.normal_prior(f"theta{j}", mu, tau)
        b.normal_likelihood(f"y{j}", theta, sd, f"y{j}")
        data[f"y{j}"] = np.array([y])
    return vorpex.sample(b.build(), data=data, chains=2, draws=200, warmup=20, seed=3,
                         show_progress=False)


def test_installed_arviz_builds_inference_data(fit):
    az = pytest.importorskip("arviz")
    idata = fit.to_arviz(include_ppc=True, ppc_samples=50)
    groups = set(idata.groups()) if callable(getattr(idata, "groups", None)) else set(idata.children)
    assert {"posterior", "sample_stats", "posterior_predictive"} <= groups
    assert idata.posterior["a"].shape == (CHAINS, DRAWS)
    assert idata.posterior_predictive["y"].shape == (1, 50, N_OBS)
    for key, dtype in DTYPES.items():
        assert idata.sample_stats[key].dtype == dtype, key
    assert np.isfinite(az.bfmi(idata)).all()


def test_real_divergences_land_on_their_draws(funnel):
    """A divergent transition leaves the chain where it was, so every draw flagged divergent (after
    the first) repeats the previous draw exactly; the flags are not bunched at the end of a chain
    and no chain has more than it counted (its count includes warm-up)."""
    pytest.importorskip("arviz")
    idata = funnel.to_arviz()
    flags = idata.sample_stats["diverging"].values
    assert flags.dtype == np.bool_
    assert 0 < flags.sum()
    assert (flags.sum(axis=1) <= np.array(funnel.divergences())).all()
    draws = np.stack([idata.posterior[name].values for name in funnel.get_samples()], axis=-1)
    chains, positions = np.nonzero(flags)
    for c, d in zip(chains, positions):
        if d > 0:
            np.testing.assert_array_equal(draws[c, d], draws[c, d - 1])
    def last_k(row):
        k = int(row.sum())
        return np.array_equal(row, np.arange(row.size) >= row.size - k)

    assert not all(last_k(row) for row in flags)
