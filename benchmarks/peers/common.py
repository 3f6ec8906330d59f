"""Shared helpers of the peer benchmarks: data, run settings, timing, and the per-run record.

Every model script (blr.py, radon_pooled.py, ...) defines its data and one fit function per tool
and hands itself to `main()`. `main()` runs exactly one (tool, seed) fit in this process, computes
the figures every tool is judged by (ArviZ bulk ESS and MCSE of the mean, on every tool's draws,
so there is one estimator for all), and writes a JSON record that the driver `run` collects.

One fit per process keeps the tools from sharing in-process caches (JIT caches, compiled
functions) between repetitions, so every repetition pays the cost a user's fresh session pays.
Library imports are timed separately and are not part of end-to-end time.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path

# Every tool runs its four chains in parallel on the cores; a BLAS library that also spreads each
# matrix-vector product over all cores oversubscribes them (on a busy 2-core machine a 16 MB
# product took 8 times longer with two BLAS threads than with one). So BLAS gets one thread per
# chain, for every tool alike, unless the caller sets these variables. Set before NumPy loads.
BLAS_THREAD_VARS = ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "OMP_NUM_THREADS")
for _v in BLAS_THREAD_VARS:
    os.environ.setdefault(_v, "1")

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent

TOOLS = ("vorpex", "nutpie", "pymc", "numpyro")

# Settings shared by every tool. The target acceptance is vorpex's fixed value.
TARGET_ACCEPT = 0.8
CHAINS = 4
FULL = {"warmup": 1000, "draws": 1000}
QUICK = {"warmup": 300, "draws": 300}

# Exit code a model script uses when the tool's library is not importable.
EXIT_NOT_INSTALLED = 3


class NotInstalled(Exception):
    """The tool's library cannot be imported in this interpreter."""


@dataclass
class Fit:
    """What one tool's fit hands back; `main()` turns it into the JSON record.

    draws: parameter name -> array (chains, draws) for a multi-chain fit, or (models, draws) for
        a batch fit (one chain per model); vector parameters already flattened to "name[i]".
    t_sampling: seconds spent sampling (warm-up + draws), without building or compiling.
    t_end_to_end: seconds from the start of model construction until the draws are NumPy arrays.
    n_grad: total leapfrog steps (= gradient evaluations) over warm-up and draws, or None where
        the tool does not report them.
    div_draws / div_all: divergent transitions among the recorded draws / over warm-up and draws;
        None where the tool does not report that count.
    """

    draws: dict
    t_sampling: float
    t_end_to_end: float
    n_grad: int | None = None
    div_draws: int | None = None
    div_all: int | None = None
    method: str = ""
    notes: list = field(default_factory=list)


def settings(mode: str) -> dict:
    return dict(QUICK if mode == "quick" else FULL)


# ----------------------------------------------------------------------------------------------
# Data


def posteriordb_dir() -> Path:
    """Where the posteriordb extracts live: $VORPEX_POSTERIORDB, or shared/posteriordb inside or
    beside the repository."""
    candidates = []
    if os.environ.get("VORPEX_POSTERIORDB"):
        candidates.append(Path(os.environ["VORPEX_POSTERIORDB"]))
    candidates += [REPO / "shared" / "posteriordb", REPO.parent / "shared" / "posteriordb"]
    for c in candidates:
        if (c / "sblrc.json").exists():
            return c
    raise FileNotFoundError(
        "posteriordb data not found; looked in " + ", ".join(str(c) for c in candidates)
        + " (set VORPEX_POSTERIORDB)")


def load_json(name: str):
    with open(posteriordb_dir() / name) as f:
        return json.load(f)


def radon() -> dict:
    d = load_json("radon_mn.json")
    return {
        "floor": np.asarray(d["floor_measure"], dtype=np.float64),
        "log_radon": np.asarray(d["log_radon"], dtype=np.float64),
        # county_idx counts from 1 in the file
        "county": np.asarray(d["county_idx"], dtype=np.int64) - 1,
        "J": int(d["J"]),
    }


# ----------------------------------------------------------------------------------------------
# Helpers for the fit functions


def flatten_draws(named: dict, lead: int = 2) -> dict:
    """Turn {name: array(lead dims..., *shape)} into {name or name[i]: array(lead dims)}, float64.
    Multi-dimensional parameter shapes are flattened in C order."""
    out = {}
    for name, arr in named.items():
        a = np.asarray(arr, dtype=np.float64)
        if a.ndim == lead:
            out[name] = np.ascontiguousarray(a)
        else:
            flat = a.reshape(a.shape[:lead] + (-1,))
            for i in range(flat.shape[-1]):
                out[f"{name}[{i}]"] = np.ascontiguousarray(flat[..., i])
    return out


