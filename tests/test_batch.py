"""batch_sample() and BatchResult: conversions, errors, seeds per model, shapes, repr, recovery."""

import inspect
import re

import numpy as np
import pytest

import vorpex

Y = np.random.default_rng(1).normal(1.0, 1.0, 20)


def mean_scale_spec(data=None):
    b = vorpex.ModelBuilder(data)
    mu = b.normal_prior("mu", 0.0, 5.0)
    sigma = b.half_normal_prior("sigma", 2.0)
    b.normal_likelihood("obs", mu, sigma, "y")
    return b.build()


SPEC = mean_scale_spec()


def run(models, **kw):
    kw.setdefault("draws", 200)
    kw.setdefault("warmup", 200)
    kw.setdefault("show_progress", False)
    return vorpex.batch_sample(models, **kw)


def test_signature_and_docstring():
    assert str(inspect.signature(vorpex.batch_sample)) == (
        "(models, draws=500, warmup=300, seed=42, show_progress=True)")
    body = vorpex.batch_sample.__doc__.split("\n")
    assert "parallel" in body[0] and "worker thread pool" in body[0]
    assert body[1:] == [
        "",
        "Each entry in `models` is a (ModelSpec, data_dict) pair. Each gets 1 NUTS chain.",
        "Returns a list of BatchResult objects.",
    ]
    for name in ("mean", "std", "get_samples"):
        assert getattr(vorpex.BatchResult, name).__text_signature__ == "($self)"


def test_shapes_and_key_order():
    b = vorpex.ModelBuilder()
    a = b.normal_prior("a", 0.0, 1.0)
    w = b.vector_normal_prior("w", 2)
    s = b.gamma_prior("s", 2.0, 2.0)
    b.normal_likelihood("obs", w @ "X" + a, s, "y")
    X = np.random.default_rng(2).normal(size=(20, 2))
    (r,) = run([(b.build(), {"X": X, "y": Y})], draws=37)
    names = ["a", "w[0]", "w[1]", "s"]
    samples = r.get_samples()
    assert list(samples) == names
    assert list(r.mean()) == names and list(r.std()) == names
    for name, column in samples.items():
        assert column.dtype == np.float64 and column.shape == (37,)
        assert r.mean()[name] == pytest.approx(column.mean(), rel=1e-12, abs=1e-12)
        assert r.std()[name] == pytest.approx(column.std(), rel=1e-12, abs=1e-12)
    assert samples["s"].min() > 0
    # every call builds new objects
    assert r.get_samples()["a"] is not samples["a"]
    samples["a"][:] = 0.0
    assert not np.all(r.get_samples()["a"] == 0.0)


def test_attributes_are_read_only_and_typed():
    (r,) = run([(SPEC, {"y": Y})])
    assert isinstance(r.accept_rate, float) and 0.0 < r.accept_rate <= 1.0
    assert isinstance(r.divergences, int) and r.divergences >= 0
    for attr in ("accept_rate", "divergences"):
        with pytest.raises(AttributeError):
            setattr(r, attr, 1)


def test_zero_draws_gives_empty_arrays_and_nan_moments():
    (r,) = run([(SPEC, {"y": Y})], draws=0, warmup=20)
    assert all(v.shape == (0,) for v in r.get_samples().values())
    assert all(np.isnan(v) for v in r.mean().values())
    assert all(np.isnan(v) for v in r.std().values())
    assert r.divergences >= 0


def test_repr_rounds_means_to_four_decimals():
    (r,) = run([(SPEC, {"y": Y})])
    text = repr(r)
    m = re.fullmatch(r"BatchResult\(mu=(-?\d+\.\d{4}), sigma=(-?\d+\.\d{4})\)", text)
    assert m, text
    assert float(m.group(1)) == pytest.approx(round(r.mean()["mu"], 4), abs=1e-12)
    assert float(m.group(2)) == pytest.approx(round(r.mean()["sigma"], 4), abs=1e-12)


def test_repeated_name_keeps_first_position_with_later_value():
    b = vorpex.ModelBuilder()
    b.normal_prior("a", 0.0, 1.0)
    b.half_normal_prior("s", 1.0)
    b.normal_prior("a", 10.0, 1.0)
    spec = b.build()
    (r,) = run([(spec, {})], draws=300)
    assert list(r.mean()) == ["a", "s"]
    assert r.mean()["a"] == pytest.approx(10.0, abs=0.5)
    assert list(r.get_samples()) == ["a", "s"]
    assert r.get_samples()["a"].mean() == pytest.approx(10.0, abs=0.5)
    assert repr(r).startswith("BatchResult(a=") and repr(r).count("a=") == 2


def test_seeds_per_model_and_reproducibility():
    models = [(SPEC, {"y": Y}), (SPEC, {"y": Y}), (SPEC, {"y": Y})]
    first = run(models, seed=10)
    again = run(models, seed=10)
    for x, y in zip(first, again):
        np.testing.assert_array_equal(x.get_samples()["mu"], y.get_samples()["mu"])
    # same model and data, seeds 10 and 11: different chains
    assert not np.array_equal(first[0].get_samples()["mu"], first[1].get_samples()["mu"])
    # model k runs with seed + k, whatever precedes it
    (alone,) = run([(SPEC, {"y": Y})], seed=12)
    np.testing.assert_array_equal(alone.get_samples()["mu"], first[2].get_samples()["mu"])
    assert alone.accept_rate == first[2].accept_rate


