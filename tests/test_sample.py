"""sample(): argument conversion and its order, the checks before sampling, options reaching the
chains, reproducibility, the progress switch and the released interpreter lock."""

import inspect

import numpy as np
import pytest

import vorpex

QUICK = dict(chains=1, draws=5, warmup=5, show_progress=False)


def regression(data=None):
    b = vorpex.ModelBuilder(data=data)
    beta = b.normal_prior("beta", 0.0, 1.0)
    b.normal_likelihood("obs", beta * "x", 1.0, "y")
    return b.build()


def prior_only():
    b = vorpex.ModelBuilder()
    b.normal_prior("mu", 0.0, 1.0)
    return b.build()


DATA = {"x": np.linspace(-1.0, 1.0, 8), "y": np.linspace(0.0, 1.0, 8)}


def test_signature():
    assert vorpex.sample.__text_signature__ == (
        '(model_spec, data=None, chains=4, draws=1000, warmup=500, seed=42, threads=0, '
        'step_size=0.0, sampler="nuts", max_tree_depth=10, num_leapfrog_steps=15, show_progress=True)'
    )
    assert isinstance(vorpex.sample(prior_only(), **QUICK), vorpex.FitResult)


# One wrong value per parameter, in parameter order, with the message it gives.
BAD_ARGUMENTS = [
    ("model_spec", 3, "'int' object is not an instance of 'ModelSpec'"),
    ("data", 3.0, "'float' object is not an instance of 'dict'"),
    ("chains", "4", "'str' object cannot be interpreted as an integer"),
    ("draws", 1.5, "'float' object cannot be interpreted as an integer"),
    ("warmup", None, "'NoneType' object cannot be interpreted as an integer"),
    ("seed", 42.0, "'float' object cannot be interpreted as an integer"),
    ("threads", "0", "'str' object cannot be interpreted as an integer"),
    ("step_size", "0.1", "must be real number, not str"),
    ("sampler", 1, "'int' object is not an instance of 'str'"),
    ("max_tree_depth", [10], "'list' object cannot be interpreted as an integer"),
    ("num_leapfrog_steps", 1.0, "'float' object cannot be interpreted as an integer"),
    ("show_progress", 1, "'int' object is not an instance of 'bool'"),
]


def test_argument_errors_follow_parameter_order():
    # Every argument is wrong; fixing them one at a time must report the next one in order.
    good = dict(model_spec=prior_only(), data=None, chains=1, draws=5, warmup=5, seed=1, threads=0,
                step_size=0.0, sampler="nuts", max_tree_depth=10, num_leapfrog_steps=15,
                show_progress=False)
    kwargs = {name: bad for name, bad, _ in BAD_ARGUMENTS}
    for name, _, message in BAD_ARGUMENTS:
        with pytest.raises(TypeError) as info:
            vorpex.sample(**kwargs)
        assert str(info.value) == f"argument '{name}': {message}"
        kwargs[name] = good[name]
    assert isinstance(vorpex.sample(**kwargs), vorpex.FitResult)


@pytest.mark.parametrize("name", ["chains", "draws", "warmup", "seed", "threads", "max_tree_depth", "num_leapfrog_steps"])
def test_negative_counts_raise_overflow(name):
    with pytest.raises(OverflowError):
        vorpex.sample(prior_only(), **{**QUICK, name: -1})


class Index:
    def __index__(self):
        return 3


class Real:
    def __float__(self):
        return 0.25


def test_accepted_conversions():
    fit = vorpex.sample(prior_only(), {}, Index(), 4, 2, 2**64 - 1, 0, Real(), "hmc", True, 3, np.bool_(False))
    assert len(fit.divergences()) == 3
    assert len(fit.get_samples()["mu"]) == 12
    with pytest.raises(OverflowError):
        vorpex.sample(prior_only(), seed=2**64, **QUICK)


