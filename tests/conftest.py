"""Suite-wide setup. The tests are grouped by layer:

- core/       the Python surfaces of the three extension modules
- native/     the exported C kernels, called through ctypes
- api/        the public layer (Velmora.minimize, transforms, fit, ...)
- packaging/  wheel, type stubs, installed headers, command line, README, free-threaded builds
- support/    shared helpers: the ctypes signature table (native.py), the
              hostile-object generators (hostile.py)
"""

import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))

try:
    importlib.import_module("Velmora._ckernels.distributions._distributions")
except ImportError as exc:  # pragma: no cover - depends on the checkout
    raise pytest.UsageError(
        f"Velmora is not built ({exc}): run `scripts/dev-build` and test with "
        "`PYTHONPATH=src python -m pytest tests`, or `pip install '.[test]'` first"
    ) from None


@pytest.fixture(scope="session")
def distributions():
    return importlib.import_module("Velmora._ckernels.distributions._distributions")


def pytest_configure(config):
    # An assertion that fails inside a worker thread must fail its test.
    config.addinivalue_line("filterwarnings", "error::pytest.PytestUnhandledThreadExceptionWarning")
