"""FitResult.posterior_predictive: keys, shapes, values against the draws, seeds, subsamples."""

import numpy as np
import pytest

import vorpex

N_OBS = 20
CHAINS, DRAWS = 2, 150


@pytest.fixture(scope="module")
def fit():
    """Two likelihoods declared as "zeta" then "alpha" (so insertion order is not sorted order):
    zeta ~ Normal(a, 1) and alpha ~ Normal(b * x + a, s)."""
    rng = np.random.default_rng(1)
    x = rng.normal(size=N_OBS)
    data = {
        "x": x,
        "y": 1.0 + 2.0 * x + 0.5 * rng.normal(size=N_OBS),
        "y2": 1.0 + rng.normal(size=N_OBS),
    }
    b = vorpex.ModelBuilder(data)
    a = b.normal_prior("a", 0.0, 5.0)
    slope = b.normal_prior("b", 0.0, 5.0)
    s = b.half_normal_prior("s", 1.0)
    b.normal_likelihood("zeta", a, 1.0, "y2")
    b.normal_likelihood("alpha", slope * "x" + a, s, "y")
    f = vorpex.sample(b.build(), chains=CHAINS, draws=DRAWS, warmup=150, seed=5,
                      show_progress=False)
    return f, x


def test_keys_shapes_and_dtype(fit):
    f, _ = fit
    pp = f.posterior_predictive()
    assert list(pp) == ["zeta", "alpha"]
    for v in pp.values():
        assert isinstance(v, np.ndarray)
        assert v.dtype == np.float64
        assert v.shape == (CHAINS * DRAWS, N_OBS)
        assert v.flags.c_contiguous and v.flags.owndata


def test_rows_follow_the_draws_with_their_own_sigma(fit):
    """Row r belongs to draw r of get_samples() (chain-major): the standardised residuals
    (y_rep - b*x - a) / s are standard normal, and zeta's residuals y_rep - a have unit scale."""
    f, x = fit
    draws = f.get_samples()
    pp = f.posterior_predictive(seed=3)
    a, b, s = (draws[k][:, None] for k in ("a", "b", "s"))
    z = (pp["alpha"] - (b * x + a)) / s
    assert abs(z.mean()) < 0.1
    assert abs(z.std() - 1.0) < 0.05
    r = pp["zeta"] - a
    assert abs(r.mean()) < 0.1
    assert abs(r.std() - 1.0) < 0.05


def test_seeds_reproduce_and_differ(fit):
    f, _ = fit
    one, again, other = (f.posterior_predictive(seed=s) for s in (7, 7, 8))
    for k in one:
        np.testing.assert_array_equal(one[k], again[k])
        assert other[k].shape == one[k].shape
        assert not np.array_equal(other[k], one[k])
    sub1, sub2 = f.posterior_predictive(10, 7), f.posterior_predictive(n_samples=10, seed=7)
    np.testing.assert_array_equal(sub1["alpha"], sub2["alpha"])


@pytest.mark.parametrize("n", [CHAINS * DRAWS, CHAINS * DRAWS + 1, 10**12])
def test_a_count_at_or_past_the_draws_uses_all_of_them_in_order(fit, n):
    f, _ = fit
    full = f.posterior_predictive(seed=4)
    capped = f.posterior_predictive(n_samples=n, seed=4)
    for k in full:
        np.testing.assert_array_equal(capped[k], full[k])


def test_zero_samples_gives_empty_rows(fit):
    f, _ = fit
    pp = f.posterior_predictive(n_samples=0)
    assert list(pp) == ["zeta", "alpha"]
    assert all(v.shape == (0, N_OBS) for v in pp.values())


def test_subsample_is_spread_over_all_chains_in_chain_major_order(fit):
    """The noise of row r is the same whichever draw row r uses (the stream is consumed row by
    row), so zeta's rows reveal the value of a at each chosen draw."""
    f, _ = fit
    a = f.get_samples()["a"]
    full = f.posterior_predictive(seed=9)["zeta"]
    n = 40
    sub = f.posterior_predictive(n_samples=n, seed=9)["zeta"]
    assert sub.shape == (n, N_OBS)
    chosen_a = sub[:, 0] - full[:n, 0] + a[:n]
    used, prev = [], -1
    for value in chosen_a:
        candidates = [i for i in np.flatnonzero(np.isclose(a, value, rtol=0, atol=1e-9))
                      if i > prev]
        assert candidates, "a row matches no later draw"
        prev = candidates[0]
        used.append(prev)
    assert len(set(used)) == n
    assert {i // DRAWS for i in used} == set(range(CHAINS))
    assert used != list(range(n))


def test_result_arrays_are_new_objects(fit):
    f, _ = fit
    first = f.posterior_predictive(n_samples=5, seed=1)
    expected = first["alpha"].copy()
    first["alpha"][:] = 0.0
    np.testing.assert_array_equal(f.posterior_predictive(n_samples=5, seed=1)["alpha"], expected)


def test_model_without_likelihoods_gives_an_empty_dict():
    b = vorpex.ModelBuilder()
    b.normal_prior("a", 0.0, 1.0)
    f = vorpex.sample(b.build(), chains=1, draws=20, warmup=20, show_progress=False)
    assert f.posterior_predictive() == {}


@pytest.mark.parametrize(
    "kwargs,error,match",
    [
        ({"n_samples": -1}, OverflowError, None),
        ({"n_samples": 2.5}, TypeError, "^argument 'n_samples': "),
        ({"n_samples": "3"}, TypeError, "^argument 'n_samples': "),
        ({"seed": -1}, OverflowError, None),
        ({"seed": 2**64}, OverflowError, None),
        ({"seed": None}, TypeError, "^argument 'seed': "),
    ],
)
def test_bad_arguments(fit, kwargs, error, match):
    f, _ = fit
    with pytest.raises(error, match=match):
        f.posterior_predictive(**kwargs)