def test_argument_shape_errors():
    with pytest.raises(TypeError):
        vorpex.sample()
    with pytest.raises(TypeError):
        vorpex.sample(prior_only(), unknown=1)
    with pytest.raises(TypeError):
        vorpex.sample(prior_only(), None, 1, 5, 5, 1, 0, 0.0, "nuts", 10, 15, False, "extra")
    with pytest.raises(TypeError):
        vorpex.sample(prior_only(), None, chains=1, data=None)


def fit_values(fit):
    return {k: v.tolist() for k, v in fit.get_samples().items()}


def test_keyword_and_positional_forms_are_equal():
    spec = regression(DATA)
    a = vorpex.sample(spec, None, 2, 30, 20, 7, 0, 0.0, "nuts", 10, 15, False)
    b = vorpex.sample(spec, chains=2, draws=30, warmup=20, seed=7, show_progress=False)
    assert fit_values(a) == fit_values(b)
    assert a.step_sizes() == b.step_sizes()


def test_same_seed_same_draws_other_seed_other_draws():
    spec = regression(DATA)
    a, b, c = (vorpex.sample(spec, data=None, seed=s, chains=2, draws=20, warmup=20, show_progress=False) for s in (5, 5, 6))
    assert fit_values(a) == fit_values(b)
    assert fit_values(a) != fit_values(c)


@pytest.mark.parametrize(
    "spec,data,exc,message",
    [
        # A bad dict entry is reported before the model is looked at.
        (lambda: regression(), {"y": [1.0, 2.0]}, TypeError,
         "data key 'y': expected a float64 NumPy array with 1 or 2 dimensions, got 'list'"),
        # A likelihood and no data anywhere: reported before compilation would miss "x".
        (lambda: regression(), None, ValueError,
         "No data provided. Pass data= to sample() or bind it via ModelBuilder(data=...)."),
        (lambda: regression(), {}, ValueError,
         "No data provided. Pass data= to sample() or bind it via ModelBuilder(data=...)."),
        (lambda: regression(), {"x": np.ones(3)}, ValueError, "Missing observed data key: y"),
    ],
)
def test_checks_before_sampling(spec, data, exc, message):
    with pytest.raises(exc) as info:
        vorpex.sample(spec(), data=data, sampler="bad", **QUICK)
    assert str(info.value) == message


def test_model_without_likelihoods_samples_its_priors_without_data():
    fit = vorpex.sample(prior_only(), chains=2, draws=500, warmup=200, show_progress=False)
    mu = fit.get_samples()["mu"]
    assert mu.shape == (1000,)
    assert abs(mu.mean()) < 0.3 and 0.8 < mu.std() < 1.2


@pytest.mark.parametrize("name,ok", [("nuts", True), ("NUTS", True), ("hmc", True), ("HMC", True),
                                     ("Nuts", False), ("Hmc", False), ("nuts ", False), ("", False)])
def test_sampler_names(name, ok):
    if ok:
        assert isinstance(vorpex.sample(regression(DATA), sampler=name, **QUICK), vorpex.FitResult)
    else:
        with pytest.raises(ValueError) as info:
            vorpex.sample(regression(DATA), sampler=name, **QUICK)
        assert str(info.value) == f"Unknown sampler '{name}'. Use 'nuts' or 'hmc'."


@pytest.mark.parametrize("threads", [1025, 10**6, 2**64 - 1])
def test_thread_count_is_bounded(threads):
    with pytest.raises(ValueError) as info:
        vorpex.sample(regression(DATA), threads=threads, **QUICK)
    assert str(info.value) == f"threads must be at most 1024, got {threads}"


def test_infinite_step_size_is_refused():
    with pytest.raises(ValueError) as info:
        vorpex.sample(regression(), data=DATA, step_size=float("inf"), **QUICK)
    assert str(info.value) == "step_size must be finite, got inf"
    # NaN still asks for the step-size search, as 0 and negative values do.
    fit = vorpex.sample(regression(), data=DATA, step_size=float("nan"), **QUICK)
    assert all(np.isfinite(fit.step_sizes()))


