"""Ctrl-C during sampling: the library installs no signal handler and polls for nothing, so a
SIGINT received while the chains run lets them finish, and the KeyboardInterrupt is raised when
the call returns; the interpreter and the library stay usable afterwards. Checked in a child
process that the test interrupts."""

import signal
import subprocess
import sys
import threading

import pytest

CHILD = r"""
import sys
import time
import numpy as np
import vorpex

entry = sys.argv[1]
rng = np.random.default_rng(1)
x = rng.normal(size=5000)
b = vorpex.ModelBuilder({"x": x, "y": 1.0 + 2.0 * x + rng.normal(size=5000)})
a = b.normal_prior("a", 0.0, 1.0)
beta = b.normal_prior("b", 0.0, 1.0)
s = b.half_normal_prior("s", 1.0)
b.normal_likelihood("obs", a + beta * "x", s, "y")
spec = b.build()
small = dict(chains=1, draws=50, warmup=50, seed=3, show_progress=False)
before = vorpex.sample(spec, **small).get_samples()

# A run of about two seconds on this machine, so that the parent sees a progress line (the
# first comes at 10 %, at a half-second tick) and interrupts it well before it ends.
t0 = time.perf_counter()
vorpex.sample(spec, chains=2, draws=1000, warmup=1000, show_progress=False)
draws = max(2000, int(2000 * 2.0 / max(time.perf_counter() - t0, 1e-3)) - 1000)
print(f"iterations: {2 * (draws + 1000)}", file=sys.stderr, flush=True)
try:
    if entry == "sample":
        vorpex.sample(spec, chains=2, draws=draws, warmup=1000, show_progress=True)
    else:
        vorpex.batch_sample([(spec, {})] * 2, draws=draws, warmup=1000, show_progress=True)
except KeyboardInterrupt:
    print("caught KeyboardInterrupt", flush=True)
else:
    print("call returned without an interrupt", flush=True)

after = vorpex.sample(spec, **small).get_samples()
assert all(np.array_equal(before[k], after[k]) for k in before)
print("still usable", flush=True)
"""


@pytest.mark.parametrize("entry", ["sample", "batch_sample"])
def test_sigint_takes_effect_when_the_call_returns(entry):
    child = subprocess.Popen([sys.executable, "-c", CHILD, entry], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    guard = threading.Timer(300, child.kill)  # a hung child fails the test instead of pytest
    guard.start()
    try:
        # The first periodic progress line (at 10 %) shows the chains are running.
        lines = []
        while True:
            line = child.stderr.readline()
            lines.append(line)
            if not line or line.startswith("Sampling:"):
                break
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        guard.cancel()
        if child.poll() is None:
            child.kill()
            child.wait()
    err = "".join(lines) + err
    assert child.returncode == 0, out + err
    assert lines[-1].startswith("Sampling:"), err
    # The run was not cut short: the progress thread reported every iteration done ...
    total = next(int(x.split()[1]) for x in lines if x.startswith("iterations:"))
    assert f"Sampling done: {total}/{total}" in err, err
    # ... and only then did the interrupt reach Python, which handled it and went on.
    assert out.splitlines() == ["caught KeyboardInterrupt", "still usable"], out + err
