"""Benchmark model `batch_1000`: 1000 independent small regressions, one NUTS chain each
(300 warm-up + 500 draws), data simulated with a fixed seed.

Per model k: alpha, beta ~ normal(0, 10); sigma ~ half-normal(2);
y ~ normal(alpha + beta * x, sigma) with 50 observations.

Each tool fits the models the fastest way it offers:
- vorpex: one `batch_sample` call over all (spec, data) pairs;
- nutpie: the PyMC model is compiled once with data containers, then each model's data is
  swapped in (`with_data`) and sampled, on a pool of one thread per core (nutpie samples
  outside the interpreter lock);
- PyMC: the model and its NUTS step are compiled once, then `set_data` and `pm.sample` (one
  chain) per model, spread over one forked process per core (PyMC holds the interpreter lock
  while sampling; every `pm.sample` call resets the step's adaptation);
- NumPyro: NUTS for one model written with NumPyro's functional HMC interface and vectorised over
  the models with `jax.vmap`, compiled once (ahead of time) and run as one XLA program.

The quick mode fits the first 100 models instead of 1000 (same per-model settings).
"""

import logging
import multiprocessing
import os
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import common

NAME = "batch_1000"
KIND = "batch"
VARS = ["alpha", "beta", "sigma"]
N_MODELS, N_OBS = 1000, 50
DATA_SEED = 20240608


def adjust_settings(cfg):
    cfg["warmup"], cfg["draws"] = 300, 500
    cfg["models"] = 100 if cfg["mode"] == "quick" else N_MODELS


def data(cfg):
    rng = np.random.default_rng(DATA_SEED)
    x = rng.normal(size=(N_MODELS, N_OBS))
    alpha = rng.normal(0.0, 1.0, size=N_MODELS)
    beta = rng.normal(0.0, 1.0, size=N_MODELS)
    sigma = rng.uniform(0.5, 1.5, size=N_MODELS)
    y = alpha[:, None] + beta[:, None] * x + sigma[:, None] * rng.normal(size=(N_MODELS, N_OBS))
    m = cfg["models"]
    return {"x": np.ascontiguousarray(x[:m]), "y": np.ascontiguousarray(y[:m])}


def fit_vorpex(vx, d, cfg):
    clock = common.Clock()
    b = vx.ModelBuilder()
    alpha = b.normal_prior("alpha", 0.0, 10.0)
    beta = b.normal_prior("beta", 0.0, 10.0)
    sigma = b.half_normal_prior("sigma", 2.0)
    b.normal_likelihood("y", alpha + beta * "x", sigma, "y")
    spec = b.build()
    models = [(spec, {"x": d["x"][k], "y": d["y"][k]}) for k in range(d["x"].shape[0])]
    t = time.perf_counter()
    results = vx.batch_sample(models, draws=cfg["draws"], warmup=cfg["warmup"], seed=cfg["seed"],
                              show_progress=False)
    t_sampling = time.perf_counter() - t
    samples = [r.get_samples() for r in results]
    draws = {v: np.stack([np.asarray(s[v], dtype=np.float64) for s in samples]) for v in VARS}
    t_e2e = clock.lap()
    return common.Fit(draws=draws, t_sampling=t_sampling, t_end_to_end=t_e2e,
                      div_all=int(sum(r.divergences for r in results)),
                      method="vorpex.batch_sample, one call",
                      notes=["sampling time includes compiling the model graphs"])


def pymc_model(pm, d):
    with pm.Model() as m:
        x = pm.Data("x", d["x"][0])
        y = pm.Data("y_obs", d["y"][0])
        alpha = pm.Normal("alpha", 0.0, 10.0)
        beta = pm.Normal("beta", 0.0, 10.0)
        sigma = pm.HalfNormal("sigma", 2.0)
        pm.Normal("y", mu=alpha + beta * x, sigma=sigma, observed=y)
    return m


