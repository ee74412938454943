"""`python -m Velmora`: the command line (see `python -m Velmora --help`)."""

from Velmora.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
