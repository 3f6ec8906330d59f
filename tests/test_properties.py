"""Property tests of the whole Python surface.

Random model declarations (every prior family, valid and invalid hierarchical references,
repeated names, mean expressions of every shape, matrices, vector parameters), random data dicts
(wrong dtypes, dimensions, strides, orders and byte orders, NaN and infinities, empty arrays,
mismatched lengths) and random argument values and types for every function may end in only two
ways: a result whose keys and shapes follow from the inputs, or ValueError / TypeError /
OverflowError with a message. Any other exception -- vorpex.InternalError derives from
BaseException and is never caught here -- fails the property; a crash ends pytest with the
faulthandler traceback and a failing exit status, and a hang is cut short by the watchdog below.
Sizes that no memory can hold (a vector prior of 2**62 coordinates, 2**62 draws) are the one
other allowed outcome, a MemoryError raised at once; a test of its own covers them.

Sampling stays tiny (at most 2 chains of 20 warm-up and 20 recorded iterations), so the default
"ci" profile runs a few hundred examples per property in seconds; `--hypothesis-profile=long`
runs many more.
"""

import faulthandler
import inspect
import math
import operator
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import event, given, note, settings
from hypothesis import strategies as st

import vorpex

ALLOWED = (ValueError, TypeError, OverflowError)
NAN, INF = math.nan, math.inf


