import importlib

import pytest



@pytest.fixture(scope="session")
def distributions():
    return importlib.import_module("Velmora._ckernels.distributions._distributions")


def pytest_configure(config):
    # An assertion that fails inside a worker thread must fail its test.
    config.addinivalue_line("filterwarnings", "error::pytest.PytestUnhandledThreadExceptionWarning")