def idata_draws(idata, var_names) -> dict:
    """Draws of the named variables from an InferenceData posterior, as (chain, draw) arrays."""
    return flatten_draws({v: idata.posterior[v].values for v in var_names})


def idata_stat_sum(idata, group: str, name: str):
    """Sum of a sample-stats variable in `group`, or None where the group or variable is absent."""
    if group not in idata.groups():
        return None
    ds = getattr(idata, group)
    if name not in ds:
        return None
    return int(np.asarray(ds[name].values).sum())


# ----------------------------------------------------------------------------------------------
# Figures


def _arviz():
    import arviz as az
    return az


def chain_figures(draws: dict) -> dict:
    """Bulk ESS, mean and MCSE of the mean per parameter, from (chain, draw) arrays."""
    az = _arviz()
    ds = az.convert_to_dataset({k: v for k, v in draws.items()})
    ess = az.ess(ds, method="bulk")
    mcse = az.mcse(ds, method="mean")
    out = {}
    for k, v in draws.items():
        out[k] = {
            "mean": float(np.mean(v)),
            "ess_bulk": float(ess[k].values),
            "mcse_mean": float(mcse[k].values),
        }
    return out


def batch_figures(draws: dict) -> dict:
    """Per-model bulk ESS, mean and MCSE from (model, draw) arrays: each model is one chain."""
    az = _arviz()
    # ArviZ reads an array as (chain, draw, *shape); put the models on the shape axis.
    ds = az.convert_to_dataset({k: np.ascontiguousarray(v.T)[None, :, :] for k, v in draws.items()})
    ess = az.ess(ds, method="bulk")
    mcse = az.mcse(ds, method="mean")
    out = {}
    for k, v in draws.items():
        out[k] = {
            "mean": np.mean(v, axis=1).tolist(),
            "ess_bulk": np.asarray(ess[k].values, dtype=float).tolist(),
            "mcse_mean": np.asarray(mcse[k].values, dtype=float).tolist(),
        }
    return out


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def versions(mods) -> dict:
    """Versions of the named distributions, as installed in this interpreter."""
    from importlib import metadata
    out = {"python": platform.python_version()}
    for m in mods:
        try:
            out[m] = metadata.version(m)
        except metadata.PackageNotFoundError:
            mod = sys.modules.get(m)
            out[m] = getattr(mod, "__version__", "unknown") if mod else "unknown"
    return out


# ----------------------------------------------------------------------------------------------
# Process entry point


def _prepare_env(tool: str):
    """Environment settings that must precede the tool's import."""
    if tool == "numpyro":
        # Run NumPyro's chains in parallel on the CPU, one XLA host device per chain.
        os.environ.setdefault("JAX_PLATFORMS", "cpu")
        flags = os.environ.get("XLA_FLAGS", "")
        if "xla_force_host_platform_device_count" not in flags:
            os.environ["XLA_FLAGS"] = (flags + f" --xla_force_host_platform_device_count={CHAINS}").strip()


def main(module):
    """Run one fit of `module` (a model script) as asked on the command line."""
    ap = argparse.ArgumentParser(description=f"one benchmark fit of model {module.NAME}")
    ap.add_argument("--tool", required=True, choices=TOOLS)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--mode", choices=("quick", "full"), default="quick")
    ap.add_argument("--out", help="write the JSON record here (default: stdout)")
    args = ap.parse_args()

    _prepare_env(args.tool)
    cfg = settings(args.mode)
    cfg["seed"] = args.seed
    cfg["mode"] = args.mode
    if hasattr(module, "adjust_settings"):
        module.adjust_settings(cfg)

    record = {"model": module.NAME, "tool": args.tool, "seed": args.seed, "mode": args.mode,
              "settings": cfg, "cpu": cpu_model(), "cores": os.cpu_count(),
              "blas_threads": {v: os.environ.get(v) for v in BLAS_THREAD_VARS}}
    rc = 0
    try:
        data = module.data(cfg)
        fit_fn = getattr(module, "fit_" + args.tool)
        t = time.perf_counter()
        importer = getattr(module, "import_" + args.tool, None) or IMPORTERS[args.tool]
        try:
            libs = importer()
        except ImportError as e:
            raise NotInstalled(f"{args.tool} not importable: {e}") from None
        record["t_import"] = time.perf_counter() - t
        record["versions"] = versions(VERSION_PACKAGES[args.tool])
        if args.tool == "vorpex":
            record["versions"]["vorpex_module"] = getattr(libs, "__file__", "?")
        fit = fit_fn(libs, data, cfg)
        kind = getattr(module, "KIND", "chains")
        figs = batch_figures(fit.draws) if kind == "batch" else chain_figures(fit.draws)
        record.update({
            "status": "ok", "kind": kind,
            "t_sampling": fit.t_sampling, "t_end_to_end": fit.t_end_to_end,
            "n_grad": fit.n_grad, "div_draws": fit.div_draws, "div_all": fit.div_all,
            "method": fit.method, "notes": fit.notes, "params": figs,
        })
    except NotInstalled as e:
        record.update({"status": "not installed", "error": str(e)})
        rc = EXIT_NOT_INSTALLED
    except Exception as e:  # reported by the driver in the table, not hidden
        traceback.print_exc()
        record.update({"status": "failed", "error": f"{type(e).__name__}: {e}"})
        rc = 1
    text = json.dumps(record)
    if args.out:
        Path(args.out).write_text(text)
    else:
        print(text)
    sys.exit(rc)


