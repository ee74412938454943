"""The side-by-side benchmark table: `python benchmarks/bench.py [--quick] [-k PATTERN]`
from a clone of the repository, after `pip install '.[bench]'` (or with
PYTHONPATH=src after scripts/dev-build). The rows and the timing are in harness.py."""

import os

# One BLAS thread, set before NumPy loads OpenBLAS: on a busy machine the
# peers' timings otherwise swing by orders of magnitude.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from harness import main  # noqa: E402  (this folder is on the path when run as a script)

if __name__ == "__main__":
    raise SystemExit(main())
