"""The command line: `python -m Velmora [COMMAND] ...`.

Without a command it prints a short demonstration of the three modules.
Commands (each has its own --help):

  quantile   standard normal quantiles (AS 241) of probabilities
  transform  one of the 63 parameter transforms at given values, with the
             inverse and the log-Jacobian at the same point
  minimize   a built-in objective by L-BFGS-B or Nelder-Mead
  fit        a distribution to a column of a data file
  bench      the benchmark table against NumPy and SciPy (from a source
             checkout: the harness lives in benchmarks/, not in the package)

Bad input is reported on one line with exit status 2; output that cannot be
written (a full disk, a closed standard output) on one line with status 1.
"""

import argparse
import contextlib
import inspect
import json
import math
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

from Velmora._transform_table import FAMILIES, FAMILY_BOUNDS, OPS, takes_bounds

PROG = "python -m Velmora"

OBJECTIVES = ("rosenbrock", "quad", "double_well", "rosen_halfplane")
METHODS = {"lbfgsb": "run_lbfgsb", "neldermead": "run_neldermead"}
OPTION_HELP = {
    "m": "correction pairs kept in memory",
    "maxiter": "iteration limit, at least 1 (absent: lbfgsb none, neldermead 200*n)",
    "maxfun": "evaluation limit, at least 1 (absent: as for --maxiter)",
    "maxls": "most evaluations one line search may use, at least 1",
    "factr": "stop when f decreases by less than factr * 2^-52 relative",
    "pgtol": "stop when the projected gradient is below this",
    "fd_step": "finite-difference step; > 0 absolute, otherwise relative",
    "xatol": "stop when the simplex is this small (with --fatol)",
    "fatol": "stop when the simplex values agree this closely (with --xatol)",
}


class UsageError(Exception):
    """Bad command-line input found after parsing."""


class OutputError(Exception):
    """Standard output could not be written (a full disk, a closed descriptor)."""


class CheckedOutput:
    """Standard output whose failed writes raise OutputError.

    argparse ignores an OSError while printing help or the version, which
    would report success for output that never arrived; OutputError is not
    ignored. A broken pipe stays a BrokenPipeError (the reader went away).
    """

    def __init__(self, stream):
        self._stream = stream

    def _checked(self, method, *args):
        try:
            return method(*args)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(error.strerror or str(error)) from error

    def write(self, text):
        return self._checked(self._stream.write, text)

    def flush(self):
        return self._checked(self._stream.flush)

    def __getattr__(self, name):
        return getattr(self._stream, name)