def _import_vorpex():
    import vorpex
    return vorpex


def _import_nutpie():
    import nutpie
    import pymc
    return {"nutpie": nutpie, "pm": pymc}


def _import_pymc():
    import pymc
    return {"pm": pymc}


def _import_numpyro():
    import jax
    import numpyro
    import numpyro.distributions as dist
    # Every tool samples in double precision; NumPyro's default is single.
    numpyro.enable_x64()
    return {"jax": jax, "numpyro": numpyro, "dist": dist}


IMPORTERS = {"vorpex": _import_vorpex, "nutpie": _import_nutpie, "pymc": _import_pymc,
             "numpyro": _import_numpyro}

VERSION_PACKAGES = {
    "vorpex": ["vorpex", "numpy", "arviz"],
    "nutpie": ["nutpie", "pymc", "pytensor", "numba", "arviz"],
    "pymc": ["pymc", "pytensor", "arviz"],
    "numpyro": ["numpyro", "jax", "jaxlib", "arviz"],
}


# ----------------------------------------------------------------------------------------------
# Tool runners shared by the multi-chain models. Each model script supplies the model itself
# (a PyMC model factory, a NumPyro model function, or a vorpex spec factory) and its parameter
# names; these functions time and run it the same way for every model.


class Clock:
    """Wall clock started at construction; `lap()` gives seconds since then."""

    def __init__(self):
        self.t0 = time.perf_counter()

    def lap(self) -> float:
        return time.perf_counter() - self.t0


def run_vorpex(vx, build_spec, data: dict, cfg: dict, method="vorpex.sample") -> Fit:
    """build_spec(vx) -> ModelSpec; `data` is the vorpex data dict (float64 arrays)."""
    clock = Clock()
    spec = build_spec(vx)
    t = time.perf_counter()
    fit = vx.sample(spec, data=data, chains=CHAINS, draws=cfg["draws"], warmup=cfg["warmup"],
                    seed=cfg["seed"], show_progress=False)
    t_sampling = time.perf_counter() - t
    draws = {k: np.asarray(v, dtype=np.float64) for k, v in fit.get_samples_2d().items()}
    t_e2e = clock.lap()
    # Divergences among the recorded draws come from the per-draw flags of the export (outside
    # the timed region); the per-chain counts cover warm-up and draws.
    div_draws = None
    try:
        div_draws = int(np.asarray(fit.to_arviz().sample_stats["diverging"]).sum())
    except Exception:  # ArviZ missing in this environment: leave the figure out
        pass
    return Fit(draws=draws, t_sampling=t_sampling, t_end_to_end=t_e2e,
               n_grad=None, div_draws=div_draws, div_all=int(sum(fit.divergences())), method=method,
               notes=["sampling time includes compiling the model graph (not reported apart)"])


def fit_from_idata(idata, draws, t_sampling: float, t_e2e: float, method: str) -> Fit:
    """A Fit whose leapfrog steps and divergences (warm-up and draws) are read from the sampler
    statistics of an InferenceData that kept its warm-up."""
    n_post = idata_stat_sum(idata, "sample_stats", "n_steps")
    n_warm = idata_stat_sum(idata, "warmup_sample_stats", "n_steps")
    d_post = idata_stat_sum(idata, "sample_stats", "diverging")
    d_warm = idata_stat_sum(idata, "warmup_sample_stats", "diverging")
    return Fit(draws=draws, t_sampling=t_sampling, t_end_to_end=t_e2e,
               n_grad=None if n_post is None or n_warm is None else n_post + n_warm,
               div_draws=d_post, div_all=None if d_post is None or d_warm is None else d_post + d_warm,
               method=method)


def run_nutpie(libs, make_model, var_names, cfg: dict) -> Fit:
    """make_model(pm) -> pm.Model; sampled by nutpie with its default compiled backend."""
    nutpie, pm = libs["nutpie"], libs["pm"]
    clock = Clock()
    model = make_model(pm)
    compiled = nutpie.compile_pymc_model(model)
    t = time.perf_counter()
    idata = nutpie.sample(compiled, chains=CHAINS, draws=cfg["draws"], tune=cfg["warmup"],
                          seed=cfg["seed"], target_accept=TARGET_ACCEPT, save_warmup=True,
                          progress_bar=False)
    t_sampling = time.perf_counter() - t
    draws = idata_draws(idata, var_names)
    t_e2e = clock.lap()
    return fit_from_idata(idata, draws, t_sampling, t_e2e,
                          "nutpie.sample on a PyMC model (numba backend)")