def test_results_in_input_order_and_data_per_model():
    bound = mean_scale_spec({"y": Y})
    shifted = Y + 50.0
    results = run([(bound, {}), (bound, {"y": shifted}), (bound, {})], draws=300)
    means = [r.mean()["mu"] for r in results]
    assert means[0] == pytest.approx(Y.mean(), abs=0.5)
    assert means[1] == pytest.approx(shifted.mean(), abs=1.0)
    assert means[2] == pytest.approx(Y.mean(), abs=0.5)


def test_posterior_mean_recovered():
    # mu ~ N(0, 10), y ~ N(mu, 1): posterior N(sum y / (n + 0.01), 1 / (n + 0.01))
    b = vorpex.ModelBuilder()
    mu = b.normal_prior("mu", 0.0, 10.0)
    b.normal_likelihood("obs", mu, 1.0, "y")
    (r,) = run([(b.build(), {"y": Y})], draws=1000, warmup=300, seed=3)
    post_mean = Y.sum() / (len(Y) + 0.01)
    post_sd = (len(Y) + 0.01) ** -0.5
    assert r.mean()["mu"] == pytest.approx(post_mean, abs=5 * post_sd / np.sqrt(200))
    assert r.std()["mu"] == pytest.approx(post_sd, rel=0.2)


def test_empty_input():
    assert vorpex.batch_sample([], show_progress=False) == []
    assert vorpex.batch_sample((), draws=0, warmup=0, show_progress=True) == []


def test_pairs_may_be_lists_and_dicts_subclasses():
    class D(dict):
        pass

    results = run([[SPEC, D(y=Y)], (SPEC, {"y": Y})])
    assert len(results) == 2 and all(isinstance(r, vorpex.BatchResult) for r in results)


@pytest.mark.parametrize(
    "models, fragment",
    [
        ("abc", "expected a sequence of (ModelSpec, dict) pairs, got 'str'"),
        (5, "got 'int'"),
        ({SPEC: {}}, "got 'dict'"),
        ([SPEC], "item 0: expected a (ModelSpec, dict) pair, got 'vorpex.ModelSpec'"),
        ([(SPEC, {}, 1)], "item 0: expected a (ModelSpec, dict) pair, got a sequence of length 3"),
        ([(SPEC, {}), "ab"], "item 1: expected a (ModelSpec, dict) pair, got 'str'"),
        ([({}, SPEC)], "item 0: 'dict' object is not an instance of 'ModelSpec'"),
        ([(SPEC, None)], "item 0: 'NoneType' object is not an instance of 'dict'"),
    ],
)
def test_models_conversion_errors(models, fragment):
    with pytest.raises(TypeError) as info:
        vorpex.batch_sample(models, show_progress=False)
    assert str(info.value).startswith("argument 'models': ")
    assert fragment in str(info.value)


def test_scalar_argument_conversions():
    models = [(SPEC, {"y": Y})]
    for name in ("draws", "warmup", "seed"):
        with pytest.raises(OverflowError):
            vorpex.batch_sample(models, **{name: -1}, show_progress=False)
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            vorpex.batch_sample(models, **{name: "1"}, show_progress=False)
    with pytest.raises(TypeError, match="^argument 'show_progress': "):
        vorpex.batch_sample(models, show_progress=1)
    (r,) = vorpex.batch_sample(models, draws=np.int64(5), warmup=10, show_progress=np.bool_(False))
    assert r.get_samples()["mu"].shape == (5,)
    with pytest.raises(TypeError):
        vorpex.batch_sample()


def test_conversions_fail_before_any_model_is_compiled():
    # The first model cannot compile, but the bad draws count is reported first.
    with pytest.raises(OverflowError):
        vorpex.batch_sample([(SPEC, {}), (SPEC, {"y": Y})], draws=-1)


def test_missing_observed_key_and_data_errors():
    with pytest.raises(ValueError, match=r"^Missing data key: y$"):
        run([(SPEC, {"y": Y}), (SPEC, {"x": Y})])
    with pytest.raises(TypeError, match="data key 'y'"):
        run([(SPEC, {"y": [1.0, 2.0]})])
    b = vorpex.ModelBuilder()
    w = b.vector_normal_prior("w", 2)
    b.normal_likelihood("obs", w @ "X", 1.0, "y")
    with pytest.raises(ValueError, match="Missing matrix key 'X'"):
        run([(b.build(), {"y": Y})])


def test_lock_is_released_while_models_sample(ticks_inside):
    models = [(SPEC, {"y": Y})] * 64
    elapsed, inside = ticks_inside(
        lambda: vorpex.batch_sample(models, draws=2000, warmup=1000, show_progress=False))
    assert elapsed > 0.05
    assert inside >= 10, (inside, elapsed)
