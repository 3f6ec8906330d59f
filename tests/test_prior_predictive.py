"""sample_prior_predictive(): keys and shapes, the random stream, distributions, errors."""

import numpy as np
import pytest
from scipy import stats

import vorpex

X = np.array([[1.0, 0.5], [-1.0, 0.2], [0.3, 2.0], [0.0, -1.5]])
Y = np.array([0.5, -1.0, 2.0, 0.25])


def spec_of(declare, data=None):
    b = vorpex.ModelBuilder(data)
    declare(b)
    return b.build()


def draws(spec, **kw):
    kw.setdefault("n_samples", 4000)
    return vorpex.sample_prior_predictive(spec, **kw)


def test_signature_and_docstring():
    f = vorpex.sample_prior_predictive
    assert f.__text_signature__ == "(model_spec, data=None, n_samples=500, seed=42)"
    assert f.__doc__.startswith("Draw samples from the **prior predictive** distribution.\n")
    assert f.__doc__.rstrip().endswith("2-D array (n_samples, n_obs) of predicted y.")


def linear_model(b):
    a = b.normal_prior("a", 0.0, 1.0)
    w = b.vector_normal_prior("w", 2)
    s = b.half_normal_prior("s", 1.0)
    b.normal_likelihood("obs", w @ "X" + a, s, "y")
    b.normal_likelihood("obs2", a, 0.5, "y")


def test_keys_shapes_and_dtypes():
    out = vorpex.sample_prior_predictive(spec_of(linear_model), {"X": X, "y": Y}, n_samples=7)
    assert list(out) == ["a", "w[0]", "w[1]", "s", "obs", "obs2"]
    for key in ["a", "w[0]", "w[1]", "s"]:
        assert out[key].dtype == np.float64 and out[key].shape == (7,)
    assert out["obs"].shape == (7, 4) and out["obs"].dtype == np.float64
    assert out["obs"].flags.c_contiguous and out["obs"].flags.owndata
    assert (out["s"] > 0).all()
    # the first likelihood's means are X @ w + a
    mean = out["w[0]"][:, None] * X[:, 0] + out["w[1]"][:, None] * X[:, 1] + out["a"][:, None]
    resid = (out["obs"] - mean) / out["s"][:, None]
    assert np.abs(resid).max() < 6


def test_zero_samples_and_no_likelihoods():
    out = vorpex.sample_prior_predictive(spec_of(linear_model), {"X": X, "y": Y}, n_samples=0)
    assert out["a"].shape == (0,) and out["w[1]"].shape == (0,)
    assert out["obs"].shape == (0, 4)
    bare = vorpex.sample_prior_predictive(
        spec_of(lambda b: b.vector_normal_prior("w", 3)), n_samples=3)
    assert list(bare) == ["w[0]", "w[1]", "w[2]"]


def test_same_seed_same_dict_other_seed_other_draws():
    spec = spec_of(linear_model)
    data = {"X": X, "y": Y}
    a = vorpex.sample_prior_predictive(spec, data, 50, 3)
    b = vorpex.sample_prior_predictive(spec, data, n_samples=50, seed=3)
    c = vorpex.sample_prior_predictive(spec, data, n_samples=50, seed=4)
    for key in a:
        np.testing.assert_array_equal(a[key], b[key])
        assert not np.array_equal(a[key], c[key])