def run_pymc(libs, make_model, var_names, cfg: dict) -> Fit:
    """make_model(pm) -> pm.Model; sampled by PyMC's own NUTS, default initialisation."""
    pm = libs["pm"]
    # PyMC's default process count is half the logical CPUs (it assumes hyper-threading); the
    # other tools run their chains on every core, so PyMC gets the same.
    cores = min(CHAINS, os.cpu_count() or 1)
    clock = Clock()
    model = make_model(pm)
    with model:
        idata = pm.sample(draws=cfg["draws"], tune=cfg["warmup"], chains=CHAINS, cores=cores,
                          random_seed=cfg["seed"], target_accept=TARGET_ACCEPT,
                          nuts_sampler="pymc", progressbar=False,
                          discard_tuned_samples=False, compute_convergence_checks=False)
    draws = idata_draws(idata, var_names)
    t_e2e = clock.lap()
    # PyMC times its own sampling loop (after compiling and initialising).
    t_sampling = float(idata.posterior.attrs["sampling_time"])
    return fit_from_idata(idata, draws, t_sampling, t_e2e,
                          f"pm.sample, NUTS, chains in {cores} processes" if cores > 1
                          else "pm.sample, NUTS, chains in sequence")


class CompileTimer:
    """Sums JAX's compile-phase event durations (tracing, lowering, XLA compile) while active, so
    that NumPyro's sampling time can be reported without its JIT compilation."""

    EVENTS = ("/jax/core/compile/",)

    def __init__(self, jax):
        import jax.monitoring as mon
        self.total = 0.0
        self.active = False
        mon.register_event_duration_secs_listener(self._listen)

    def _listen(self, name, duration, **kwargs):
        if self.active and any(name.startswith(p) for p in self.EVENTS):
            self.total += duration


def run_numpyro(libs, model_fn, model_args: tuple, var_names, cfg: dict) -> Fit:
    """model_fn(numpyro, dist, *model_args) is the NumPyro model; NUTS on the JAX CPU backend,
    chains in parallel on one XLA host device each."""
    jax, numpyro = libs["jax"], libs["numpyro"]
    from numpyro.infer import MCMC, NUTS

    ctimer = CompileTimer(jax)
    clock = Clock()

    def model(*a):
        return model_fn(numpyro, libs["dist"], *a)

    args = tuple(jax.numpy.asarray(a) for a in model_args)
    mcmc = MCMC(NUTS(model, target_accept_prob=TARGET_ACCEPT), num_warmup=cfg["warmup"],
                num_samples=cfg["draws"], num_chains=CHAINS, chain_method="parallel",
                progress_bar=False)
    n_iter = cfg["warmup"] + cfg["draws"]
    collect_warmup = hasattr(mcmc, "_set_collection_params")
    if collect_warmup:
        # Keep the warm-up iterations' statistics too, in the same single run (same sampler, one
        # compilation), so that leapfrog steps and divergences cover warm-up and draws.
        mcmc._set_collection_params(0, n_iter, n_iter, "sample")
    t = time.perf_counter()
    ctimer.active = True
    mcmc.run(jax.random.PRNGKey(cfg["seed"]), *args, extra_fields=("num_steps", "diverging"))
    samples = mcmc.get_samples(group_by_chain=True)
    extra = mcmc.get_extra_fields(group_by_chain=True)
    jax.block_until_ready((samples, extra))
    ctimer.active = False
    t_sampling = time.perf_counter() - t - ctimer.total
    samples = {k: np.asarray(v) for k, v in samples.items() if k in var_names}
    steps = np.asarray(extra["num_steps"])
    div = np.asarray(extra["diverging"])
    if collect_warmup and steps.shape[1] == n_iter:
        w = cfg["warmup"]
        samples = {k: v[:, w:] for k, v in samples.items()}
        n_grad = int(steps.sum())
        div_draws, div_all = int(div[:, w:].sum()), int(div.sum())
    else:
        n_grad, div_draws, div_all = None, int(div.sum()), None
    draws = flatten_draws(samples)
    t_e2e = clock.lap()
    return Fit(draws=draws, t_sampling=t_sampling, t_end_to_end=t_e2e, n_grad=n_grad,
               div_draws=div_draws, div_all=div_all,
               method="numpyro NUTS, JAX CPU, 4 parallel chains, float64",
               notes=[f"sampling time excludes {ctimer.total:.2f} s of JIT compilation"])