@pytest.fixture(autouse=True)
def watchdog():
    # No call polls for interrupts, so a hang inside the library cannot be cut short from Python:
    # the watchdog dumps every thread's stack and ends the process, failing the run. The budget
    # grows with the profile's example count.
    faulthandler.dump_traceback_later(120 + settings().max_examples, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


FAILED = object()


def outcome(call):
    """call()'s result, or FAILED when it raised one of the allowed errors with a message."""
    try:
        return call()
    except ALLOWED as e:
        assert str(e), f"{type(e).__name__} without a message"
        note(f"{type(e).__name__}: {e}")
        event(f"{type(e).__name__}: {str(e)[:40]}")
        return FAILED


def as_count(v):
    return operator.index(v)


# ---------------------------------------------------------------------------------------------
# Values of every kind

class Floaty:
    """Any object with __float__ is a number to the library."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"Floaty({self.v!r})"


class Index:
    """Any object with __index__ is an integer to the library."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Index({self.v!r})"


def mostly(common, rare, rare_percent=10):
    """`common` most of the time, `rare` in about `rare_percent` of the draws (shrinking towards
    `common`)."""
    # sampled_from draws uniformly; integers() would favour the ends of the range.
    return st.sampled_from(range(100)).flatmap(
        lambda k: common if k < 100 - rare_percent else rare)


SPECIAL_FLOATS = [0.0, -0.0, -1.0, 1e-300, 5e-324, 1e300, 1.7976931348623157e308, NAN, INF, -INF]
# Extreme values that are still valid for most parameters: a draw or a density may overflow.
EXTREME = [5e-324, 1e-300, 1e300, 1.7976931348623157e308, -1.7976931348623157e308, -1e300]
numbers = mostly(
    st.floats(0.1, 3.0),
    st.one_of(st.floats(-3.0, 3.0), st.sampled_from(SPECIAL_FLOATS), st.integers(-3, 3),
              st.booleans(),
              st.sampled_from([np.float32(1.5), np.float64(NAN), np.int64(2), Floaty(0.5),
                               Floaty(-INF), 10**400])),
    rare_percent=25,
)
junk = st.sampled_from([None, "1.0", b"1", [1.0], (1.0,), {}, object(), 1j, np.array([1.0, 2.0])])
floats_arg = mostly(numbers, junk, 5)


def counts(lo, hi):
    """Sizes: mostly in range, otherwise negatives, integers too large for the machine, and
    values that are not integers at all."""
    return mostly(
        st.one_of(st.integers(lo, hi), st.integers(lo, hi).map(Index),
                  st.integers(lo, hi).map(np.int64)),
        st.sampled_from([-1, -(2**70), 2**64, 2**70, 1.0, "2", None, [1], np.float64(2.0)]),
    )


# Parameter names overlap each other and the data keys on purpose (repeated names, a data key
# shadowing a parameter); now and then an odd string or a non-string.
NAMES = ["a", "b", "w", "x", "y"]
names = mostly(st.sampled_from(NAMES),
               st.sampled_from(["", "a[0]", "\u00e9\u4e2d", "a b", "\ud800", 1, None, b"a"]))
VEC_KEYS = ["x", "z", "y"]
MAT_KEYS = ["X", "Z"]

# Handles made by another builder: their names may or may not be declared in the model at hand.
_other = vorpex.ModelBuilder()
FOREIGN_REFS = [(_other.normal_prior(n, 0.0, 1.0), n) for n in ["a", "b", "q"]]
FOREIGN_VECS = [(_other.vector_normal_prior(n, 2), n) for n in ["w", "v"]]


# ---------------------------------------------------------------------------------------------
# Random models and data. A Python record of what was accepted gives the expected keys and
# shapes of every result.

def handles(pairs):
    return st.sampled_from([p[0] for p in pairs])


class Model:
    def __init__(self):
        self.priors = []       # ("scalar", name) or ("vector", name, n), accepted ones in order
        self.likelihoods = []  # (name, leaves, observed_key); leaves as made by Gen.leaf
        self.refs = []         # (ParamRef, name, keeps the value positive) of this builder
        self.vecs = []         # (VectorParamRef, name, n) of this builder
        self.matrix_refs = []  # (ParamRef, name, matrix key): scalar priors meant for @


FAMILIES = ["normal", "half_normal", "student_t", "uniform", "bernoulli", "poisson", "gamma",
            "beta", "vector_normal"]
WIDENABLE = ["normal", "half_normal", "student_t", "uniform", "gamma", "beta"]


class Gen:
    """Draws a model and its data. Without chaos every piece is valid (distinct names, values in
    range, references to earlier scalar priors, keys that exist, clean data of matching sizes),
    so the calls succeed and their results are checked; with chaos, any piece may be wrong."""

    def __init__(self, draw, chaos):
        self.draw = draw
        self.chaos = chaos
        self.n_obs = draw(st.sampled_from([4, 4, 4, 1, 0]))  # rows of every column and matrix

    def pick(self, good, bad, percent=10):
        return self.draw(mostly(good, bad, percent) if self.chaos else good)

    def value(self, lo, hi):
        return self.pick(st.floats(lo, hi), st.one_of(st.sampled_from(EXTREME), floats_arg), 20)

    # ---- declarations

    def hyper(self, model, scale, fixed=False):
        refs = [h for h, _, positive in model.refs if positive or not scale]
        good = st.floats(0.1, 3.0) if scale else st.floats(-2.0, 2.0)
        if refs and not fixed:
            good = st.one_of(good, st.sampled_from(refs))
        odd = [numbers, junk, handles(FOREIGN_REFS), handles(FOREIGN_VECS)]
        if model.refs:
            odd.append(handles(model.refs))
        if model.vecs:
            odd.append(handles(model.vecs))
        return self.pick(good, st.one_of(odd), 15)

    def prior(self, b, model, n_cols):
        family = self.draw(st.sampled_from(FAMILIES))
        taken = {p[1] for p in model.priors}
        fresh = [n for n in NAMES if n not in taken] or NAMES
        name = self.pick(st.sampled_from(fresh), names, 30)
        # Without chaos, a scalar prior of a family that can be widened may be meant for a
        # matrix product; it then keeps fixed hyperparameters and is used with @ only.
        matrix_key = None
        if not self.chaos and family in WIDENABLE and self.draw(st.sampled_from(range(4))) == 0:
            matrix_key = self.draw(st.sampled_from(MAT_KEYS))
        fixed = matrix_key is not None
        v = self.value
        if family == "normal":
            args = (self.hyper(model, False, fixed), self.hyper(model, True, fixed))
        elif family == "half_normal":
            args = (self.hyper(model, True, fixed),)
        elif family == "student_t":
            args = (v(0.5, 10.0), v(-2.0, 2.0), v(0.1, 3.0))
        elif family == "uniform":
            lower = v(-3.0, 2.0)
            width = self.pick(st.floats(0.1, 3.0), st.sampled_from([1e300, 1.7976931348623157e308]))
            upper = lower + width if type(lower) is float else v(-3.0, 3.0)
            args = (lower, upper)
        elif family == "bernoulli":
            args = (v(0.0, 1.0),)
        elif family == "poisson":
            args = (v(0.1, 5.0),)
        elif family in ("gamma", "beta"):
            args = (v(0.1, 5.0), v(0.1, 5.0))
        else:
            n = self.pick(st.sampled_from(sorted(set(n_cols.values()) | {0, 1})), counts(0, 4), 20)
            args = (n, v(-2.0, 2.0), v(0.1, 3.0))
        note(f"{family}_prior({name!r}, *{args!r})")
        handle = outcome(lambda: getattr(b, f"{family}_prior")(name, *args))
        if handle is FAILED:
            return
        if family == "vector_normal":
            assert type(handle) is vorpex.VectorParamRef
            model.priors.append(("vector", name, as_count(args[0])))
            model.vecs.append((handle, name, as_count(args[0])))
            return
        assert type(handle) is vorpex.ParamRef
        model.priors.append(("scalar", name))
        if matrix_key is not None:
            model.matrix_refs.append((handle, name, matrix_key))
            return
        positive = family in ("half_normal", "gamma", "beta") or (
            family == "uniform" and type(args[0]) is float and args[0] >= 0.0)
        model.refs.append((handle, name, positive))

    def leaf(self, model, n_cols):
        """One term of a mean expression: (ParamRef or Expr, [(kind, parameter name, key)])."""
        if self.chaos:
            kind = self.draw(st.sampled_from(["term", "mul", "mat"]))
            own = [(h, n) for h, n, _ in model.refs]
            if kind == "mat":
                own += [(h, n) for h, n, _ in model.vecs] + [(h, n) for h, n, _ in model.matrix_refs]
            foreign = FOREIGN_REFS + (FOREIGN_VECS if kind == "mat" else [])
            h, n = self.draw(mostly(st.sampled_from(own), st.sampled_from(foreign))
                             if own else st.sampled_from(foreign))
            keys = MAT_KEYS if kind == "mat" else VEC_KEYS
            key = self.draw(st.sampled_from(keys))
        else:
            options = []
            if model.refs:
                options += ["term", "mul"]
            mats = [(h, n, k) for h, n, k in model.matrix_refs]
            mats += [(h, n, k) for h, n, m in model.vecs for k in MAT_KEYS if n_cols[k] == m]
            if mats:
                options.append("mat")
            if not options:
                return None
            kind = self.draw(st.sampled_from(options))
            if kind == "mat":
                h, n, key = self.draw(st.sampled_from(mats))
            else:
                h, n, _ = self.draw(st.sampled_from(model.refs))
                key = self.draw(st.sampled_from(VEC_KEYS))
        if kind == "term":
            return h, [("term", n, None)]
        if kind == "mul":
            return h * key, [("mul", n, key)]
        return h @ key, [("mat", n, key)]

    def mean(self, model, n_cols):
        parts = [self.leaf(model, n_cols) for _ in range(self.draw(st.integers(1, 3)))]
        if None in parts:
            return None, None
        if len(parts) == 3 and self.draw(st.booleans()):  # nest to the right, not only left
            parts = [parts[0], (parts[1][0] + parts[2][0], parts[1][1] + parts[2][1])]
        expr, leaves = parts[0]
        for e, lv in parts[1:]:
            expr, leaves = expr + e, leaves + lv
        return expr, leaves

    def likelihood(self, b, model, n_cols):
        name = self.pick(st.sampled_from(["obs", "y", "a", "w[0]"]), st.sampled_from([2, None]), 5)
        if self.chaos and self.draw(st.sampled_from(range(20))) == 19:  # not an expression
            mean, leaves = self.draw(st.sampled_from([h for h, _, _ in model.vecs] + [1.0, "x", None])), []
        else:
            mean, leaves = self.mean(model, n_cols)
            if mean is None:
                return
        positive = [h for h, _, p in model.refs if p]
        good = st.one_of(st.floats(0.5, 2.0), st.sampled_from(positive)) if positive else st.floats(0.5, 2.0)
        odd = [numbers, junk, handles(FOREIGN_REFS)] + ([handles(model.refs)] if model.refs else [])
        sigma = self.pick(good, st.one_of(odd))
        observed = self.pick(st.sampled_from(VEC_KEYS), st.sampled_from(["X", 3]), 5)
        note(f"normal_likelihood({name!r}, {leaves!r}, {sigma!r}, {observed!r})")
        result = outcome(lambda: b.normal_likelihood(name, mean, sigma, observed))
        if result is not FAILED:
            assert result is None
            model.likelihoods.append((name, leaves, observed))

    def model(self, bound, n_cols):
        b = outcome(lambda: vorpex.ModelBuilder(bound))
        if b is FAILED:
            return None
        model = Model()
        for _ in range(self.draw(st.sampled_from(range(5)))):
            self.prior(b, model, n_cols)
        for _ in range(self.draw(st.sampled_from([0, 1, 1, 2]))):
            self.likelihood(b, model, n_cols)
        return b.build(), model

    # ---- data

    def data(self, n_cols, keys):
        d = {}
        for key in keys:
            if self.chaos and self.draw(st.sampled_from(range(6))) == 0:
                continue
            ndim = 1 if key in VEC_KEYS else 2
            d[key] = self.array(ndim, self.n_obs, n_cols[key] if ndim == 2 else 0)
        if self.chaos and self.draw(st.sampled_from(range(100))) == 99:
            d[self.draw(st.sampled_from([1, b"x", None]))] = np.ones(self.n_obs)
        return d

    def array(self, ndim, n_rows, n_cols):
        """An array for a data key: right, or (with chaos) now and then wrong in one of many ways."""
        shape = (n_rows,) if ndim == 1 else (n_rows, n_cols)
        good = np.random.default_rng(self.draw(st.integers(0, 2**32 - 1))).uniform(-2, 2, shape)
        kind = self.pick(st.just("good"), st.sampled_from(
            ["fortran", "readonly", "unaligned", "strided", "reversed", "broadcast", "nonfinite",
             "length", "empty", "other_ndim", "dtype", "big_endian", "zero_d", "three_d", "list",
             "scalar"]), 15)
        if kind != "good":
            note(f"{kind} array for shape {shape}")
        return make_array(self.draw, kind, good, ndim)


def make_array(draw, kind, good, ndim):
    shape = good.shape
    if kind == "good":
        return good
    if kind == "fortran":
        return np.asfortranarray(good)
    if kind == "readonly":
        good.flags.writeable = False
        return good
    if kind == "unaligned":
        raw = np.zeros(good.nbytes + 1, dtype=np.uint8)
        out = np.frombuffer(raw.data, dtype=np.float64, count=good.size, offset=1).reshape(shape)
        out[...] = good
        return out
    if kind == "strided":
        return np.repeat(good, 2, axis=0)[::2]
    if kind == "reversed":
        return good[::-1]
    if kind == "broadcast":
        return np.broadcast_to(good[:1], shape)
    if kind == "nonfinite":
        flat = good.reshape(-1)
        if flat.size:
            flat[draw(st.integers(0, flat.size - 1))] = draw(st.sampled_from([NAN, INF, -INF]))
        return good
    if kind == "length":
        return good[:-1] if draw(st.booleans()) else np.concatenate([good, good[:1]])
    if kind == "empty":
        return np.zeros((0,) if ndim == 1 else draw(st.sampled_from([(0, shape[1]), (shape[0], 0)])))
    if kind == "other_ndim":
        return good.reshape(-1) if ndim == 2 else good.reshape(-1, 1)
    if kind == "dtype":
        return good.astype(draw(st.sampled_from(
            [np.float32, np.int64, np.bool_, np.complex128, object, np.float16, np.longdouble])))
    if kind == "big_endian":
        return good.astype(">f8")
    if kind == "zero_d":
        return np.array(1.0)
    if kind == "three_d":
        return good.reshape(*shape, 1)
    if kind == "list":
        return good.tolist()
    return 1.5


@st.composite
def model_and_data(draw, chaos=None):
    """(spec, record, bound data or None, call data or None)."""
    gen = Gen(draw, draw(st.booleans()) if chaos is None else chaos)
    n_cols = {k: draw(st.integers(0, 3)) for k in MAT_KEYS}
    keys = VEC_KEYS + MAT_KEYS
    if gen.chaos:
        bound = gen.data(n_cols, keys) if draw(st.sampled_from(range(4))) == 0 else None
        call = gen.data(n_cols, keys) if draw(st.sampled_from(range(6))) else None
    else:
        # Bound data must hold every key the declarations name; the call may override any.
        where = draw(st.sampled_from(["call", "bound", "both"]))
        bound = gen.data(n_cols, keys) if where != "call" else None
        call = gen.data(n_cols, keys if where == "call" else
                        draw(st.lists(st.sampled_from(keys), unique=True))) if where != "bound" else None
    made = gen.model(bound, n_cols)
    if made is None:  # the bound data were refused: a builder without data instead
        bound = None
        made = gen.model(bound, n_cols)
    spec, model = made
    return spec, model, bound, call


def effective(bound, call):
    """The 1-D and 2-D maps a successful call used: bound data overlaid with the call's."""
    vec, mat = {}, {}
    for d in (bound or {}), (call or {}):
        for k, v in d.items():
            (vec if np.ndim(v) == 1 else mat)[k] = v
    return vec, mat


def coordinate_names(model, matrices):
    """The names of the position vector's coordinates, in order, once compilation succeeded."""
    cols = {}
    for _, leaves, _ in model.likelihoods:
        for kind, name, key in leaves:
            if kind == "mat":
                cols[name] = matrices[key].shape[1]
    out = []
    for p in model.priors:
        if p[0] == "vector":
            out += [f"{p[1]}[{i}]" for i in range(p[2])]
        elif p[1] in cols:
            out += [f"{p[1]}[{i}]" for i in range(cols[p[1]])]
        else:
            out.append(p[1])
    return out


def shapes(d):
    assert type(d) is dict
    for v in d.values():
        assert type(v) is np.ndarray and v.dtype == np.float64 and v.flags.c_contiguous
    return [(k, v.shape) for k, v in d.items()]


def keyed(pairs):
    """The dict the library builds by inserting `pairs` in order (a repeated key keeps its first
    position and takes the later value), as a list of items."""
    return list(dict(pairs).items())


# ---------------------------------------------------------------------------------------------
# Properties of the entry points over random models and data

seeds_ok = st.integers(0, 2**64 - 1)
small = st.integers(0, 20)


def check_fit(fit, model, vec, mat, chains, draws):
    names = coordinate_names(model, mat)
    draws = draws if chains else 0  # a fit's draw count is that of its first chain
    assert type(fit) is vorpex.FitResult
    assert shapes(fit.get_samples()) == keyed((n, (chains * draws,)) for n in names)
    assert shapes(fit.get_samples_2d()) == keyed((n, (chains, draws)) for n in names)
    for moments in (fit.mean(), fit.std()):
        assert list(moments) == list(dict.fromkeys(names))
        assert all(type(v) is float for v in moments.values())
    for per_chain, kind in ((fit.accept_rates(), float), (fit.step_sizes(), float),
                            (fit.divergences(), int)):
        assert len(per_chain) == chains and all(type(v) is kind for v in per_chain)
    diag = fit.diagnostics()
    assert [d["name"] for d in diag] == names
    table = fit.summary()
    assert type(table) is str and table == fit.summary()
    assert repr(fit).startswith(f"vorpex FitResult ({chains} chains \u00d7 {draws} draws)\n")
    for n in (None, 0, 3):
        used = chains * draws if n is None else min(n, chains * draws)
        expected = keyed((lik, (used, len(vec[obs]))) for lik, _, obs in model.likelihoods)
        assert shapes(fit.posterior_predictive(n, seed=5)) == expected
    # Every draw of a fit is a number: nothing is silently NaN.
    for v in fit.get_samples().values():
        assert not np.isnan(v).any()


@given(st.data())
def test_sample_on_random_models_and_data(data):
    spec, model, bound, call = data.draw(model_and_data())
    chains, draws = data.draw(st.integers(0, 2)), data.draw(small)
    kwargs = dict(chains=chains, draws=draws, warmup=data.draw(small), seed=data.draw(seeds_ok),
                  sampler=data.draw(st.sampled_from(["nuts", "hmc", "NUTS", "HMC", "Nuts"])),
                  step_size=data.draw(st.one_of(st.just(0.0), st.floats(-1.0, 2.0))),
                  max_tree_depth=data.draw(st.integers(0, 6)),
                  num_leapfrog_steps=data.draw(st.integers(0, 8)), show_progress=False)
    note(f"sample(data={call!r}, {kwargs})")
    fit = outcome(lambda: vorpex.sample(spec, call, **kwargs))
    if fit is not FAILED:
        event(f"sampled with {len(model.likelihoods)} likelihoods")
        vec, mat = effective(bound, call)
        check_fit(fit, model, vec, mat, chains, draws)


@given(st.data())
def test_prior_predictive_on_random_models_and_data(data):
    spec, model, bound, call = data.draw(model_and_data())
    n, seed = data.draw(st.integers(0, 20)), data.draw(seeds_ok)
    out = outcome(lambda: vorpex.sample_prior_predictive(spec, call, n, seed))
    if out is not FAILED:
        event(f"drawn with {len(model.likelihoods)} likelihoods")
        vec, mat = effective(bound, call)
        names = coordinate_names(model, mat)
        expected = keyed([(c, (n,)) for c in names] +
                         [(lik, (n, len(vec[obs]))) for lik, _, obs in model.likelihoods])
        assert shapes(out) == expected


@given(st.data())
def test_batch_sample_on_random_models_and_data(data):
    entries = [data.draw(model_and_data()) for _ in range(data.draw(st.integers(0, 3)))]
    draws, warmup, seed = data.draw(small), data.draw(small), data.draw(seeds_ok)
    models = [(spec, call if call is not None else {}) for spec, _, _, call in entries]
    out = outcome(lambda: vorpex.batch_sample(models, draws, warmup, seed, False))
    if out is FAILED:
        return
    event(f"sampled {len(out)} models")
    assert type(out) is list and len(out) == len(entries)
    for r, (spec, model, bound, call) in zip(out, entries):
        names = coordinate_names(model, effective(bound, call)[1])
        assert type(r) is vorpex.BatchResult
        assert shapes(r.get_samples()) == keyed((n, (draws,)) for n in names)
        assert list(r.mean()) == list(r.std()) == list(dict.fromkeys(names))
        assert type(r.accept_rate) is float and type(r.divergences) is int
        assert repr(r).startswith("BatchResult(")
        for v in r.get_samples().values():
            assert not np.isnan(v).any()


# ---------------------------------------------------------------------------------------------
# Non-finite data: refused by key and first bad index when the model uses the array

def first_bad(a):
    bad = np.argwhere(~np.isfinite(a))[0]
    return str(int(bad[0])) if a.ndim == 1 else f"[{int(bad[0])}, {int(bad[1])}]"


@given(st.data())
def test_non_finite_data_named_by_key_and_first_index(data):
    spec, model, bound, call = data.draw(model_and_data(chaos=False))
    vec, mat = effective(bound, call)
    used = {obs for _, _, obs in model.likelihoods}
    used |= {key for _, leaves, _ in model.likelihoods for _, _, key in leaves if key}
    key = data.draw(st.sampled_from(sorted(vec) + sorted(mat)))
    bad = np.array((vec | mat)[key], dtype=np.float64)  # a copy
    flat = bad.reshape(-1)
    if flat.size == 0:
        return
    for i in data.draw(st.lists(st.integers(0, flat.size - 1), min_size=1, max_size=3)):
        flat[i] = data.draw(st.sampled_from([NAN, INF, -INF]))
    call = {**(call or {}), key: bad}  # the call's array replaces a bound one
    entry = data.draw(st.sampled_from(["sample", "batch", "prior"]))
    run = {
        "sample": lambda: vorpex.sample(spec, call, chains=1, draws=3, warmup=3, show_progress=False),
        "batch": lambda: vorpex.batch_sample([(spec, call)], 3, 3, 1, False),
        "prior": lambda: vorpex.sample_prior_predictive(spec, call, 3),
    }[entry]
    if key not in used:
        run()  # arrays the model does not read are not checked
        return
    with pytest.raises(ValueError) as info:
        run()
    value = flat[np.argmax(~np.isfinite(flat))]
    what = "Data key" if bad.ndim == 1 else "Matrix key"
    assert str(info.value) == (f"{what} '{key}' holds a non-finite value "
                               f"({float(value)!r}) at index {first_bad(bad)}")


# ---------------------------------------------------------------------------------------------
# Random argument values, types and call shapes for every function and method

ODD = st.sampled_from([None, "1", b"1", 1.5, -1, 0, 2**64, -(2**70), [1], {}, (), True, False,
                       np.int64(2), np.float64(2.0), np.bool_(True), Index(2), Floaty(1.0),
                       object(), 1j, NAN])


def random_call(data, fn, good, always=()):
    """Calls fn with each parameter of its signature left out (when it has a default and is not
    in `always`), given a good value, or given an odd one; a prefix of the given ones goes by
    position, the rest by keyword; now and then an extra positional, an unknown keyword or a
    value given twice. Returns (outcome, the values the call received by name)."""
    params = [p for p in inspect.signature(fn).parameters.values() if p.name != "self"]
    values = {}
    for p in params:
        k = data.draw(st.sampled_from(range(100)))
        if k < 10 and p.default is not p.empty and p.name not in always:
            continue
        values[p.name] = data.draw(good[p.name]) if k < 88 else data.draw(ODD)
    names = [p.name for p in params]
    n_pos = 0
    while n_pos < len(names) and names[n_pos] in values and data.draw(st.booleans()):
        n_pos += 1
    args = [values[n] for n in names[:n_pos]]
    kwargs = {n: v for n, v in values.items() if n not in names[:n_pos]}
    extra = data.draw(st.sampled_from(["none"] * 17 + ["positional", "keyword", "twice"]))
    if extra == "positional":
        args = [*args, *kwargs.values(), 0]
        kwargs = {}
        if len(args) <= len(names):  # not actually one too many: make it so
            args += [0] * (len(names) + 1 - len(args))
    elif extra == "keyword":
        kwargs["no_such_argument"] = 1
    elif extra == "twice" and n_pos:
        kwargs[names[0]] = args[0]
    note(f"{getattr(fn, '__name__', fn)}(*{args!r}, **{kwargs!r})")
    result = outcome(lambda: fn(*args, **kwargs))
    if extra != "none" and (extra != "twice" or n_pos):
        assert result is FAILED, "a malformed call was accepted"
    defaults = {p.name: p.default for p in params}
    return result, {**defaults, **values}


# Start the worker pool at its default size now: a thread count below must not shrink it for the
# rest of the session.
vorpex.sample(vorpex.ModelBuilder().build(), chains=2, draws=1, warmup=1, show_progress=False)


@given(st.data())
def test_sample_arguments(data):
    spec, model, bound, call = data.draw(model_and_data(chaos=False))
    good = dict(model_spec=st.just(spec), data=st.just(call), chains=st.integers(0, 2),
                draws=small, warmup=small, seed=seeds_ok, threads=st.sampled_from([0, 1, 2]),
                step_size=st.one_of(st.floats(-1.0, 1.0), st.sampled_from([0.0, NAN, INF])),
                sampler=st.sampled_from(["nuts", "hmc", "NUTS", "HMC"]),
                max_tree_depth=st.integers(0, 8), num_leapfrog_steps=st.integers(0, 8),
                show_progress=st.sampled_from([False, False, np.bool_(False), True]))
    fit, got = random_call(data, vorpex.sample, good, always=("chains", "draws", "warmup"))
    if fit is not FAILED:
        vec, mat = effective(bound, got["data"])
        check_fit(fit, model, vec, mat, as_count(got["chains"]), as_count(got["draws"]))


@given(st.data())
def test_batch_sample_arguments(data):
    entries = [data.draw(model_and_data(chaos=False)) for _ in range(data.draw(st.integers(0, 2)))]
    pairs = [(spec, call or {}) for spec, _, _, call in entries]
    odd_models = st.sampled_from([
        "models", [pairs[0][0]] if pairs else [None], [(None, {})], [({}, None)],
        [tuple(pairs[0]) + ({},)] if pairs else [()], {"a": 1}, iter(pairs), 3,
        [[p[0], p[1]] for p in pairs], tuple(pairs), [(p[0], None) for p in pairs] or [(1, 2)],
    ])
    good = dict(models=st.one_of(st.just(pairs), st.just(pairs), odd_models), draws=small,
                warmup=small, seed=seeds_ok, show_progress=st.sampled_from([False, np.bool_(False)]))
    out, got = random_call(data, vorpex.batch_sample, good, always=("draws", "warmup"))
    if out is FAILED:
        return
    models = list(got["models"])
    assert type(out) is list and len(out) == len(models)
    if [m[0] for m in models] != [e[0] for e in entries]:
        return  # another valid sequence of pairs, such as an empty tuple
    for r, (spec, model, bound, call) in zip(out, entries):
        names = coordinate_names(model, effective(bound, call)[1])
        assert shapes(r.get_samples()) == keyed((n, (as_count(got["draws"]),)) for n in names)


@given(st.data())
def test_prior_predictive_arguments(data):
    spec, model, bound, call = data.draw(model_and_data(chaos=False))
    good = dict(model_spec=st.just(spec), data=st.just(call), n_samples=small, seed=seeds_ok)
    out, got = random_call(data, vorpex.sample_prior_predictive, good)
    if out is not FAILED:
        vec, mat = effective(bound, got["data"])
        n = as_count(got["n_samples"])
        assert shapes(out) == keyed([(c, (n,)) for c in coordinate_names(model, mat)] +
                                    [(lik, (n, len(vec[obs]))) for lik, _, obs in model.likelihoods])


def tiny_fit(data):
    spec, model, bound, call = data.draw(model_and_data(chaos=False))
    chains, draws = data.draw(st.integers(0, 2)), data.draw(st.integers(0, 5))
    fit = vorpex.sample(spec, call, chains=chains, draws=draws, warmup=5, show_progress=False)
    return fit, model, effective(bound, call)[0], chains * draws


@given(st.data())
def test_fit_result_method_arguments(data):
    fit, model, vec, total = tiny_fit(data)
    name = data.draw(st.sampled_from(["posterior_predictive", "get_samples", "get_samples_2d",
                                      "mean", "std", "accept_rates", "summary", "diagnostics",
                                      "step_sizes", "divergences"]))
    good = dict(n_samples=st.one_of(st.none(), small), seed=seeds_ok)
    out, got = random_call(data, getattr(fit, name), good)
    if out is not FAILED and name == "posterior_predictive":
        n = total if got["n_samples"] is None else min(as_count(got["n_samples"]), total)
        assert shapes(out) == keyed((lik, (n, len(vec[obs]))) for lik, _, obs in model.likelihoods)


# ArviZ builds an InferenceData per call (a fifth of a second): fewer examples. It warns about
# fits with fewer draws than chains, which are fine here.
@pytest.mark.filterwarnings("ignore::UserWarning")
@settings(max_examples=max(10, settings().max_examples // 20))
@given(st.data())
def test_to_arviz_arguments(data):
    fit, model, vec, total = tiny_fit(data)
    good = dict(include_ppc=st.sampled_from([False, True, np.bool_(True)]),
                ppc_samples=st.one_of(st.none(), small), ppc_seed=seeds_ok)
    out, got = random_call(data, fit.to_arviz, good)
    if out is not FAILED and fit.get_samples():
        assert set(out.posterior.data_vars) == set(fit.get_samples())


@given(st.data())
def test_builder_method_arguments(data):
    spec, model, bound, call = data.draw(model_and_data(chaos=False))
    b = vorpex.ModelBuilder(bound)
    r = b.normal_prior("a", 0.0, 1.0)
    w = b.vector_normal_prior("w", 2)
    expressions = st.sampled_from([r, r * "x", r + r, w @ "X", r @ "X"])
    good = dict(name=st.sampled_from(NAMES), mu=st.one_of(st.floats(-2, 2), st.just(r)),
                sigma=st.one_of(st.floats(0.1, 2), st.just(r)), nu=st.floats(0.5, 5),
                lower=st.floats(-2, 0), upper=st.floats(0.1, 2), p=st.floats(0, 1),
                lam=st.floats(0.1, 3), alpha=st.floats(0.1, 3), beta=st.floats(0.1, 3),
                n=st.integers(0, 4), mu_expr=expressions, observed_key=st.sampled_from(VEC_KEYS),
                data=st.just(bound))
    method = data.draw(st.sampled_from(
        ["normal_prior", "half_normal_prior", "student_t_prior", "uniform_prior",
         "bernoulli_prior", "poisson_prior", "gamma_prior", "beta_prior", "vector_normal_prior",
         "normal_likelihood", "build"]))
    fn = vorpex.ModelBuilder if data.draw(st.sampled_from(range(10))) == 0 else getattr(b, method)
    out, _ = random_call(data, fn, good)
    expected = {"vector_normal_prior": vorpex.VectorParamRef, "normal_likelihood": type(None),
                "build": vorpex.ModelSpec}.get(method, vorpex.ParamRef)
    if fn is vorpex.ModelBuilder:
        expected = vorpex.ModelBuilder
    assert out is FAILED or type(out) is expected
    # Whatever happened, the builder is still usable and consistent.
    assert type(b.build()) is vorpex.ModelSpec


@given(st.data())
def test_operators_on_any_operands(data):
    b = vorpex.ModelBuilder()
    r = b.normal_prior("a", 0.0, 1.0)
    w = b.vector_normal_prior("w", 2)
    handles_ = [r, w, r * "x", r + r, w @ "X"]
    others = ["x", "", 1, 1.5, None, np.float64(1.0), np.array([1.0, 2.0]), b, b.build(), [r],
              Floaty(1.0)]
    left, right = data.draw(st.sampled_from(handles_ + others)), data.draw(st.sampled_from(handles_))
    if data.draw(st.booleans()):
        left, right = right, left
    op = data.draw(st.sampled_from([operator.add, operator.mul, operator.matmul]))
    note(f"{op.__name__}({left!r}, {right!r})")
    out = outcome(lambda: op(left, right))
    assert out is FAILED or type(out) is vorpex.Expr


# ---------------------------------------------------------------------------------------------
# Instances that never ran their constructor

UNCONSTRUCTED = r"""
import copy, pickle, sys
import vorpex

base = vorpex.FitResult.__mro__[1]
for name in ["ModelSpec", "ParamRef", "VectorParamRef", "Expr", "FitResult", "BatchResult"]:
    cls = getattr(vorpex, name)
    for make in (lambda: cls(), lambda: cls.__new__(cls), lambda: object.__new__(cls),
                 lambda: base.__new__(cls)):
        try:
            make()
        except TypeError:
            continue
        sys.exit(f"{name}: an instance was made without its constructor")

b = vorpex.ModelBuilder.__new__(vorpex.ModelBuilder)
for call in (lambda: b.build(), lambda: b.normal_prior("a", 0.0, 1.0)):
    try:
        call()
    except TypeError as e:
        assert "not initialized" in str(e), e
    else:
        sys.exit("a method ran on an instance that was never initialized")
vorpex.ModelBuilder.__init__(b, None)  # initializing it late works
b.normal_prior("a", 0.0, 1.0)
try:
    b.__init__(None)
except TypeError as e:
    assert "already initialized" in str(e), e
else:
    sys.exit("__init__ ran twice")
assert type(b.build()) is vorpex.ModelSpec

spec = b.build()
for obj in (b, spec, b.normal_prior("c", 0, 1)):
    for dup in (copy.copy, copy.deepcopy, pickle.dumps):
        try:
            dup(obj)
        except TypeError:
            continue
        sys.exit(f"{type(obj).__name__} was duplicated without its constructor")
print("ok")
"""


def test_instances_without_a_constructed_record_are_refused():
    # Such an instance used to hand its methods uninitialised memory (a crash or garbage);
    # the checks run in a child so that a regression is reported rather than ending pytest.
    r = subprocess.run([sys.executable, "-c", UNCONSTRUCTED], capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stdout + r.stderr


# ---------------------------------------------------------------------------------------------
# Sizes no memory can hold

IMPOSSIBLE_SIZES = r"""
import resource, time
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))  # a regression fails, not the machine
import numpy as np
import vorpex

b = vorpex.ModelBuilder()
b.normal_likelihood("y", b.normal_prior("mu", 0.0, 1.0), 1.0, "y")
spec, data = b.build(), {"y": np.zeros(3)}
big = vorpex.ModelBuilder()
big.vector_normal_prior("w", 2**62)
wide = big.build()
q = dict(show_progress=False)
for n in (2**40, 2**62):
    for call in (
        lambda: vorpex.sample(wide, chains=1, draws=1, warmup=1, **q),
        lambda: vorpex.batch_sample([(wide, {})], 1, 1, 1, False),
        lambda: vorpex.sample_prior_predictive(wide, n_samples=1),
        lambda: vorpex.sample(spec, data, chains=n, draws=0, warmup=0, **q),
        lambda: vorpex.sample(spec, data, chains=1, draws=n, warmup=0, **q),
        lambda: vorpex.batch_sample([(spec, data)], n, 0, 1, False),
        lambda: vorpex.sample_prior_predictive(spec, data, n),
    ):
        t0 = time.perf_counter()
        try:
            call()
        except MemoryError as e:
            assert str(e)
        else:
            raise SystemExit("an impossible size was accepted")
        # Refused up front, not after filling the memory the limit allows.
        assert time.perf_counter() - t0 < 1.0, time.perf_counter() - t0
print("ok")
"""


def test_sizes_no_memory_can_hold_fail_at_once():
    # A vector prior of 2**62 coordinates used to be named coordinate by coordinate until memory
    # ran out; sizes beyond any vector's reach were ValueErrors about std::vector. Every such
    # size is now a MemoryError raised before anything is computed.
    r = subprocess.run([sys.executable, "-c", IMPOSSIBLE_SIZES], capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stdout + r.stderr


# ---------------------------------------------------------------------------------------------
# Extreme but valid prior parameters

M = 1.7976931348623157e308


def one_prior(method, *args, matrix=False):
    b = vorpex.ModelBuilder()
    p = getattr(b, method)("p", *args)
    if matrix:  # widened into one coordinate per matrix column
        b.normal_likelihood("obs", p @ "X", 1.0, "y")
    return b.build()


WIDE_DATA = {"X": np.ones((3, 2)), "y": np.zeros(3)}


@pytest.mark.parametrize("lower, upper", [(-M, M), (-1e308, 1e308), (-M, 0.5 * M)])
@pytest.mark.parametrize("matrix", [False, True])
def test_uniform_whose_width_overflows_is_refused_everywhere(lower, upper, matrix):
    # Every draw of such a prior used to come back infinite from sample() and batch_sample().
    spec = one_prior("uniform_prior", lower, upper, matrix=matrix)
    data = WIDE_DATA if matrix else {}
    calls = [lambda: vorpex.sample(spec, data, chains=1, draws=5, warmup=5, show_progress=False),
             lambda: vorpex.batch_sample([(spec, data)], 5, 5, 1, False),
             lambda: vorpex.sample_prior_predictive(spec, data, 5)]
    for call in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value).startswith("Prior 'p': ")


def test_student_t_with_the_smallest_degrees_of_freedom_draws_its_limit():
    # nu / 2 underflows to 0 for nu = 5e-324: the prior predictive stopped with an internal
    # error. Such a t variate overflows every double, so its draws are infinite.
    draws = vorpex.sample_prior_predictive(one_prior("student_t_prior", 5e-324), n_samples=20)
    assert np.isinf(draws["p"]).all()