class Parser(argparse.ArgumentParser):
    """argparse with one-line errors, reading -1.5, -inf or -1:2 as values."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        # argparse takes only plain negative numbers for values; every option
        # here starts with a letter or a second dash.
        self._negative_number_matcher = re.compile(r"^-(\d|\.\d|inf|nan)", re.IGNORECASE)

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def paragraphs(*texts):
    """Help text kept as written by the raw formatter, so wrap the prose here."""
    return "\n\n".join(textwrap.fill(t, 78) for t in texts)


# --- value parsing ------------------------------------------------------------


def number(text):
    """A float from the command line ('nan', 'inf', '-inf' and '1e-300' included)."""
    return float(text)


def numbers(text):
    """Comma-separated floats: '1,2.5,-3'."""
    return [number(part) for part in text.split(",") if part.strip()]


def bound(text):
    """One side of a bound: empty, 'none' or an infinity mean no bound."""
    text = text.strip()
    if text.lower() in ("", "none"):
        return None
    value = number(text)
    return None if math.isinf(value) else value


def bound_pairs(text):
    """'lo:hi,lo:hi,...' as (lower, upper) pairs, either side possibly None."""
    pairs = []
    for item in text.split(","):
        sides = item.split(":")
        if len(sides) != 2:
            raise ValueError(text)
        pairs.append((bound(sides[0]), bound(sides[1])))
    return pairs


bound_pairs.__name__ = "LO:HI"  # argparse names the type in its message


def flat(lists):
    return [value for part in lists for value in part]


# --- output -------------------------------------------------------------------


def print_table(titles, rows):
    """Columns as wide as their widest entry; numbers right-aligned."""
    widths = [max(len(t), *(len(r[i]) for r in rows)) for i, t in enumerate(titles)]
    print("  ".join(t.rjust(w) for t, w in zip(titles, widths)).rstrip())
    for r in rows:
        print("  ".join(v.rjust(w) for v, w in zip(r, widths)))


def json_number(value):
    """JSON has no NaN or infinities: those are written as strings."""
    value = float(value)
    if math.isfinite(value):
        return value
    return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")


# --- commands -----------------------------------------------------------------


def run_demo(args):
    from Velmora import _demo

    return _demo.run()


def run_quantile(args):
    from Velmora._ckernels.distributions import _distributions as dist

    name, function = (
        ("erfinv_from_as241", dist.erfinv_from_as241)
        if args.erfinv
        else ("ndtri_as241", dist.ndtri_as241)
    )
    arg = "y" if args.erfinv else "p"
    print_table([arg, f"{name}({arg})"], [[repr(p), repr(function(p))] for p in args.values])
    return 0


def run_transform(args):
    from Velmora._ckernels.transforms import _transforms as tr

    family, op = args.family, args.op
    needed = FAMILY_BOUNDS.get(family, ())
    extra = [
        f"--{side}"
        for side in ("low", "high")
        if getattr(args, side) is not None and side not in needed
    ]
    missing = [f"--{side}" for side in needed if getattr(args, side) is None]
    if extra:
        raise UsageError(f"the {family} family takes no {' or '.join(extra)}")
    if missing:
        raise UsageError(f"the {family} family needs {' and '.join(missing)}")
    bounds = tuple(getattr(args, side) for side in needed)

    def call(op_name, value):
        function = getattr(tr, f"{family}_{op_name}")
        return float(function(value, *bounds) if takes_bounds(family, op_name) else function(value))

    name = f"{family}_{op}"
    bound_text = ", ".join(f"{side}={value!r}" for side, value in zip(needed, bounds))
    print(f"{name}, {family} family{' with ' + bound_text if bound_text else ''}")
    reads_x = op in ("fwd", "grad_fwd", "ldet_abs_jac_fwd")
    # Each value is a point x (forward side) or y (inverse side); beside the
    # result go the other coordinate, the round trip and log|dT^-1/dy| at y.
    # The result column is left out where it repeats one of those.
    if reads_x:
        titles = ["x", f"{name}(x)", "y = T(x)", "T^-1(y)", "log|dT^-1/dy|"]
        repeated = ("fwd",)
    else:
        titles = ["y", f"{name}(y)", "x = T^-1(y)", "T(x)", "log|dT^-1/dy|"]
        repeated = ("inv", "ldet_abs_jac_inv")
    rows = []
    for v in args.values:
        if reads_x:
            x, y = v, call("fwd", v)
            back = call("inv", y)
        else:
            y, x = v, call("inv", v)
            back = call("fwd", x)
        rows.append([v, call(op, v), y if reads_x else x, back, call("ldet_abs_jac_inv", y)])
    keep = [i for i in range(len(titles)) if i != 1 or op not in repeated]
    print_table([titles[i] for i in keep], [[repr(float(r[i])) for i in keep] for r in rows])
    return 0


def optimizer_options():
    """{option: {method: default}} from the functions' signatures."""
    from Velmora._ckernels.optim import _optim

    options = {}
    for method, function in METHODS.items():
        parameters = list(inspect.signature(getattr(_optim, function)).parameters.values())
        for p in parameters[4:]:  # after objective, x0, bounds, params
            options.setdefault(p.name, {})[method] = p.default
    return options


# Options that count something: at least 1, as Velmora.minimize requires
# (the native runs read 0 or less as "no limit" or "the default").
COUNTS = ("m", "maxiter", "maxfun", "maxls")


def check_bounds(bounds, n):
    """One (lower, upper) pair per variable, neither side NaN, lower <= upper."""
    if len(bounds) != n:
        raise UsageError(f"--bounds gives {len(bounds)} pair(s) for {n} variable(s)")
    for i, (low, high) in enumerate(bounds):
        if any(side is not None and math.isnan(side) for side in (low, high)):
            raise UsageError(f"--bounds pair {i + 1} has a NaN side")
        if low is not None and high is not None and low > high:
            raise UsageError(
                f"--bounds pair {i + 1} has its lower side above the upper ({low} > {high})"
            )