def test_stream_is_consumed_prior_by_prior_then_noise():
    # One generator for the call: a second prior takes every other variate of the first's
    # stream, and a likelihood's noise follows the priors of its draw.
    one = draws(spec_of(lambda b: b.normal_prior("a", 0.0, 1.0)), n_samples=30, seed=9)["a"]
    two = draws(spec_of(lambda b: (b.normal_prior("a", 0.0, 1.0), b.normal_prior("b", 0.0, 1.0))),
                n_samples=15, seed=9)
    np.testing.assert_array_equal(two["a"], one[0::2])
    np.testing.assert_array_equal(two["b"], one[1::2])

    def with_noise(b):
        a = b.normal_prior("a", 0.0, 1.0)
        b.normal_likelihood("obs", a, 1.0, "y")

    noisy = draws(spec_of(with_noise), data={"y": Y[:2]}, n_samples=10, seed=9)
    np.testing.assert_array_equal(noisy["a"], one[0::3])
    np.testing.assert_allclose(noisy["obs"][:, 0] - noisy["a"], one[1::3], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(noisy["obs"][:, 1] - noisy["a"], one[2::3], rtol=1e-12, atol=1e-12)


CONTINUOUS = [
    ("normal", lambda b: b.normal_prior("x", 1.0, 2.0), stats.norm(1.0, 2.0)),
    ("half_normal", lambda b: b.half_normal_prior("x", 3.0), stats.halfnorm(scale=3.0)),
    ("student_t", lambda b: b.student_t_prior("x", 4.0, 0.5, 2.0), stats.t(4.0, 0.5, 2.0)),
    ("cauchy", lambda b: b.student_t_prior("x", 1.0), stats.t(1.0)),
    ("uniform", lambda b: b.uniform_prior("x", -1.0, 3.0), stats.uniform(-1.0, 4.0)),
    ("gamma", lambda b: b.gamma_prior("x", 2.0, 4.0), stats.gamma(2.0, scale=0.25)),
    ("beta", lambda b: b.beta_prior("x", 2.0, 3.0), stats.beta(2.0, 3.0)),
    ("vector", lambda b: b.vector_normal_prior("x", 1, 0.5, 1.5), stats.norm(0.5, 1.5)),
]


@pytest.mark.parametrize(
    "declare, dist", [c[1:] for c in CONTINUOUS], ids=[c[0] for c in CONTINUOUS])
def test_continuous_priors_follow_their_distributions(declare, dist):
    out = draws(spec_of(declare), seed=21)
    (column,) = out.values()
    assert stats.kstest(column, dist.cdf).pvalue > 1e-3


def test_poisson_prior_draws_counts_with_rate_lam():
    col = draws(spec_of(lambda b: b.poisson_prior("k", 3.5)), seed=5)["k"]
    assert np.all(col == np.floor(col)) and col.min() >= 0
    assert col.mean() == pytest.approx(3.5, abs=5 * np.sqrt(3.5 / col.size))
    assert col.var() == pytest.approx(3.5, rel=0.1)


@pytest.mark.parametrize("p, share", [(0.0, 0.0), (1.0, 1.0), (0.3, 0.3)])
def test_bernoulli_prior_draws_zero_or_one(p, share):
    col = draws(spec_of(lambda b: b.bernoulli_prior("z", p)), seed=6)["z"]
    assert set(np.unique(col)) <= {0.0, 1.0}
    assert col.mean() == pytest.approx(share, abs=5 * np.sqrt(0.25 / col.size))


def test_hierarchical_priors_use_the_value_drawn_in_the_same_draw():
    def declare(b):
        m = b.normal_prior("m", 5.0, 1.0)
        s = b.half_normal_prior("s", 2.0)
        b.normal_prior("b", m, s)
        b.half_normal_prior("h", s)

    out = draws(spec_of(declare), seed=8)
    assert stats.kstest((out["b"] - out["m"]) / out["s"], "norm").pvalue > 1e-3
    assert stats.kstest(out["h"] / out["s"], stats.halfnorm().cdf).pvalue > 1e-3


def test_widened_prior_is_drawn_per_coordinate():
    def declare(b):
        beta = b.normal_prior("beta", 1.0, 2.0)
        g = b.gamma_prior("g", 3.0, 2.0)
        b.normal_likelihood("obs", beta @ "X" + g @ "X", 0.001, "y")

    out = draws(spec_of(declare), data={"X": X, "y": Y}, seed=2)
    assert list(out) == ["beta[0]", "beta[1]", "g[0]", "g[1]", "obs"]
    for key in ["beta[0]", "beta[1]"]:
        assert stats.kstest(out[key], stats.norm(1.0, 2.0).cdf).pvalue > 1e-3
    for key in ["g[0]", "g[1]"]:
        assert stats.kstest(out[key], stats.gamma(3.0, scale=0.5).cdf).pvalue > 1e-3
    assert abs(np.corrcoef(out["beta[0]"], out["beta[1]"])[0, 1]) < 0.1
    coef = np.stack([out["beta[0]"] + out["g[0]"], out["beta[1]"] + out["g[1]"]], axis=1)
    np.testing.assert_allclose(out["obs"], coef @ X.T, atol=0.01)


def test_call_data_overrides_bound_data():
    def declare(b):
        beta = b.normal_prior("beta", 0.0, 1.0)
        b.normal_likelihood("obs", beta * "x", 1e-9, "y")

    bound = {"x": np.ones(4), "y": Y}
    spec = spec_of(declare, bound)
    x = np.array([1.0, -2.0, 3.0, 10.0])
    out = draws(spec, data={"x": x}, n_samples=5)
    np.testing.assert_allclose(out["obs"], out["beta"][:, None] * x, atol=1e-6)


def test_likelihood_named_like_a_parameter_replaces_it():
    def declare(b):
        a = b.normal_prior("a", 0.0, 1.0)
        b.normal_likelihood("a", a, 1.0, "y")

    out = draws(spec_of(declare), data={"y": Y}, n_samples=3)
    assert list(out) == ["a"] and out["a"].shape == (3, 4)


def test_infinite_drawn_scales_are_value_errors():
    # A gamma variate past the largest double, as a prior's scale and as a likelihood's sigma.
    def prior_scale(b):
        g = b.gamma_prior("g", 1e300, 1e-10)
        b.normal_prior("b", 0.0, g)

    def likelihood_scale(b):
        a = b.normal_prior("a", 0.0, 1.0)
        g = b.gamma_prior("g", 1e300, 1e-10)
        b.normal_likelihood("obs", a, g, "y")

    prior_message = r"^Prior 'b': 'sigma' must be finite, got inf \(the value drawn for 'g'\)$"
    with pytest.raises(ValueError, match=prior_message):
        draws(spec_of(prior_scale), n_samples=2)
    likelihood_message = r"^Likelihood 'obs': 'sigma' must be finite, got inf at draw 0$"
    with pytest.raises(ValueError, match=likelihood_message):
        draws(spec_of(likelihood_scale), data={"y": Y}, n_samples=2)


def test_compilation_errors():
    def declare(b):
        a = b.normal_prior("a", 0.0, 1.0)
        b.normal_likelihood("obs", a, 1.0, "y")

    with pytest.raises(ValueError, match=r"^Missing data key: y$"):
        draws(spec_of(declare), data={"x": Y})
    with pytest.raises(ValueError, match="'lower' must be less than 'upper'"):
        draws(spec_of(lambda b: b.uniform_prior("u", 1.0, 1.0)))


def test_argument_conversions():
    spec = spec_of(lambda b: b.normal_prior("a", 0.0, 1.0))
    f = vorpex.sample_prior_predictive
    with pytest.raises(TypeError, match="^argument 'model_spec': "):
        f(vorpex.ModelBuilder())
    with pytest.raises(TypeError, match="^argument 'data': "):
        f(spec, 3.0)
    with pytest.raises(OverflowError):
        f(spec, n_samples=-1)
    with pytest.raises(TypeError, match="^argument 'n_samples': "):
        f(spec, n_samples=2.0)
    with pytest.raises(OverflowError):
        f(spec, seed=-1)
    with pytest.raises(TypeError, match="^argument 'seed': "):
        f(spec, seed="1")
    with pytest.raises(TypeError, match="data key 'y'"):
        f(spec, {"y": np.arange(3)})
    assert f(spec, n_samples=np.uint8(3), seed=2**64 - 1)["a"].shape == (3,)
    assert f(spec)["a"].shape == (500,)
