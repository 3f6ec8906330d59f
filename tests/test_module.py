"""The module frame: registration, class flags, signatures, exceptions and the borrow rule."""

import importlib
import inspect

import pytest

import vorpex

CLASSES = ["ModelBuilder", "ModelSpec", "ParamRef", "VectorParamRef", "Expr", "FitResult", "BatchResult"]
FUNCTIONS = ["sample", "batch_sample", "sample_prior_predictive"]


def test_import_is_cached_and_docstring_empty():
    assert importlib.import_module("vorpex") is vorpex
    assert vorpex.__doc__ == ""


def test_members_are_registered_in_order():
    for name in CLASSES:
        assert name in dir(vorpex)
    order = [k for k in vorpex.__dict__ if k in CLASSES + FUNCTIONS]
    assert order == [k for k in CLASSES + FUNCTIONS if hasattr(vorpex, k)]


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_and_report_the_module(name):
    cls = getattr(vorpex, name)
    assert cls.__module__ == "vorpex"
    assert cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", [c for c in CLASSES if c != "ModelBuilder"])
def test_classes_without_constructor_cannot_be_called(name):
    with pytest.raises(TypeError, match="No constructor defined"):
        getattr(vorpex, name)()


def instances():
    b = vorpex.ModelBuilder()
    p = b.normal_prior("a", 0.0, 1.0)
    w = b.vector_normal_prior("w", 2)
    return [b, b.build(), p, w, p * "x"]


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_instances_have_no_attribute_dict(obj):
    with pytest.raises(AttributeError):
        obj.x = 1
    assert not hasattr(obj, "__dict__")


def test_internal_error_derives_from_base_exception_only():
    assert issubclass(vorpex.InternalError, BaseException)
    assert not issubclass(vorpex.InternalError, Exception)
    assert vorpex.InternalError.__module__ == "vorpex"


def test_class_docstrings():
    assert vorpex.ModelBuilder.__text_signature__ == "(data=None)"
    assert str(inspect.signature(vorpex.ModelBuilder)) == "(data=None)"
    assert vorpex.BatchResult.__doc__ == "Result for a single model in a batch run."


METHOD_SIGNATURES = {
    "normal_prior": "($self, name, mu, sigma)",
    "half_normal_prior": "($self, name, sigma)",
    "student_t_prior": "($self, name, nu, mu=0.0, sigma=1.0)",
    "uniform_prior": "($self, name, lower=0.0, upper=1.0)",
    "bernoulli_prior": "($self, name, p=0.5)",
    "poisson_prior": "($self, name, lam)",
    "gamma_prior": "($self, name, alpha, beta)",
    "beta_prior": "($self, name, alpha, beta)",
    "vector_normal_prior": "($self, name, n, mu=0.0, sigma=1.0)",
    "normal_likelihood": "($self, name, mu_expr, sigma, observed_key)",
    "build": "($self)",
}


@pytest.mark.parametrize("name,text", METHOD_SIGNATURES.items())
def test_builder_method_signatures(name, text):
    method = getattr(vorpex.ModelBuilder, name)
    assert method.__text_signature__ == text
    params = text[len("($self") :].lstrip(", ").rstrip(")")
    # On the class `self` is positional-only, as for built-in types; bound, it disappears.
    assert str(inspect.signature(method)) == "(self, /" + (", " + params if params else "") + ")"
    assert str(inspect.signature(getattr(vorpex.ModelBuilder(), name))) == "(" + params + ")"


def test_method_order_follows_the_declaration_table():
    methods = [k for k in vorpex.ModelBuilder.__dict__ if k in METHOD_SIGNATURES]
    assert methods == list(METHOD_SIGNATURES)


def test_argument_shape_errors_name_the_method():
    b = vorpex.ModelBuilder()
    with pytest.raises(TypeError, match=r"^ModelBuilder\.normal_prior\(\)"):
        b.normal_prior("a", 1.0)
    with pytest.raises(TypeError, match=r"^ModelBuilder\.build\(\)"):
        b.build(extra=1)
    with pytest.raises(TypeError):
        vorpex.ModelBuilder(None, None)
    with pytest.raises(TypeError, match="doesn't apply"):
        vorpex.ModelBuilder.build(3)


def test_keyword_and_positional_forms_are_equivalent():
    b = vorpex.ModelBuilder(data=None)
    assert isinstance(b.student_t_prior(name="t", nu=3, sigma=2.0), vorpex.ParamRef)
    assert isinstance(b.vector_normal_prior("w", n=2, mu=1.0), vorpex.VectorParamRef)


class Reenter:
    """A number whose conversion calls back into a builder while the builder is in use."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


def test_borrow_conflicts_are_reported_and_released():
    b = vorpex.ModelBuilder()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        b.student_t_prior("t", Reenter(b.build))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        b.gamma_prior("g", Reenter(lambda: b.bernoulli_prior("p")), 1.0)
    # The borrows were released: the builder is usable again.
    b.bernoulli_prior("p")
    assert isinstance(b.build(), vorpex.ModelSpec)
