"""The transform ufuncs on Dask arrays and xarray DataArrays, through NumPy's
ufunc protocol: lazy Dask graphs with the values of the NumPy call, on the
threaded scheduler and on a local cluster of worker processes, and labelled
DataArrays that keep their dimensions and coordinates."""

import subprocess
import sys

import numpy as np
import pytest

import Velmora.transforms as vt

from native import python_env

da = pytest.importorskip("dask.array")

N, CHUNK = 10**7, 10**6


@pytest.fixture(scope="module")
def values():
    return np.random.default_rng(0).uniform(1e-9, 1 - 1e-9, N)


def test_a_dask_array_stays_lazy_and_computes_the_same_values(values):
    darr = da.from_array(values, chunks=CHUNK)
    lazy = vt.logit_fwd(darr)
    assert isinstance(lazy, da.Array) and lazy.chunks == darr.chunks and lazy.dtype == np.float64
    got = lazy.compute(scheduler="threads")
    # Each chunk is contiguous float64 with no bounds: the kernel's own values.
    assert np.array_equal(got, vt.logit_fwd(values))


def test_bounds_as_dask_arrays_broadcast_chunk_by_chunk(values):
    n = 10**5
    x = da.from_array(values[:n] * 4.0 + 2.0, chunks=n // 10)
    low = da.full(n, 2.0, chunks=n // 10)
    y = vt.aff_logit_fwd(x, low, 6.0)
    assert isinstance(y, da.Array)
    back = vt.aff_logit_inv(y, low, 6.0).compute(scheduler="threads")
    assert np.allclose(back, values[:n] * 4.0 + 2.0, rtol=1e-12)


CLUSTER = """
import numpy as np
import dask.array as da
from dask.distributed import Client, LocalCluster
import Velmora.transforms as vt
from Velmora._ckernels.transforms import _transforms

if __name__ == "__main__":
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \\
            Client(cluster) as client:
        # Values made on the workers and compared there with the _transforms
        # function: only the verdict comes back.
        darr = da.random.default_rng(0).uniform(1e-9, 1 - 1e-9, {n}, chunks={chunk})
        lazy = vt.logit_fwd(darr)
        assert isinstance(lazy, da.Array) and lazy.chunks == darr.chunks
        same = (lazy == darr.map_blocks(_transforms.logit_fwd, dtype=np.float64)).all()
        assert client.compute(same).result()
        assert len(client.scheduler_info()["workers"]) == 2
        # The ufunc itself travels to the workers by reference.
        assert client.submit(vt.logit_inv, 0.0).result() == 0.5
    print("ok")
"""


@pytest.mark.slow
def test_a_local_cluster_of_worker_processes_computes_the_same_values(tmp_path):
    pytest.importorskip("dask.distributed")
    # In a process of its own: the cluster's threads and processes end with it.
    script = tmp_path / "cluster.py"
    script.write_text(CLUSTER.format(n=N, chunk=CHUNK))
    proc = subprocess.run(
        [sys.executable, str(script)],
        capture_output=True,
        text=True,
        timeout=300,
        env=python_env(),
        cwd=tmp_path,
    )
    assert proc.returncode == 0 and proc.stdout.split()[-1:] == ["ok"], proc.stderr[-4000:]


def test_a_dataarray_keeps_its_dims_and_coords():
    xr = pytest.importorskip("xarray")
    x = np.random.default_rng(1).uniform(0.1, 0.9, (3, 4))
    arr = xr.DataArray(
        x, dims=("chain", "draw"), coords={"chain": [0, 1, 2], "draw": list("abcd")}, name="p"
    )
    y = vt.logit_fwd(arr)
    assert isinstance(y, xr.DataArray) and y.dims == ("chain", "draw")
    assert y.coords.to_dataset().identical(arr.coords.to_dataset())
    assert np.array_equal(y.values, vt.logit_fwd(x))
    # Bounds labelled by one dimension broadcast along it.
    low = xr.DataArray([0.0, -1.0, -2.0], dims="chain", coords={"chain": [0, 1, 2]})
    z = vt.aff_logit_fwd(arr, low, 1.0)
    assert z.dims == ("chain", "draw")
    assert np.array_equal(z.values[1], vt.aff_logit_fwd(x[1], -1.0, 1.0))