def run_minimize(args):
    import numpy as np

    from Velmora._ckernels.optim import _optim

    x0 = flat(args.x0)
    bounds = None if args.bounds is None else flat(args.bounds)
    if bounds is not None:
        check_bounds(bounds, len(x0))
    kwargs = {}
    for name, methods in optimizer_options().items():
        value = getattr(args, name)
        if value is None:
            continue
        if args.method not in methods:
            raise UsageError(
                f"--{name.replace('_', '-')} applies to --method {' or '.join(sorted(methods))} only"
            )
        if name in COUNTS and value < 1:  # as Velmora.minimize refuses them
            raise UsageError(f"--{name} must be at least 1, got {value}")
        kwargs[name] = value
    params = None if args.params is None else flat(args.params)
    run = getattr(_optim, METHODS[args.method])
    try:
        result = run(
            args.objective, np.array(x0, dtype=np.float64), bounds=bounds, params=params, **kwargs
        )
    except (TypeError, ValueError, OverflowError, IndexError) as error:
        raise UsageError(str(error)) from None
    if args.json:
        record = dict(
            result, x=[json_number(v) for v in result["x"]], fun=json_number(result["fun"])
        )
        print(json.dumps(record, allow_nan=False))
    else:
        start = ", ".join(f"{v:g}" for v in x0)
        print(f"{args.method} on {args.objective}, n = {len(x0)}, from ({start})")
        print(f"  message  {result['message']}")
        print(f"  status   {result['status']} ({'success' if result['success'] else 'failure'})")
        print(f"  x        ({', '.join(f'{v:.10g}' for v in result['x'])})")
        print(f"  fun      {result['fun']:.10g}")
        print(f"  nit      {result['nit']}")
        print(f"  nfev     {result['nfev']}")
    return 0 if result["success"] else 1


NO_HARNESS = (
    "the benchmark harness is not installed with the package; in a clone of the "
    "repository run: pip install '.[bench]' && python benchmarks/bench.py --quick"
)


# --- fit: a distribution to a column of a data file ----------------------------


def read_table(path):
    """The rows of a CSV, TSV or whitespace-separated text file as lists of
    cells, and its header (None when the first row is all numbers). Blank
    lines and lines starting with '#' are skipped."""
    try:
        with open(path, encoding="utf-8-sig") as f:
            lines = [line.rstrip("\r\n") for line in f]
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise UsageError(f"cannot read {path}: not a text file") from None
    lines = [
        (i + 1, line)
        for i, line in enumerate(lines)
        if line.strip() and not line.lstrip().startswith("#")
    ]
    if not lines:
        raise UsageError(f"{path} holds no data")
    first = lines[0][1]
    separator = "," if "," in first else ("\t" if "\t" in first else None)
    rows = [(number, [cell.strip() for cell in line.split(separator)]) for number, line in lines]
    header = None
    if any(not is_number(cell) for cell in rows[0][1]):
        header, rows = rows[0][1], rows[1:]
    return header, rows


def is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def column_index(choice, header, width, path, option):
    """The column an option names: a header name, or a 0-based index."""
    if header is not None and choice in header:
        return header.index(choice)
    if choice.lstrip("-").isdigit():
        index = int(choice)
        if 0 <= index < width:
            return index
        raise UsageError(f"{option} {choice}: {path} has {width} column(s), numbered from 0")
    known = f"; its columns are {', '.join(header)}" if header else " (it has no header row)"
    raise UsageError(f"{option} {choice!r}: no such column in {path}{known}")


def column_values(rows, index, path, what):
    values = []
    for line, cells in rows:
        if index >= len(cells) or cells[index] == "":
            raise UsageError(f"{path}, line {line}: no value in {what}")
        try:
            values.append(float(cells[index]))
        except ValueError:
            raise UsageError(f"{path}, line {line}: {cells[index]!r} is not a number") from None
    return values


