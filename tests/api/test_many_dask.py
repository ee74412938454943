"""Velmora.dask.minimize_blocks: minimize_many over the row blocks of a Dask
array, lazily, with the results of the local call: on the threaded scheduler
and on a local cluster of two worker processes that rebuild the native
objective from its module."""

import subprocess
import sys

import numpy as np
import pytest

import Velmora
import Velmora.dask as vd
from Velmora import NativeObjective, minimize_many

from native import python_env

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
decay = pytest.importorskip("decay_objectives", reason="needs numba")

KEYS = ["x", "fun", "nit", "nfev", "status", "success", "message"]


class Box:
    def __init__(self, lb, ub):
        self.lb, self.ub = lb, ub


def assert_same(lazy, local):
    assert list(lazy) == KEYS and all(isinstance(v, da.Array) for v in lazy.values())
    got = dask.compute(dict(lazy), scheduler="threads")[0]
    for key in KEYS:
        assert got[key].dtype == local[key].dtype and got[key].shape == local[key].shape, key
        np.testing.assert_array_equal(got[key], local[key], err_msg=key)


@pytest.fixture(scope="module")
def problems():
    _, y = decay.problems(600, seed=2)
    y[17, 3] = np.nan
    return y


@pytest.mark.parametrize("fun", ["native", "python", "import path"])
def test_blocks_give_the_local_results(problems, fun):
    objective = {
        "native": decay.objective,
        "python": decay.sse_py,
        "import path": "decay_objectives:objective",
    }[fun]
    jac = decay.sse_grad_py if fun == "python" else None
    lazy = vd.minimize_blocks(
        objective, decay.START, da.from_array(problems, chunks=(250, 7)), jac=jac
    )
    assert lazy.x.chunks == ((250, 250, 100), (3,))
    local = minimize_many(
        decay.objective if fun != "python" else decay.sse_py, decay.START, problems, jac=jac
    )
    assert_same(lazy, local)


def test_starts_and_bounds_per_problem_follow_the_row_blocks(problems):
    K = len(problems)
    starts = np.tile(decay.START, (K, 1)) + np.linspace(0.0, 0.5, K)[:, None]
    bounds = np.tile([[0.0, 5.0], [0.0, 3.0], [-2.0, 2.0]], (K, 1, 1))
    bounds[::3, 1] = [0.2, 0.6]
    lazy = vd.minimize_blocks(
        decay.objective,
        da.from_array(starts, chunks=100),
        da.from_array(problems, chunks=150),
        bounds=da.from_array(bounds, chunks=(K, 3, 2)),
        options={"maxiter": 50},
    )
    local = minimize_many(decay.objective, starts, problems, bounds=bounds, options={"maxiter": 50})
    assert_same(lazy, local)
    assert (local.x[::3, 1] <= 0.6).all()


def test_nelder_mead_and_shared_bounds(problems):
    kwargs = {
        "method": "Nelder-Mead",
        "bounds": [(0, None), (0, None), (None, None)],
        "options": {"maxfev": 300},
    }
    lazy = vd.minimize_blocks(
        decay.sse, decay.START, da.from_array(problems[:90], chunks=40), **kwargs
    )
    assert_same(lazy, minimize_many(decay.sse, decay.START, problems[:90], **kwargs))


@pytest.mark.parametrize(
    "kwargs, exc, match",
    [
        ({"workers": 0}, ValueError, "workers must be at least 1"),
        ({"x0": np.zeros((2, 2, 3))}, ValueError, r"x0 must have shape \(n,\) or \(K, n\)"),
        ({"x0": np.zeros((5, 3))}, ValueError, r"x0 must have one row per problem \(600\)"),
        ({"data": np.array(["a"] * 600)}, ValueError, "data must hold real numbers"),
        ({"fun": "decay_objectives:no_such_name"}, AttributeError, "no_such_name"),
        ({"fun": "no_such_module_here:f"}, ModuleNotFoundError, "no_such_module_here"),
        ({"options": {"bogus": 1}}, ValueError, "unknown option 'bogus'"),
        (
            {"bounds": Box(np.zeros((600, 3)), np.ones((600, 3)))},
            ValueError,
            r"per-problem bounds of minimize_blocks are an array of shape \(K, n, 2\)",
        ),
    ],
)
def test_bad_arguments_raise_before_the_graph_runs(problems, kwargs, exc, match):
    args = {
        "fun": decay.objective,
        "x0": decay.START,
        "data": da.from_array(problems, chunks=100),
        **kwargs,
    }
    with pytest.raises(exc, match=match):
        vd.minimize_blocks(args.pop("fun"), args.pop("x0"), args.pop("data"), **args)


def test_a_native_objective_object_cannot_travel_to_another_process():
    import pickle

    with pytest.raises(TypeError, match="module:name"):
        pickle.dumps(decay.objective)
    with pytest.raises(TypeError, match="module:name"):
        pickle.dumps(NativeObjective(decay.sse))


def test_the_package_names_the_extra_when_dask_is_missing():
    code = (
        "import sys; sys.modules['dask'] = None; sys.modules['dask.array'] = None\n"
        "import Velmora.dask as vd\n"
        "try:\n    vd.minimize_blocks(abs, [0.0], [[1.0]])\n"
        "except ImportError as e:\n    print(e)\n"
    )
    run = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=python_env(), timeout=60
    )
    assert "pip install 'Velmora[dask]'" in run.stdout, run.stderr
    assert Velmora.dask is vd


CLUSTER = """
import sys
import numpy as np
import dask
import dask.array as da
from dask.distributed import Client, LocalCluster
import Velmora, Velmora.dask as vd
import decay_objectives as d

if __name__ == "__main__":
    _, y = d.problems(2000, seed=5)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \\
            Client(cluster) as client:
        lazy = vd.minimize_blocks("decay_objectives:objective", d.START, da.from_array(y, chunks=250))
        got = dask.compute(dict(lazy))[0]
        python = vd.minimize_blocks(d.sse_py, d.START, da.from_array(y[:200], chunks=50), jac=d.sse_grad_py)
        got_python = dask.compute(dict(python))[0]
        pids = set(client.run(lambda: __import__("os").getpid()).values())
    local = Velmora.minimize_many(d.objective, d.START, y)
    local_python = Velmora.minimize_many(d.sse_py, d.START, y[:200], jac=d.sse_grad_py)
    for key in local:
        assert np.array_equal(got[key], local[key]), key
        assert np.array_equal(got_python[key], local_python[key]), key
    assert len(pids) == 2 and __import__("os").getpid() not in pids
    print("ok", int(local.success.sum()))
"""


@pytest.mark.slow
def test_a_local_cluster_of_worker_processes_gives_the_local_results(tmp_path):
    pytest.importorskip("dask.distributed")
    # In a process of its own: the cluster's threads and processes end with it.
    script = tmp_path / "cluster.py"
    script.write_text(CLUSTER)
    proc = subprocess.run(
        [sys.executable, str(script)],
        capture_output=True,
        text=True,
        timeout=300,
        env=python_env(),
        cwd=tmp_path,
    )
    assert proc.returncode == 0 and proc.stdout.split()[:1] == ["ok"], proc.stderr[-4000:]
