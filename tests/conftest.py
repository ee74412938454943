import importlib

import pytest



@pytest.fixture(scope="session")
def distributions():
    return importlib.import_module("Velmora._ckernels.distributions._distributions")