def fit_inputs(args):
    """The data, censoring flags and fixed values the fit command reads."""
    header, rows = read_table(args.file)
    width = max((len(cells) for _, cells in rows), default=len(header or ()))
    if args.column is None:
        if width != 1:
            raise UsageError(f"{args.file} has {width} columns: choose one with --column")
        index = 0
    else:
        index = column_index(args.column, header, width, args.file, "--column")
    data = column_values(rows, index, args.file, "the data column")
    censored = None
    if args.censor_column is not None:
        flags = column_values(
            rows,
            column_index(args.censor_column, header, width, args.file, "--censor-column"),
            args.file,
            "the censoring column",
        )
        if any(v not in (0.0, 1.0) for v in flags):
            raise UsageError("the censoring column must hold 0 (observed) or 1 (censored)")
        censored = [v == 1.0 for v in flags]
    if len(data) < 2:
        raise UsageError(f"{args.file}: at least 2 values are needed, found {len(data)}")
    fixed = {}
    for item in args.fixed or ():
        name, sep, value = item.partition("=")
        if not sep or not is_number(value):
            raise UsageError(f"--fixed {item!r}: expected NAME=VALUE")
        fixed[name.strip()] = float(value)
    return data, censored, fixed or None


def fit_record(result, level):
    intervals = result.ci(level)
    return {
        "distribution": result.distribution,
        "success": bool(result.success),
        "message": result.message,
        "parameters": {
            name: {
                "estimate": json_number(result.x[i]),
                "stderr": json_number(result.se[i]),
                "ci": [json_number(intervals[i, 0]), json_number(intervals[i, 1])],
                "fixed": bool(result.fixed[i]),
            }
            for i, name in enumerate(result.names)
        },
        "level": level,
        "loglike": json_number(result.loglike),
        "aic": json_number(result.aic),
        "bic": json_number(result.bic),
        "nobs": json_number(result.nobs),
    }


