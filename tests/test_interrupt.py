"""Ctrl-C during sampling: the library installs no signal handler and polls for nothing, so a
SIGINT received while the chains run lets them finish, and the KeyboardInterrupt is raised when
the call returns; the interpreter and the library stay usable afterwards. Checked in a child
process that the test interrupts."""

import signal
import subprocess
import sys
import time

import pytest

CHILD = r"""
import sys
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

# Long enough (a few seconds) for the parent to interrupt it once the progress line shows.
try:
    if entry == "sample":
        vorpex.sample(spec, chains=2, draws=30000, warmup=1000, show_progress=True)
    else:
        vorpex.batch_sample([(spec, {})] * 2, draws=30000, warmup=1000, show_progress=True)
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
    try:
        # The first periodic progress line (at 10 %) shows the chains are running.
        lines = []
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            line = child.stderr.readline()
            if not line:
                break
            lines.append(line)
            if line.startswith("Sampling:"):
                child.send_signal(signal.SIGINT)
                break
        else:
            pytest.fail("the child did not start sampling in time")
        out, err = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    err = "".join(lines) + err
    assert child.returncode == 0, out + err
    # The run was not cut short: the progress thread reported every iteration done ...
    assert "Sampling done: 62000/62000" in err, err
    # ... and only then did the interrupt reach Python, which handled it and went on.
    assert out.splitlines() == ["caught KeyboardInterrupt", "still usable"], out + err
