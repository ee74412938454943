"""The side-by-side benchmark table; the code lives in `Velmora.bench` so that
an installed package can run it too (`python -m Velmora bench`)."""

from Velmora.bench import main

if __name__ == "__main__":
    raise SystemExit(main())