def run_fit(args):
    import warnings

    from Velmora.likelihoods import fit_distribution

    data, censored, fixed = fit_inputs(args)
    if not 0.0 < args.level < 1.0:
        raise UsageError(f"--level must lie strictly between 0 and 1, got {args.level:g}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the outcome is printed with the result
        try:
            result = fit_distribution(
                data,
                args.distribution,
                censored=censored,
                fixed=fixed,
                level=args.level,
                trials=args.trials,
            )
        except (TypeError, ValueError) as error:
            raise UsageError(str(error)) from None
    fits = list(result) if isinstance(result, tuple) else [result]
    if args.json:
        records = [fit_record(r, args.level) for r in fits]
        print(json.dumps(records if isinstance(result, tuple) else records[0], allow_nan=False))
    elif isinstance(result, tuple):
        print(result.table())
        print()
        print(result.best.summary())
    else:
        print(result.summary())
    return 0 if all(r.success for r in fits) else 1


def find_harness():
    """benchmarks/bench.py of the checkout this package runs from, or of the
    current directory (a checkout whose package was pip-installed)."""
    for root in (Path(__file__).resolve().parents[2], Path.cwd()):
        script = root / "benchmarks" / "bench.py"
        if script.is_file() and (root / "src" / "Velmora").is_dir():
            return script
    return None


def run_bench(args):
    script = find_harness()
    if script is None:
        print(f"{PROG} bench: error: {NO_HARNESS}", file=sys.stderr)
        return 1
    # The harness runs in its own interpreter (it sets the BLAS threads before
    # NumPy loads) and must time the package this command runs.
    path = [str(Path(__file__).resolve().parents[1]), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    sys.stdout.flush()
    return subprocess.run([sys.executable, str(script), *args.harness_args], env=env).returncode


# --- the parser ---------------------------------------------------------------


def add_command(commands, name, summary, description, examples, run):
    """A subcommand parser: its help text, examples, and the function it runs."""
    p = commands.add_parser(
        name,
        help=summary,
        description=paragraphs(*description),
        epilog="examples:\n" + "\n".join(f"  {PROG} {name} {e}" for e in examples),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.set_defaults(run=run, parser=p)
    return p


def add_quantile(commands):
    p = add_command(
        commands,
        "quantile",
        "standard normal quantiles by AS 241",
        [
            "Standard normal quantiles (the inverse normal CDF) by Wichura's AS 241: p <= 0 gives -inf, "
            "p >= 1 gives +inf, NaN gives NaN."
        ],
        ["0.025 0.5 0.975", "--erfinv 0 0.5"],
        run_quantile,
    )
    p.add_argument("values", nargs="+", type=number, metavar="P", help="probabilities")
    p.add_argument(
        "--erfinv",
        action="store_true",
        help="evaluate erfinv_from_as241 instead: the quantile of ((y + 1) / 2) / sqrt(2)",
    )


def add_transform(commands):
    p = add_command(
        commands,
        "transform",
        "a parameter transform at given values",
        [
            "Evaluates FAMILY_OP (one of the 63 transform functions) at each VALUE, which is a constrained "
            "point x for fwd, grad_fwd and ldet_abs_jac_fwd and an unconstrained point y for the other "
            "operations. Beside the result it prints the other coordinate of the point, the round trip "
            "through the inverse, and log|dT^-1/dy| at y.",
            "Bounds: aff_logit and aff_probit need --low and --high, lower needs --low, upper needs --high.",
        ],
        ["logit fwd 0.1 0.5 0.9", "aff_probit ldet_abs_jac_inv -1 0 1 --low 2 --high 6"],
        run_transform,
    )
    p.add_argument("family", choices=FAMILIES, metavar="FAMILY", help=", ".join(FAMILIES))
    p.add_argument("op", choices=OPS, metavar="OP", help=", ".join(OPS))
    p.add_argument(
        "values", nargs="+", type=number, metavar="VALUE", help="points x or y, as above"
    )
    p.add_argument(
        "--low", type=number, metavar="L", help="lower bound (aff_logit, aff_probit, lower)"
    )
    p.add_argument(
        "--high", type=number, metavar="H", help="upper bound (aff_logit, aff_probit, upper)"
    )


def add_minimize(commands):
    p = add_command(
        commands,
        "minimize",
        "a built-in objective by L-BFGS-B or Nelder-Mead",
        [
            "Minimizes a built-in objective natively: rosenbrock (the Rosenbrock valley), quad (a diagonal "
            "quadratic: --params gives its n weights, then its centre), double_well (a separable double "
            "well), rosen_halfplane (Rosenbrock, +inf where x[0] < 0).",
            "The exit status is 0 when the minimizer reports success and 1 when it does not; the result "
            "is printed either way.",
        ],
        [
            "rosenbrock --x0 -1.2 1",
            "quad --method neldermead --x0 0,0 --params 1,100,3,-2",
            "rosen_halfplane --x0 0.5 0.5 --bounds 0:,: --json",
        ],
        run_minimize,
    )
    p.add_argument("objective", choices=OBJECTIVES, metavar="OBJECTIVE", help=", ".join(OBJECTIVES))
    p.add_argument("--method", choices=tuple(METHODS), default="lbfgsb", help="default: lbfgsb")
    p.add_argument(
        "--x0",
        nargs="+",
        type=numbers,
        required=True,
        metavar="X",
        help="starting point, separated by spaces or commas",
    )
    p.add_argument(
        "--bounds",
        nargs="+",
        type=bound_pairs,
        metavar="LO:HI",
        help="one LO:HI pair per variable, separated by spaces or commas; an empty side, "
        "'none' or an infinity means no bound (e.g. 0:,:2 or -1:1 -1:1)",
    )
    p.add_argument(
        "--params",
        nargs="+",
        type=numbers,
        metavar="P",
        help="parameters of the objective (quad: weights, then the centre)",
    )
    for name, defaults in optimizer_options().items():
        default_text = ", ".join(f"{d!r} ({method})" for method, d in defaults.items())
        p.add_argument(
            f"--{name.replace('_', '-')}",
            dest=name,
            type=type(next(iter(defaults.values()))),
            metavar="V",
            help=f"{OPTION_HELP[name]}; default {default_text}",
        )
    p.add_argument(
        "--json",
        action="store_true",
        help="print the result as one JSON object (non-finite numbers as strings)",
    )


def add_fit(commands):
    p = add_command(
        commands,
        "fit",
        "fit a distribution to a column of a data file",
        [
            "Fits DIST by maximum likelihood to one column of FILE (CSV, TSV or whitespace-separated "
            "text, with or without a header row; '#' starts a comment line) and prints the estimates, "
            "standard errors, intervals, log-likelihood, AIC and BIC. DIST is one of "
            "normal, lognormal, exponential, gamma, weibull, beta, t, logistic, gumbel, cauchy, "
            "pareto, poisson, binomial, nbinom, geometric; or 'auto', which compares the usual "
            "candidates by AIC.",
            "The exit status is 0 when the fit converged, 1 when it did not, 2 for bad input.",
        ],
        [
            "weibull bearings.csv",
            "weibull life.csv --column hours --censor-column censored",
            "auto data.txt --json",
            "gamma data.tsv --column 2 --fixed shape=2",
        ],
        run_fit,
    )
    p.add_argument("distribution", metavar="DIST", help="a distribution name, or auto")
    p.add_argument("file", metavar="FILE", help="the data file")
    p.add_argument("--column", metavar="NAME|INDEX", help="the data column (0-based index)")
    p.add_argument(
        "--censor-column",
        metavar="NAME|INDEX",
        help="a column of 0 (observed) and 1 (right-censored) flags",
    )
    p.add_argument(
        "--fixed", nargs="+", metavar="NAME=VALUE", help="hold parameters at values, e.g. shape=2"
    )
    p.add_argument("--level", type=number, default=0.95, help="interval level (default 0.95)")
    p.add_argument("--trials", type=int, metavar="N", help="the binomial's number of trials")
    p.add_argument("--json", action="store_true", help="print the result as JSON")


def add_bench(commands):
    add_command(
        commands,
        "bench",
        "the benchmark table against NumPy and SciPy",
        [
            "Runs benchmarks/bench.py of a source checkout, passing the options on (see "
            "python benchmarks/bench.py --help): it times every row against its NumPy or SciPy "
            "peer in the same run and prints the ratio and its target. The full table takes "
            "several minutes.",
            "The harness is not part of the installed package: clone the repository, "
            "pip install '.[bench]' there and run python benchmarks/bench.py (or this command "
            "from the checkout).",
        ],
        ["--quick", "-k ndtri"],
        run_bench,
    )


def build_parser():
    from Velmora import __version__

    parser = Parser(
        prog=PROG,
        description="Velmora's native core from the command line: normal quantiles, "
        "parameter transforms, minimizers and the benchmark table.",
        epilog="Without a command: a short demonstration. Each command has --help.",
    )
    parser.add_argument("--version", action="version", version=f"Velmora {__version__}")
    parser.set_defaults(run=run_demo, parser=parser)
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")
    for add in (add_quantile, add_transform, add_minimize, add_fit, add_bench):
        add(commands)
    return parser


def dispatch(argv):
    parser = build_parser()
    # `bench` passes its options on to the harness; every other command takes
    # only its own, as parse_args would insist.
    args, rest = parser.parse_known_args(argv)
    if args.run is run_bench:
        args.harness_args = rest
    elif rest:
        parser.error(f"unrecognized arguments: {' '.join(rest)}")
    try:
        return args.run(args)
    except UsageError as error:
        args.parser.error(str(error))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def report(message):
    """One line on stderr; if even that fails there is no one left to tell."""
    with contextlib.suppress(OSError):
        print(f"{PROG}: {message}", file=sys.stderr)


def discard_output(stream):
    """Points the descriptor under `stream` at the null device, so that the
    interpreter's own flush at exit cannot fail again with a traceback."""
    with contextlib.suppress(OSError, ValueError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())


def main(argv=None):
    stdout = sys.stdout
    if stdout is None:  # started with standard output closed
        report("error: cannot write the output: standard output is closed")
        return 1
    sys.stdout = CheckedOutput(stdout)
    try:
        try:
            return dispatch(argv)
        finally:
            # Here rather than at exit, where a failure would only be a warning.
            sys.stdout.flush()
    except OutputError as error:
        discard_output(stdout)
        report(f"error: cannot write the output: {error}")
        return 1
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        discard_output(stdout)
        return 1
    finally:
        sys.stdout = stdout