def _collect(per_model, warmup):
    """Stack per-model idata into (model, draw) arrays and sum leapfrog steps and divergences."""
    draws = {v: np.stack([np.asarray(p.posterior[v].values[0], dtype=np.float64)
                          for p in per_model]) for v in VARS}
    n_grad = div_draws = div_all = 0
    for p in per_model:
        n_post = common.idata_stat_sum(p, "sample_stats", "n_steps")
        n_warm = common.idata_stat_sum(p, "warmup_sample_stats", "n_steps")
        d_post = common.idata_stat_sum(p, "sample_stats", "diverging")
        d_warm = common.idata_stat_sum(p, "warmup_sample_stats", "diverging")
        n_grad = None if None in (n_grad, n_post, n_warm) else n_grad + n_post + n_warm
        div_draws = None if None in (div_draws, d_post) else div_draws + d_post
        div_all = None if None in (div_all, d_post, d_warm) else div_all + d_post + d_warm
    return draws, n_grad, div_draws, div_all


def fit_nutpie(libs, d, cfg):
    nutpie, pm = libs["nutpie"], libs["pm"]
    clock = common.Clock()
    compiled = nutpie.compile_pymc_model(pymc_model(pm, d))
    workers = os.cpu_count() or 1

    def one(k):
        ck = compiled.with_data(x=d["x"][k], y_obs=d["y"][k])
        return nutpie.sample(ck, chains=1, draws=cfg["draws"], tune=cfg["warmup"],
                             seed=cfg["seed"] + k, target_accept=common.TARGET_ACCEPT,
                             save_warmup=True, progress_bar=False)

    t = time.perf_counter()
    # nutpie samples outside the interpreter lock, so a thread pool runs models in parallel.
    with ThreadPoolExecutor(workers) as pool:
        per_model = list(pool.map(one, range(d["x"].shape[0])))
    t_sampling = time.perf_counter() - t
    draws, n_grad, div_draws, div_all = _collect(per_model, cfg["warmup"])
    t_e2e = clock.lap()
    return common.Fit(draws=draws, t_sampling=t_sampling, t_end_to_end=t_e2e, n_grad=n_grad,
                      div_draws=div_draws, div_all=div_all,
                      method=f"nutpie: compiled once, with_data + sample per model, "
                             f"{workers} threads")


# The PyMC model and its compiled NUTS step, made in the parent and inherited by forked workers.
_PYMC = {}


def _pymc_fit_one(k):
    pm, model, step, d, cfg = (_PYMC[n] for n in ("pm", "model", "step", "d", "cfg"))
    W, D = cfg["warmup"], cfg["draws"]
    with model, warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # tuning draws kept on purpose
        pm.set_data({"x": d["x"][k], "y_obs": d["y"][k]})
        tr = pm.sample(draws=D, tune=W, chains=1, cores=1, step=step, random_seed=cfg["seed"] + k,
                       progressbar=False, compute_convergence_checks=False,
                       return_inferencedata=False, discard_tuned_samples=False)
    steps = np.asarray(tr.get_sampler_stats("tree_size"))  # leapfrog steps
    div = np.asarray(tr.get_sampler_stats("diverging"))
    return ({v: np.asarray(tr.get_values(v)[W:], dtype=np.float64) for v in VARS},
            int(steps.sum()), int(div[W:].sum()), int(div.sum()))


