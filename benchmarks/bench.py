"""The side-by-side benchmark table; the code lives in `Velmora.bench` so that
an installed package can run it too (`python -m Velmora bench`)."""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before NumPy loads OpenBLAS

from Velmora.bench import main  # noqa: E402

if __name__ == "__main__":
    raise SystemExit(main())
