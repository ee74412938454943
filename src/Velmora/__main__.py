"""`python -m Velmora`: the command line (see `python -m Velmora --help`)."""

import os
import sys

if sys.argv[1:2] == ["bench"]:
    # One BLAS thread, set before NumPy loads OpenBLAS: on a busy machine the
    # peers' timings otherwise swing by orders of magnitude.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from Velmora.cli import main  # noqa: E402

if __name__ == "__main__":
    raise SystemExit(main())