def fit_pymc(libs, d, cfg):
    pm = libs["pm"]
    clock = common.Clock()
    model = pymc_model(pm, d)
    with model:
        step = pm.NUTS(target_accept=common.TARGET_ACCEPT)
    _PYMC.update(pm=pm, model=model, step=step, d=d, cfg=cfg)
    workers = os.cpu_count() or 1
    logging.getLogger("pymc").setLevel(logging.WARNING)  # one "Sampling 1 chain" line per model
    t = time.perf_counter()
    # PyMC samples under the interpreter lock; forked processes, each holding the step compiled
    # above, run the models in parallel. Each pm.sample call resets the step's adaptation.
    n = d["x"].shape[0]
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        results = pool.map(_pymc_fit_one, range(n), chunksize=max(1, n // (4 * workers)))
    t_sampling = time.perf_counter() - t
    draws = {v: np.stack([r[0][v] for r in results]) for v in VARS}
    t_e2e = clock.lap()
    return common.Fit(draws=draws, t_sampling=t_sampling, t_end_to_end=t_e2e,
                      n_grad=sum(r[1] for r in results), div_draws=sum(r[2] for r in results),
                      div_all=sum(r[3] for r in results),
                      method=f"PyMC: model + NUTS step compiled once, set_data + pm.sample per "
                             f"model, {workers} forked processes")


def numpyro_model(numpyro, dist, x, y):
    alpha = numpyro.sample("alpha", dist.Normal(0.0, 10.0))
    beta = numpyro.sample("beta", dist.Normal(0.0, 10.0))
    sigma = numpyro.sample("sigma", dist.HalfNormal(2.0))
    numpyro.sample("y", dist.Normal(alpha + beta * x, sigma), obs=y)


def fit_numpyro(libs, d, cfg):
    jax, numpyro, dist = libs["jax"], libs["numpyro"], libs["dist"]
    jnp = jax.numpy
    from numpyro.infer.hmc import hmc
    from numpyro.infer.util import initialize_model

    clock = common.Clock()
    W, D = cfg["warmup"], cfg["draws"]
    X, Y = jnp.asarray(d["x"]), jnp.asarray(d["y"])

    def model(x, y):
        return numpyro_model(numpyro, dist, x, y)

    key = jax.random.PRNGKey(cfg["seed"])
    # The model's potential as a function of its data, traced once with model 0's data.
    _, potential_fn_gen, postprocess_fn_gen, _ = initialize_model(
        key, model, model_args=(X[0], Y[0]), dynamic_args=True)
    init_kernel, sample_kernel = hmc(potential_fn_gen=potential_fn_gen, algo="NUTS")

    def one_model(key, x, y):
        k_init, k_run = jax.random.split(key)
        # NumPyro's default initialisation: uniform in (-2, 2) on the unconstrained scale.
        ks = jax.random.split(k_init, len(VARS))
        z0 = {v: jax.random.uniform(ks[i], (), minval=-2.0, maxval=2.0) for i, v in enumerate(VARS)}
        state = init_kernel(z0, num_warmup=W, target_accept_prob=common.TARGET_ACCEPT,
                            model_args=(x, y), rng_key=k_run)

        def body(s, _):
            s = sample_kernel(s, model_args=(x, y))
            return s, (s.z, s.num_steps, s.diverging)

        _, (zs, steps, div) = jax.lax.scan(body, state, None, length=W + D)
        constrained = jax.vmap(postprocess_fn_gen(x, y))(zs)
        return {v: constrained[v][W:] for v in VARS}, steps, div

    keys = jax.random.split(key, X.shape[0])
    fn = jax.jit(jax.vmap(one_model))
    t = time.perf_counter()
    compiled = fn.lower(keys, X, Y).compile()
    t_compile = time.perf_counter() - t
    t = time.perf_counter()
    out = jax.block_until_ready(compiled(keys, X, Y))
    t_sampling = time.perf_counter() - t
    samples, steps, div = out
    draws = {v: np.asarray(samples[v], dtype=np.float64) for v in VARS}
    steps, div = np.asarray(steps), np.asarray(div)
    t_e2e = clock.lap()
    return common.Fit(draws=draws, t_sampling=t_sampling, t_end_to_end=t_e2e,
                      n_grad=int(steps.sum()), div_draws=int(div[:, W:].sum()),
                      div_all=int(div.sum()),
                      method="NumPyro: functional NUTS, jax.vmap over models, one XLA program",
                      notes=[f"compiled ahead of time in {t_compile:.2f} s (not in sampling time)"])


if __name__ == "__main__":
    common.main(__import__(__name__))
