"""Calls from many Python threads at once: sample(), batch_sample(), sample_prior_predictive() and
the FitResult methods give exactly the results of the same calls made one after another, on
shared and on separate specs, and the borrow rule reports a conflict only when Python code runs
inside a call on the same instance."""

import threading
import time

import numpy as np
import vorpex

THREADS = 8
RNG = np.random.default_rng(7)
N = 30
DATA = {"x": RNG.normal(size=N), "X": RNG.normal(size=(N, 3))}
DATA["y"] = 0.5 + 1.5 * DATA["x"] + DATA["X"] @ np.array([0.3, -0.2, 0.1]) + RNG.normal(size=N)
TINY = dict(draws=150, warmup=150, show_progress=False)


def regression():
    b = vorpex.ModelBuilder(DATA)
    a = b.normal_prior("alpha", 0.0, 2.0)
    beta = b.normal_prior("beta", 0.0, 2.0)
    w = b.vector_normal_prior("w", 3)
    s = b.half_normal_prior("sigma", 1.0)
    b.normal_likelihood("obs", a + beta * "x" + w @ "X", s, "y")
    return b.build()


def hierarchical():
    b = vorpex.ModelBuilder()
    tau = b.half_normal_prior("tau", 1.0)
    mu = b.normal_prior("mu", 0.0, tau)
    b.normal_likelihood("obs", mu, 1.0, "y")
    return b.build()


SHARED = regression()


def run_all(tasks):
    """Runs every task from THREADS threads started together; returns the results by task index
    and the exceptions raised."""
    results = [None] * len(tasks)
    errors = []
    barrier = threading.Barrier(THREADS)

    def worker(k):
        barrier.wait()
        for i in range(k, len(tasks), THREADS):
            try:
                results[i] = tasks[i]()
            except BaseException as e:  # noqa: BLE001 -- reported by the test
                errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
        assert not t.is_alive(), "a thread did not finish"
    return results, errors


def assert_same(a, b):
    if isinstance(a, dict):
        assert list(a) == list(b)
        for k in a:
            assert_same(a[k], b[k])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            assert_same(x, y)
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b)
    elif isinstance(a, float):
        assert a == b or (np.isnan(a) and np.isnan(b))
    else:
        assert a == b


def fit_view(fit):
    return [fit.get_samples_2d(), fit.step_sizes(), fit.accept_rates(), fit.divergences(),
            fit.posterior_predictive(10, seed=3)]


def batch_view(results):
    return [(r.get_samples(), r.accept_rate, r.divergences) for r in results]


def entry_tasks():
    """A mix of the three entry points, on the shared spec and on a spec made per task."""
    tasks = []
    for i in range(3 * THREADS):
        seed = 100 + i
        kind = i % 4
        if kind == 0:
            tasks.append(lambda seed=seed: fit_view(vorpex.sample(SHARED, chains=2, seed=seed, **TINY)))
        elif kind == 1:
            tasks.append(lambda seed=seed: fit_view(vorpex.sample(
                hierarchical(), {"y": DATA["y"]}, chains=2, seed=seed, sampler="hmc", **TINY)))
        elif kind == 2:
            tasks.append(lambda seed=seed: batch_view(vorpex.batch_sample(
                [(SHARED, {}), (hierarchical(), {"y": DATA["y"]})], seed=seed, draws=40,
                warmup=40, show_progress=False)))
        else:
            tasks.append(lambda seed=seed: vorpex.sample_prior_predictive(SHARED, n_samples=50, seed=seed))
    return tasks


def test_entry_points_from_many_threads_match_serial_calls():
    tasks = entry_tasks()
    serial = [t() for t in tasks]
    for _ in range(2):
        results, errors = run_all(tasks)
        assert errors == []
        for got, want in zip(results, serial):
            assert_same(got, want)


def test_fit_result_methods_on_one_fit_from_many_threads():
    fit = vorpex.sample(SHARED, chains=2, seed=5, **TINY)
    calls = [fit.get_samples, fit.get_samples_2d, fit.mean, fit.std, fit.accept_rates,
             fit.summary, fit.diagnostics, fit.step_sizes, fit.divergences, fit.__repr__,
             lambda: fit.posterior_predictive(), lambda: fit.posterior_predictive(7, seed=11)]
    tasks = calls * 4
    serial = [t() for t in tasks]
    results, errors = run_all(tasks)
    assert errors == []
    for got, want in zip(results, serial):
        assert_same(got, want)


def test_declarations_on_one_builder_from_many_threads():
    # Plain arguments run no Python code inside a declaration, so threads never meet a borrow.
    b = vorpex.ModelBuilder()
    tasks = [lambda k=k: b.normal_prior(f"p{k}", 0.0, 1.0) for k in range(20 * THREADS)]
    tasks += [b.build] * THREADS
    results, errors = run_all(tasks)
    assert errors == []
    draws = vorpex.sample_prior_predictive(b.build(), n_samples=1)
    assert sorted(draws) == sorted(f"p{k}" for k in range(20 * THREADS))


class Slow:
    """A number whose conversion runs Python code that lets other threads run in the middle of
    the call (a sleep releases the interpreter lock)."""

    def __init__(self, started):
        self.started = started

    def __float__(self):
        self.started.set()
        time.sleep(0.3)
        return 1.0

    def __index__(self):
        self.started.set()
        time.sleep(0.3)
        return 2


def while_inside(call, other):
    """Starts `call` on a thread, runs `other` once Python code runs inside `call`, and returns
    other's exception (or None) after `call` finished without one."""
    started = threading.Event()
    failure = []

    def run():
        try:
            call(Slow(started))
        except BaseException as e:  # noqa: BLE001
            failure.append(e)

    t = threading.Thread(target=run)
    t.start()
    assert started.wait(30)
    try:
        other()
        raised = None
    except BaseException as e:  # noqa: BLE001
        raised = e
    t.join()
    assert failure == []
    return raised


def test_borrow_conflicts_only_where_python_code_runs_inside_a_call():
    b = vorpex.ModelBuilder()
    declare = lambda v: b.gamma_prior("g", v, 1.0)  # noqa: E731
    # A read or another declaration of the builder while a declaration runs Python code.
    e = while_inside(declare, b.build)
    assert type(e) is RuntimeError and str(e) == "Already mutably borrowed"
    e = while_inside(declare, lambda: b.normal_prior("n", 0.0, 1.0))
    assert type(e) is RuntimeError and str(e) == "Already borrowed"
    # Other instances, and readers of the same spec, are never in conflict.
    assert while_inside(declare, lambda: vorpex.ModelBuilder().normal_prior("n", 0.0, 1.0)) is None
    spec = b.build()
    reader = lambda v: vorpex.sample(spec, chains=v, draws=5, warmup=5, show_progress=False)  # noqa: E731
    assert while_inside(reader, lambda: vorpex.sample(spec, chains=1, draws=5, warmup=5,
                                                      show_progress=False)) is None
    assert while_inside(reader, lambda: vorpex.sample_prior_predictive(spec, n_samples=5)) is None
    assert while_inside(reader, lambda: vorpex.batch_sample([(spec, {})], 5, 5, 1, False)) is None
    # The three declarations that ran went in; the conflicting ones left no trace.
    fit = vorpex.sample(b.build(), chains=1, draws=2, warmup=2, show_progress=False)
    assert [d["name"] for d in fit.diagnostics()] == ["g", "g", "g"]
