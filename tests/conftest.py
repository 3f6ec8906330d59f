"""Shared pytest set-up: the tests import the built extension module `vorpex`."""

import vorpex  # noqa: F401  (fails early and clearly when the extension is not on the path)
