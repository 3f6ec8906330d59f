"""Operators that build mean expressions: the outcome of every operand combination."""

import operator

import numpy as np
import pytest

import vorpex

PARAM_ADD = "unsupported operand type for + with ParamRef"
EXPR_ADD = "unsupported operand type for + with Expr"


@pytest.fixture(scope="module")
def h():
    b = vorpex.ModelBuilder()
    beta = b.normal_prior("beta", 0, 1)
    alpha = b.normal_prior("alpha", 0, 1)
    w = b.vector_normal_prior("w", 3)
    return {"beta": beta, "alpha": alpha, "w": w, "e": beta * "x", "b": b}


class Key(str):
    pass


# (left, operator, right, outcome): outcome is a class for a result type, or (exception, message).
CASES = [
    # ParamRef * str, one-sided.
    ("beta", "*", "'x'", vorpex.Expr),
    ("beta", "*", "Key('x')", vorpex.Expr),
    ("'x'", "*", "beta", (TypeError, None)),
    ("beta", "*", "2.0", (TypeError, None)),
    ("beta", "*", "alpha", (TypeError, None)),
    ("e", "*", "2", (TypeError, None)),
    ("w", "*", "'x'", (TypeError, None)),
    # @ on ParamRef and VectorParamRef, handle on the left.
    ("w", "@", "'X'", vorpex.Expr),
    ("beta", "@", "'X'", vorpex.Expr),
    ("'X'", "@", "w", (TypeError, None)),
    ("w", "@", "[1.0]", (TypeError, None)),
    ("e", "@", "'X'", (TypeError, None)),
    # + with a ParamRef on either side.
    ("alpha", "+", "beta", vorpex.Expr),
    ("alpha", "+", "e", vorpex.Expr),
    ("e", "+", "alpha", vorpex.Expr),
    ("e", "+", "e", vorpex.Expr),
    ("beta", "+", "1", (ValueError, PARAM_ADD)),
    ("1", "+", "beta", (ValueError, PARAM_ADD)),
    ("'x'", "+", "beta", (ValueError, PARAM_ADD)),
    ("beta", "+", "w", (ValueError, PARAM_ADD)),
    ("beta", "+", "1.0", (ValueError, PARAM_ADD)),
    ("None", "+", "beta", (ValueError, PARAM_ADD)),
    # + with an Expr on either side.
    ("e", "+", "1.0", (ValueError, EXPR_ADD)),
    ("1", "+", "e", (ValueError, EXPR_ADD)),
    ("w", "+", "e", (ValueError, EXPR_ADD)),
    ("e", "+", "w", (ValueError, EXPR_ADD)),
    ("e", "+", "'x'", (ValueError, EXPR_ADD)),
    # VectorParamRef has no + of its own.
    ("w", "+", "w", (TypeError, None)),
]

OPS = {"*": operator.mul, "@": operator.matmul, "+": operator.add}


@pytest.mark.parametrize("left,op,right,outcome", CASES, ids=lambda v: str(v) if isinstance(v, str) else "")
def test_operator_outcomes(h, left, op, right, outcome):
    env = dict(h, np=np, Key=Key)
    lhs, rhs = eval(left, env), eval(right, env)
    if isinstance(outcome, tuple):
        exc, message = outcome
        with pytest.raises(exc) as info:
            OPS[op](lhs, rhs)
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message
    else:
        assert type(OPS[op](lhs, rhs)) is outcome


def test_sum_builtin_fails_on_its_integer_start(h):
    with pytest.raises(ValueError) as info:
        sum([h["e"], h["alpha"] * "z"])
    assert str(info.value) == EXPR_ADD


def test_operators_return_new_objects_and_never_validate_keys(h):
    e1 = h["beta"] * "no_such_key"
    e2 = h["beta"] * "no_such_key"
    assert e1 is not e2
    chain = h["alpha"] + h["beta"] * "x" + h["alpha"] + e1
    assert type(chain) is vorpex.Expr


def test_tree_order_is_left_to_right():
    # With bound data the first missing key in left-to-right order is reported, which shows
    # the order of the tree built by the operators.
    y = np.zeros(3)
    b = vorpex.ModelBuilder(data={"y": y})
    beta = b.normal_prior("beta", 0, 1)
    e1, e2 = beta * "k1", beta * "k2"
    for mean, first in [(e1 + e2, "k1"), (e2 + e1, "k2"), (beta + e2 + e1, "k2"), (e1 + beta, "k1")]:
        with pytest.raises(ValueError) as info:
            b.normal_likelihood("obs", mean, 1.0, "y")
        assert str(info.value) == f"data key '{first}' not found in bound data. Available 1-D keys: [y]"
