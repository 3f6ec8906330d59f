"""Data binding: reading dicts of NumPy arrays, key checks at declaration, and the checks of
compilation on the data a model uses (non-finite values, lengths)."""

import numpy as np
import pytest

import vorpex

needs_sample = pytest.mark.skipif(not hasattr(vorpex, "sample"), reason="sample() is not built yet")

X32 = np.arange(6.0).reshape(3, 2)


class SubDict(dict):
    pass


class Key(str):
    pass


@pytest.mark.parametrize(
    "data",
    [
        {},
        {"x": np.array([1.0, 2.0])},
        {"X": np.ones((3, 2))},
        {"X": np.asfortranarray(X32)},
        {"X": X32.T},
        {"x": np.arange(10.0)[::2].copy()},
        {"x": np.empty(0), "X": np.empty((0, 3))},
        {"x": np.array([1.0, 2.0], dtype="=f8")},
        SubDict(x=np.ones(2)),
        {Key("x"): np.ones(2)},
        {"x": np.ones(4)[:2]},
    ],
    ids=lambda d: ",".join(f"{k}:{v.shape}" for k, v in d.items()) or "empty",
)
def test_accepted_data(data):
    assert isinstance(vorpex.ModelBuilder(data=data), vorpex.ModelBuilder)


@pytest.mark.parametrize(
    "data,message",
    [
        ({"x": np.array([1, 2, 3])}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got a 1-D int64 array"),
        ({"x": np.ones(2, dtype=np.float32)}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got a 1-D float32 array"),
        ({"x": np.ones(2, dtype=">f8")}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got a 1-D >f8 array"),
        ({"x": [1.0, 2.0]}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got 'list'"),
        ({"x": np.float64(1.0)}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got 'numpy.float64'"),
        ({"x": np.array(1.0)}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got a 0-D float64 array"),
        ({"x": np.ones((2, 2, 2))}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got a 3-D float64 array"),
        ({"x": np.arange(10.0)[::2]}, "data key 'x': array is not contiguous; pass a C- or Fortran-ordered copy (numpy.ascontiguousarray)"),
        ({"X": np.ones((4, 4))[::2, ::2]}, "data key 'X': array is not contiguous; pass a C- or Fortran-ordered copy (numpy.ascontiguousarray)"),
        ({1: np.ones(3)}, "data dict keys must be str, got 'int'"),
        ({"ok": np.ones(2), "x": None}, "data key 'x': expected a float64 NumPy array with 1 or 2 dimensions, got 'NoneType'"),
    ],
)
def test_refused_data(data, message):
    with pytest.raises(TypeError) as info:
        vorpex.ModelBuilder(data=data)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("data,name", [([1, 2], "list"), ((), "tuple"), ("x", "str"), (np.ones(2), "numpy.ndarray")])
def test_data_must_be_a_dict(data, name):
    with pytest.raises(TypeError) as info:
        vorpex.ModelBuilder(data=data)
    assert str(info.value) == f"argument 'data': '{name}' object is not an instance of 'dict'"


def declare(data, mean_of, observed="y"):
    b = vorpex.ModelBuilder(data=data)
    beta = b.normal_prior("beta", 0, 1)
    w = b.vector_normal_prior("w", 2)
    b.normal_likelihood("obs", mean_of(beta, w), 1.0, observed)
    return b


@pytest.mark.parametrize(
    "mean_of,observed,message",
    [
        (lambda beta, w: beta * "x", "z", "observed key 'z' not found in bound data. Available 1-D keys: [y, x, u]"),
        (lambda beta, w: beta * "q", "y", "data key 'q' not found in bound data. Available 1-D keys: [y, x, u]"),
        (lambda beta, w: w @ "M", "y", "matrix key 'M' not found in bound data. Available 2-D keys: [X]"),
        (lambda beta, w: beta * "X", "y", "data key 'X' not found in bound data. Available 1-D keys: [y, x, u]"),
        (lambda beta, w: beta + w @ "x", "y", "matrix key 'x' not found in bound data. Available 2-D keys: [X]"),
    ],
)
def test_declaration_checks_keys_against_bound_data(mean_of, observed, message):
    data = {"y": np.zeros(3), "x": np.ones(3), "X": np.ones((3, 2)), "u": np.ones(3)}
    with pytest.raises(ValueError) as info:
        declare(data, mean_of, observed)
    assert str(info.value) == message


def test_declaration_with_only_matrices_or_no_data():
    with pytest.raises(ValueError) as info:
        declare({"X": np.ones((3, 2))}, lambda beta, w: w @ "X")
    assert str(info.value) == "observed key 'y' not found in bound data. Available 1-D keys: []"
    declare(None, lambda beta, w: beta * "anything" + w @ "Anything", "nothing")
    declare({}, lambda beta, w: beta * "anything", "nothing")


def fit(spec, data=None):
    return vorpex.sample(spec, data=data, chains=1, draws=5, warmup=5, show_progress=False)


def regression(data=None):
    b = vorpex.ModelBuilder(data=data)
    beta = b.normal_prior("beta", 0, 1)
    b.normal_likelihood("obs", beta * "x", 1.0, "y")
    return b.build()


@needs_sample
def test_fortran_matrices_are_read_by_logical_element():
    X = np.ones((4, 3))
    X[2, 1] = np.nan
    b = vorpex.ModelBuilder()
    w = b.vector_normal_prior("w", 3)
    b.normal_likelihood("obs", w @ "X", 1.0, "y")
    for layout in (X, np.asfortranarray(X)):
        with pytest.raises(ValueError) as info:
            fit(b.build(), {"X": layout, "y": np.zeros(4)})
        assert str(info.value) == "Matrix key 'X' holds a non-finite value (nan) at index [2, 1]"


@needs_sample
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("key", ["x", "y"])
def test_non_finite_data_used_by_the_model_is_refused(key, bad):
    data = {"x": np.ones(5), "y": np.zeros(5), "unused": np.full(2, np.nan)}
    data[key][3] = bad
    with pytest.raises(ValueError) as info:
        fit(regression(), data)
    text = {np.inf: "inf", -np.inf: "-inf"}.get(bad, "nan")
    assert str(info.value) == f"Data key '{key}' holds a non-finite value ({text}) at index 3"


@needs_sample
def test_lengths_must_agree():
    with pytest.raises(ValueError) as info:
        fit(regression(), {"x": np.ones(5), "y": np.zeros(6)})
    assert str(info.value) == (
        "Observed data key 'y' has length 6 but the model's observation count is 5 "
        "(the length of data key 'x')"
    )


@needs_sample
def test_bound_arrays_are_copies_and_call_data_overlays_them():
    x = np.ones(5)
    spec = regression({"x": x, "y": np.zeros(5)})
    x[0] = np.nan  # changing the caller's array after binding changes nothing
    fit(spec)
    with pytest.raises(ValueError, match="^Data key 'x' holds a non-finite value"):
        fit(spec, {"x": x})
    fit(spec, {"x": np.ones(5)})
