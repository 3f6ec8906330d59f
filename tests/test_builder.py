"""ModelBuilder declarations: argument conversions, hyperparameters, likelihood operands."""

import numpy as np
import pytest

import vorpex

HYPER_MESSAGE = "'{}' must be a float or a ParamRef (e.g. from normal_prior / half_normal_prior)"


class AsFloat:
    def __float__(self):
        return 2.5


@pytest.fixture
def b():
    return vorpex.ModelBuilder()


def test_scalar_declarations_return_new_handles(b):
    calls = [
        lambda: b.normal_prior("a", 0, 1),
        lambda: b.half_normal_prior("a", 1),
        lambda: b.student_t_prior("a", 3),
        lambda: b.uniform_prior("a"),
        lambda: b.bernoulli_prior("a"),
        lambda: b.poisson_prior("a", 2),
        lambda: b.gamma_prior("a", 2, 1),
        lambda: b.beta_prior("a", 2, 2),
    ]
    refs = [call() for call in calls]
    assert all(type(r) is vorpex.ParamRef for r in refs)
    assert len({id(r) for r in refs}) == len(refs)
    w = b.vector_normal_prior("w", 5)
    assert type(w) is vorpex.VectorParamRef


@pytest.mark.parametrize(
    "value", [0, 1.5, True, np.float64(0.25), np.int32(3), AsFloat()], ids=repr
)
def test_hyperparameters_accept_numbers(b, value):
    b.normal_prior("m", value, value)
    b.half_normal_prior("s", value)


def test_hyperparameters_accept_param_refs_from_any_builder(b):
    other = vorpex.ModelBuilder().half_normal_prior("tau", 1.0)
    mu = b.normal_prior("mu", 0.0, 1.0)
    assert isinstance(b.normal_prior("beta", mu, other), vorpex.ParamRef)


@pytest.mark.parametrize(
    "call,arg",
    [
        (lambda b, bad: b.normal_prior("x", bad, 1.0), "mu"),
        (lambda b, bad: b.normal_prior("x", 0.0, bad), "sigma"),
        (lambda b, bad: b.half_normal_prior("x", bad), "sigma"),
    ],
)
@pytest.mark.parametrize("kind", ["str", "none", "vector", "expr"])
def test_hyperparameters_refuse_other_values(b, call, arg, kind):
    p = b.normal_prior("p", 0.0, 1.0)
    bad = {"str": "0", "none": None, "vector": b.vector_normal_prior("v", 2), "expr": p * "x"}[kind]
    with pytest.raises(ValueError) as info:
        call(b, bad)
    assert str(info.value) == HYPER_MESSAGE.format(arg)


def test_first_bad_argument_in_order_is_reported(b):
    with pytest.raises(TypeError) as info:
        b.normal_prior(1, "bad", "bad")
    assert str(info.value) == "argument 'name': 'int' object is not an instance of 'str'"
    with pytest.raises(ValueError, match="^'mu' must"):
        b.normal_prior("x", "bad", "bad")


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda b: b.student_t_prior("t", "3"), "argument 'nu': must be real number, not str"),
        (lambda b: b.student_t_prior("t", 3, None), "argument 'mu': must be real number, not NoneType"),
        (lambda b: b.uniform_prior("u", 0.0, [1]), "argument 'upper': must be real number, not list"),
        (lambda b: b.bernoulli_prior("p", "0.5"), "argument 'p': must be real number, not str"),
        (lambda b: b.poisson_prior("k", None), "argument 'lam': must be real number, not NoneType"),
        (
            lambda b: b.beta_prior("p", b.normal_prior("r", 0, 1), 1.0),
            "argument 'alpha': must be real number, not vorpex.ParamRef",
        ),
        (lambda b: b.gamma_prior("g", 1.0, "x"), "argument 'beta': must be real number, not str"),
        (lambda b: b.vector_normal_prior("w", 2.0), "argument 'n': 'float' object cannot be interpreted as an integer"),
        (lambda b: b.vector_normal_prior(b"w", 2), "argument 'name': 'bytes' object is not an instance of 'str'"),
        (lambda b: b.normal_likelihood("y", 1.0, 1.0, 5), "argument 'observed_key': 'int' object is not an instance of 'str'"),
    ],
)
def test_typed_arguments_raise_argument_errors(b, call, message):
    with pytest.raises(TypeError) as info:
        call(b)
    assert str(info.value) == message


def test_negative_count_is_an_overflow_error(b):
    with pytest.raises(OverflowError):
        b.vector_normal_prior("w", -1)
    assert isinstance(b.vector_normal_prior("w", 0), vorpex.VectorParamRef)
    assert isinstance(b.vector_normal_prior("w", np.int64(3)), vorpex.VectorParamRef)


def test_float_conversion_errors_of_other_kinds_pass_through(b):
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("nope")

    with pytest.raises(ZeroDivisionError):
        b.student_t_prior("t", Bad())
    # For an untyped hyperparameter the failed conversion is discarded.
    with pytest.raises(ValueError, match="^'mu' must"):
        b.normal_prior("x", Bad(), 1.0)


def test_nothing_is_range_checked_at_declaration(b):
    b.normal_prior("", -1e300, -1.0)
    b.uniform_prior("u", 1.0, 0.0)
    b.bernoulli_prior("p", 7.0)
    b.gamma_prior("g", -1, float("nan"))
    b.vector_normal_prior("w", 0, sigma=-3)
    b.normal_prior("", 0, 1)


def test_normal_likelihood_operands(b):
    beta = b.normal_prior("beta", 0, 1)
    sigma = b.half_normal_prior("sigma", 1)
    assert b.normal_likelihood("y", beta * "x", 1.0, "y") is None
    assert b.normal_likelihood("y", beta, sigma, "y") is None
    assert b.normal_likelihood("y", beta + beta, np.float64(2.0), "y") is None


@pytest.mark.parametrize(
    "mu_expr,sigma,message",
    [
        ("vector", 1.0, "mu_expr must be an Expr (e.g. beta * 'x') or a ParamRef"),
        ("x", 1.0, "mu_expr must be an Expr (e.g. beta * 'x') or a ParamRef"),
        (1.0, 1.0, "mu_expr must be an Expr (e.g. beta * 'x') or a ParamRef"),
        ("ref", "1", "sigma must be a float or a ParamRef (e.g. from half_normal_prior)"),
        ("ref", "vector", "sigma must be a float or a ParamRef (e.g. from half_normal_prior)"),
    ],
)
def test_normal_likelihood_refuses_other_operands(b, mu_expr, sigma, message):
    handles = {"vector": b.vector_normal_prior("w", 2), "ref": b.normal_prior("a", 0, 1)}
    with pytest.raises(ValueError) as info:
        b.normal_likelihood("y", handles.get(mu_expr, mu_expr), handles.get(sigma, sigma), "y")
    assert str(info.value) == message


def test_likelihood_strings_are_converted_before_the_operands(b):
    with pytest.raises(TypeError, match="^argument 'name'"):
        b.normal_likelihood(None, "bad", "bad", None)
    with pytest.raises(TypeError, match="^argument 'observed_key'"):
        b.normal_likelihood("y", "bad", "bad", None)


def test_build_gives_independent_specs(b):
    first = b.build()
    b.normal_prior("a", 0, 1)
    second = b.build()
    assert type(first) is vorpex.ModelSpec and first is not second
    # The builder stays usable after build().
    b.normal_likelihood("y", b.normal_prior("c", 0, 1), 1.0, "y")