@pytest.mark.parametrize(
    "data,sampler,message",
    [({"x": np.ones(3)}, "nuts", "Missing observed data key: y"),
     (DATA, "bad", "Unknown sampler 'bad'. Use 'nuts' or 'hmc'.")],
)
def test_model_and_sampler_errors_come_before_the_thread_bound(data, sampler, message):
    with pytest.raises(ValueError) as info:
        vorpex.sample(regression(), data=data, sampler=sampler, threads=10**6, **QUICK)
    assert str(info.value) == message


def test_bound_data_and_call_data_overlay():
    # The bound y is far from the call's y: which one was used shows in the posterior of beta.
    x = np.linspace(-1.0, 1.0, 40)
    spec = regression({"x": x, "y": 3.0 * x})
    opts = dict(chains=2, draws=200, warmup=200, show_progress=False)
    bound = vorpex.sample(spec, **opts).mean()["beta"]
    overlaid = vorpex.sample(spec, data={"y": -3.0 * x}, **opts).mean()["beta"]
    assert bound > 1.5 and overlaid < -1.5
    # The model spec's own data is unchanged by the overlay.
    assert vorpex.sample(spec, **opts).mean()["beta"] == bound


def test_options_reach_the_chosen_sampler_only():
    spec = regression(DATA)
    opts = dict(chains=2, draws=20, warmup=20, seed=3, show_progress=False)

    def draws(**kw):
        return fit_values(vorpex.sample(spec, **{**opts, **kw}))

    # NUTS reads max_tree_depth and ignores num_leapfrog_steps; static HMC the other way round.
    assert draws(num_leapfrog_steps=3) == draws(num_leapfrog_steps=30)
    assert draws(max_tree_depth=1) != draws(max_tree_depth=10)
    assert draws(sampler="hmc", max_tree_depth=1) == draws(sampler="hmc", max_tree_depth=10)
    assert draws(sampler="hmc", num_leapfrog_steps=3) != draws(sampler="hmc", num_leapfrog_steps=30)
    # Without warm-up the given step size is used throughout.
    fit = vorpex.sample(spec, chains=3, draws=5, warmup=0, step_size=0.125, show_progress=False)
    assert fit.step_sizes() == [0.125] * 3


def test_max_tree_depth_zero_never_moves():
    fit = vorpex.sample(prior_only(), chains=2, draws=10, warmup=0, step_size=0.5, max_tree_depth=0, show_progress=False)
    assert fit.get_samples()["mu"].tolist() == [0.0] * 20


def test_progress_line_only_when_asked(capfd):
    vorpex.sample(prior_only(), chains=1, draws=20, warmup=20, show_progress=False)
    assert capfd.readouterr() == ("", "")
    vorpex.sample(prior_only(), chains=1, draws=20, warmup=20, show_progress=True)
    out, err = capfd.readouterr()
    assert out == "" and "40/40" in err


def big_regression():
    rng = np.random.default_rng(1)
    x = rng.normal(size=2000)
    return regression({"x": x, "y": 0.5 * x + rng.normal(size=2000)})


def test_interpreter_lock_is_released_while_sampling(ticks_inside):
    spec = big_regression()
    # About 0.3 s of leapfrog steps on one chain (static HMC, fixed step, no warm-up).
    elapsed, inside = ticks_inside(lambda: vorpex.sample(
        spec, chains=1, draws=500, warmup=0, step_size=0.001, sampler="hmc",
        num_leapfrog_steps=300, show_progress=False))
    assert elapsed > 0.05
    assert inside >= 10, (inside, elapsed)


def test_inspect_signature_defaults():
    sig = inspect.signature(vorpex.sample)
    assert [p.name for p in sig.parameters.values()] == [
        "model_spec", "data", "chains", "draws", "warmup", "seed", "threads", "step_size", "sampler",
        "max_tree_depth", "num_leapfrog_steps", "show_progress"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert sig.parameters["sampler"].default == "nuts"
