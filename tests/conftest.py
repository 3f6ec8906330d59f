"""Shared pytest set-up: the tests import the built extension module `vorpex`."""

import vorpex  # noqa: F401  (fails early and clearly when the extension is not on the path)

from hypothesis import HealthCheck, settings  # noqa: E402

# Property-test budgets. "ci" is the default: a few hundred examples per property, no per-example
# deadline (sampling times vary on a loaded machine). "long" is for hunting rare faults:
# `pytest --hypothesis-profile=long tests/test_properties.py`.
_PROFILE = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("ci", max_examples=300, **_PROFILE)
settings.register_profile("long", max_examples=5000, **_PROFILE)
settings.load_profile("ci")
