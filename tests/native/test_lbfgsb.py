"""The reverse-communication L-BFGS-B routine `setulb`, driven through ctypes
with exact gradients."""

import ctypes
import importlib
import itertools
import textwrap

import numpy as np
import pytest

import native

START, NEW_X, RESTART, FG, CONVERGENCE, STOP, WARNING, ERROR, ABNORMAL = range(9)
FG_START, FG_LNSRCH, CONV_GRAD, CONV_F = 301, 302, 401, 402
STOP_CPU, STOP_ITER = 501, 502
ERROR_NOFEAS, ERROR_FACTR, ERROR_M, ERROR_N, ERROR_NBD = 701, 702, 711, 712, 713
EPS = 2.0**-52
ISAVE_ITER, ISAVE_NFGV = 29, 33


@pytest.fixture(scope="module")
def lib():
    return native.load(importlib.import_module("Velmora._ckernels.optim._optim"))


class Run:
    """The caller's side of the protocol: every buffer and save array."""

    def __init__(self, lib, x0, m=5, l=None, u=None, nbd=None, factr=1e7, pgtol=1e-5, maxls=20):
        n = len(x0)
        self.lib, self.n, self.m = lib, n, m
        k = max(n, 1)
        self.x = np.array(x0, float)
        self.l = np.zeros(k) if l is None else np.array(l, float)
        self.u = np.zeros(k) if u is None else np.array(u, float)
        self.nbd = np.zeros(k, np.int64) if nbd is None else np.array(nbd, np.int64)
        self.f = ctypes.c_double(0.0)
        self.g = np.zeros(k)
        self.wa = np.full(max(2 * m * n + 5 * n + 11 * m * m + 8 * m, 1), np.nan)
        self.iwa = np.zeros(max(3 * n, 1), np.int64)
        self.task = np.zeros(2, np.int64)
        self.ln_task = np.zeros(2, np.int64)
        self.lsave = np.zeros(4, np.int64)
        self.isave = np.zeros(44, np.int64)
        self.dsave = np.zeros(29)
        self.factr, self.pgtol, self.maxls = factr, pgtol, maxls

    def call(self):
        p, i = native.ptr, native.i64
        self.lib.setulb(
            self.n,
            self.m,
            p(self.x),
            p(self.l),
            p(self.u),
            p(self.nbd, i),
            ctypes.byref(self.f),
            p(self.g),
            self.factr,
            self.pgtol,
            p(self.wa),
            p(self.iwa, i),
            p(self.task, i),
            p(self.lsave, i),
            p(self.isave, i),
            p(self.dsave),
            self.maxls,
            p(self.ln_task, i),
        )
        return int(self.task[0]), int(self.task[1])

    def solve(self, fg, limit=5000, calls=None):
        """Answers requests until a final status (or for a number of calls);
        returns the trace of (task, x at return)."""
        trace = []
        for _ in range(limit if calls is None else calls):
            t = self.call()
            trace.append((t, self.x.copy()))
            if t[0] == FG:
                f, g = fg(self.x)
                self.f.value = f
                self.g[:] = g
            elif t[0] != NEW_X:
                return trace
        if calls is None:
            raise AssertionError("no final status")
        return trace

    @property
    def iterations(self):
        return int(self.isave[ISAVE_ITER])

    @property
    def evaluations(self):
        return int(self.isave[ISAVE_NFGV])


def quadratic(A, b):
    A, b = np.asarray(A, float), np.asarray(b, float)
    return lambda x: (0.5 * x @ A @ x - b @ x, A @ x - b)


def sphere(c, q=1.0):
    c = np.asarray(c, float)
    return lambda x: (0.5 * q * np.sum((x - c) ** 2), q * (x - c))


def spd(n, cond, seed):
    rng = np.random.default_rng(seed)
    qm, _ = np.linalg.qr(rng.standard_normal((n, n)))
    return qm @ np.diag(np.geomspace(1.0, cond, n)) @ qm.T


def box_qp_reference(A, b, l, u):
    """Minimizer of 0.5 x'Ax - b'x on [l, u] by enumerating which variables sit
    at which bound and keeping the candidate that satisfies the KKT signs."""
    n = len(b)
    best = None
    for state in itertools.product((0, 1, 2), repeat=n):  # free, lower, upper
        x = np.where(np.array(state) == 1, l, np.where(np.array(state) == 2, u, 0.0))
        free = np.array(state) == 0
        if free.any():
            rhs = b[free] - A[np.ix_(free, ~free)] @ x[~free]
            x[free] = np.linalg.solve(A[np.ix_(free, free)], rhs)
        if np.any(x < l - 1e-12) or np.any(x > u + 1e-12):
            continue
        g = A @ x - b
        ok = all(
            (s == 0) or (s == 1 and g[i] >= -1e-12) or (s == 2 and g[i] <= 1e-12)
            for i, s in enumerate(state)
        )
        if ok:
            val = 0.5 * x @ A @ x - b @ x
            if best is None or val < best[0]:
                best = (val, x)
    return best[1]


# --- the iteration takes the method's steps ---------------------------------------


def test_sphere_follows_the_method_step_by_step(lib):
    # f = |x - c|^2 / 2 from a point at distance 5: the Cauchy point without
    # memory is x - g = c, the first trial lies at unit distance along it, the
    # step 1/5 is accepted by the Wolfe tests, theta becomes y'y/s'y = 1, so
    # the second iteration's quasi-Newton step lands exactly on c.
    c = np.array([1.0, 2.0, 3.0])
    x0 = c + np.array([3.0, 4.0, 0.0])
    run = Run(lib, x0, m=5)
    trace = run.solve(sphere(c))
    tasks = [t for t, _ in trace]
    assert tasks == [
        (FG, FG_START),
        (FG, FG_LNSRCH),
        (NEW_X, 0),
        (FG, FG_LNSRCH),
        (NEW_X, 0),
        (CONVERGENCE, CONV_GRAD),
    ]
    np.testing.assert_array_equal(trace[0][1], x0)
    np.testing.assert_allclose(trace[1][1], x0 + (c - x0) / 5.0, rtol=1e-15)
    np.testing.assert_allclose(trace[3][1], c, rtol=1e-15)
    assert run.iterations == 2 and run.evaluations == 3
    assert run.dsave[0] == pytest.approx(1.0)  # theta
    assert run.dsave[2] == 1e7 * EPS  # tol


@pytest.mark.parametrize("seed", range(4))
def test_first_trial_is_unit_distance_along_minus_gradient(lib, seed):
    rng = np.random.default_rng(seed)
    A, b = spd(4, 50.0, seed), rng.standard_normal(4)
    x0 = rng.standard_normal(4) * 3
    run = Run(lib, x0)
    fg = quadratic(A, b)
    run.solve(fg, calls=2)  # START, then the first trial
    g0 = fg(x0)[1]
    np.testing.assert_allclose(run.x, x0 - g0 / np.linalg.norm(g0), rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("seed", range(4))
def test_first_trial_with_bounds_uses_projected_cauchy_point(lib, seed):
    # Without memory the model is g's + s's/2, whose generalized Cauchy point
    # is P(x - g). With bounds (not all double) the first step is
    # min(1/|d|, 1) along d = P(x - g) - x.
    rng = np.random.default_rng(seed + 10)
    n = 5
    A, b = spd(n, 10.0, seed), rng.standard_normal(n) * 4
    l, u = -np.ones(n), np.ones(n)
    nbd = np.array([1, 2, 3, 0, 2])
    x0 = rng.uniform(-0.9, 0.9, n)
    fg = quadratic(A, b)
    run = Run(lib, x0, l=l, u=u, nbd=nbd)
    run.solve(fg, calls=2)
    g0 = fg(x0)[1]
    lo = np.where(np.isin(nbd, [1, 2]), l, -np.inf)
    hi = np.where(np.isin(nbd, [2, 3]), u, np.inf)
    d = np.clip(x0 - g0, lo, hi) - x0
    np.testing.assert_allclose(
        run.x, x0 + min(1.0 / np.linalg.norm(d), 1.0) * d, rtol=1e-13, atol=1e-15
    )


def test_boxed_first_iteration_goes_to_the_projected_point(lib):
    # All variables doubly bounded: the first step is 1, so the first trial
    # is P(x - g); for |x - c|^2/2 that is P(c), the solution.
    c = np.array([3.0, -2.0, 0.5])
    run = Run(lib, [0.0, 0.0, 0.0], l=[-1, -1, -1], u=[1, 1, 1], nbd=[2, 2, 2])
    trace = run.solve(sphere(c))
    np.testing.assert_allclose(trace[1][1], [1.0, -1.0, 0.5], rtol=1e-14)
    assert trace[-1][0] == (CONVERGENCE, CONV_GRAD)
    assert run.iterations == 1 and run.evaluations == 2


# --- convergence on problems with known answers -----------------------------


@pytest.mark.parametrize("cond", [1.0, 1e2, 1e4, 1e6])
@pytest.mark.parametrize("m", [2, 10])
def test_unbounded_quadratic(lib, cond, m):
    n = 6
    A = spd(n, cond, int(cond) % 97 + m)
    xstar = np.linspace(-2, 3, n)
    run = Run(lib, np.zeros(n), m=m, factr=10.0, pgtol=1e-10)
    trace = run.solve(quadratic(A, A @ xstar))
    assert trace[-1][0][0] == CONVERGENCE
    err = run.x - xstar
    # energy-norm error relative to f(0) - f*; a two-pair memory on a 1e6
    # condition number stalls a little earlier
    assert 0.5 * err @ A @ err <= 1e-9 * (0.5 * xstar @ A @ xstar)


@pytest.mark.parametrize("seed", range(5))
def test_bounded_quadratic_matches_active_set_enumeration(lib, seed):
    rng = np.random.default_rng(seed)
    n = 4
    A = spd(n, 30.0, seed)
    b = rng.standard_normal(n) * 5
    l, u = -np.ones(n), np.full(n, 0.5)
    ref = box_qp_reference(A, b, l, u)
    run = Run(lib, rng.uniform(-1, 0.5, n), l=l, u=u, nbd=[2] * n, factr=10.0, pgtol=1e-10)
    trace = run.solve(quadratic(A, b))
    assert trace[-1][0][0] == CONVERGENCE
    np.testing.assert_allclose(run.x, ref, atol=1e-7)
    assert np.all(run.x >= l) and np.all(run.x <= u)


def test_one_sided_bounds_active(lib):
    # Separable: the solution is the unconstrained one clipped to the bounds.
    c = np.array([-3.0, 4.0, 2.0, -5.0, 0.25])
    l = np.array([-1.0, 0.0, 0.0, 0.0, 0.0])
    u = np.array([0.0, 1.0, 0.0, 0.0, 0.0])
    nbd = np.array([1, 3, 0, 1, 2])
    weights = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    fg = lambda x: (0.5 * np.sum(weights * (x - c) ** 2), weights * (x - c))
    run = Run(lib, [0.0, 0.5, 0.0, 3.0, 0.0], l=l, u=u, nbd=nbd, pgtol=1e-10, factr=10.0)
    trace = run.solve(fg)
    assert trace[-1][0][0] == CONVERGENCE
    np.testing.assert_allclose(run.x, [-1.0, 1.0, 2.0, 0.0, 0.0], atol=1e-9)


def test_memory_wraps_around_many_times(lib):
    # m = 2 with a poorly conditioned quadratic: many updates, each dropping
    # the oldest pair.
    A = spd(8, 1e3, 5)
    xstar = np.arange(8.0)
    run = Run(lib, np.zeros(8), m=2, factr=1.0, pgtol=1e-9)
    trace = run.solve(quadratic(A, A @ xstar), limit=20000)
    assert trace[-1][0][0] == CONVERGENCE
    assert run.iterations > 10
    np.testing.assert_allclose(run.x, xstar, atol=1e-5)


# --- status words and the caller's arrays ---------------------------------------


def test_already_optimal_start(lib):
    run = Run(lib, [1.0, 2.0])
    trace = run.solve(sphere([1.0, 2.0]))
    assert [t for t, _ in trace] == [(FG, FG_START), (CONVERGENCE, CONV_GRAD)]
    assert run.iterations == 0 and run.evaluations == 1


def test_start_outside_box_is_projected_before_first_evaluation(lib):
    run = Run(lib, [-5.0, 9.0, 0.5], l=[-1, 0, 0], u=[0, 2, 1], nbd=[1, 3, 2])
    assert run.call() == (FG, FG_START)
    np.testing.assert_array_equal(run.x, [-1.0, 2.0, 0.5])
    assert list(run.lsave[:3]) == [1, 1, 0]  # projected, constrained, not boxed


def test_workspace_partition(lib):
    n, m = 7, 3
    run = Run(lib, np.zeros(n), m=m)
    run.call()
    mn, m2 = m * n, m * m
    lengths = [mn, mn, m2, m2, m2, 4 * m2, 4 * m2, n, n, n, n, n]
    assert list(run.isave[:3]) == [mn, m2, 4 * m2]
    assert list(run.isave[3:16]) == [0] + list(np.cumsum(lengths))
    assert run.isave[15] + 8 * m == len(run.wa)


@pytest.mark.parametrize(
    "n,m,factr,expect",
    [
        (0, 5, 1e7, ERROR_N),
        (3, 0, 1e7, ERROR_M),
        (3, -2, 1e7, ERROR_M),
        (3, 5, -1.0, ERROR_FACTR),
        (0, 0, -1.0, ERROR_FACTR),
        (-4, 5, 1e7, ERROR_N),
    ],
)
def test_invalid_sizes(lib, n, m, factr, expect):
    run = Run(lib, np.zeros(max(n, 0)), m=max(m, 1), factr=factr)
    run.n, run.m = n, m
    assert run.call() == (ERROR, expect)
    assert not run.lsave.any() and not run.dsave.any() and not run.isave[16:].any()


def _flat_then_bound(x):
    """Slope -1 towards the upper bound 0 of x[0]; x[1] is flat beyond 1, so
    the projected gradient becomes exactly zero once x[0] is at its bound."""
    h = min(x[1] - 1.0, 0.0)
    return -x[0] + h * h, np.array([-1.0, 2.0 * h])


@pytest.mark.parametrize("x0", [[-1.0, -2.0], [-0.1, 0.9]])
def test_zero_projected_gradient_ignores_workspace_content(lib, x0):
    # With a negative pgtol a zero projected gradient does not stop the run:
    # the Cauchy search returns x itself, and the subspace step must use
    # c = W'(xcp - x) = 0, not whatever the workspace held before.
    traces = []
    for fill in (0.0, np.nan, 1e300):
        run = Run(lib, x0, m=3, l=[-10.0, 0.0], u=[0.0, 0.0], nbd=[2, 0], pgtol=-1.0, factr=0.0)
        run.wa[:] = fill
        trace = run.solve(_flat_then_bound)
        traces.append([(t, x.tobytes()) for t, x in trace])
        assert np.isfinite(run.x).all()
    assert traces[0] == traces[1] == traces[2]


# Sizes whose workspace 2mn + 5n + 11m^2 + 8m cannot exist, and the most
# negative ones: refused at the first call with tiny buffers, without reading
# n bound codes or forming views from wrapped offsets (a crash in the child
# is a failure here).
HOSTILE_SIZES = textwrap.dedent("""
    import ctypes, importlib, sys
    import numpy as np
    import native
    lib = native.load(importlib.import_module(sys.argv[1]))
    p, i = native.ptr, native.i64
    for n, m in eval(sys.argv[2]):
        x, l, u, g, wa = (np.full(4, 0.5) for _ in range(5))
        nbd = np.zeros(4, np.int64)
        iwa, task, ln_task, lsave, isave = (np.zeros(k, np.int64) for k in (12, 2, 2, 4, 44))
        dsave, f = np.zeros(29), ctypes.c_double(0.0)
        lib.setulb(n, m, p(x), p(l), p(u), p(nbd, i), ctypes.byref(f), p(g), 1e7, 1e-5, p(wa),
                   p(iwa, i), p(task, i), p(lsave, i), p(isave, i), p(dsave), 20, p(ln_task, i))
        assert (x == 0.5).all() and not lsave.any() and not dsave.any() and not isave[16:].any()
        print(*task)
""")

# (n, m) -> message: the n test comes first and the m test overwrites it.
HOSTILE_EXPECT = {
    (2**62, 5): ERROR_N,
    (2**61, 1): ERROR_N,
    (2**63 - 1, 0): ERROR_M,
    (2**62, 0): ERROR_M,
    (1, 2**62): ERROR_M,
    (3, 2**32): ERROR_M,
    (2, 2**31 + 1): ERROR_M,
    (2**40, 2**40): ERROR_M,
    (-(2**63), 5): ERROR_N,
    (-(2**62), 1): ERROR_N,
    (3, -(2**63)): ERROR_M,
    (-(2**63), -(2**63)): ERROR_M,
}


def test_hostile_sizes_are_refused():
    sizes = list(HOSTILE_EXPECT)
    run = native.run_python(
        HOSTILE_SIZES, "Velmora._ckernels.optim._optim", repr(sizes), timeout=60
    )
    assert run.returncode == 0, run.stderr
    got = [tuple(map(int, line.split())) for line in run.stdout.splitlines()]
    assert got == [(ERROR, HOSTILE_EXPECT[s]) for s in sizes]


@pytest.mark.parametrize(
    "nbd,l,u,expect",
    [
        ([0, -1, 0], [0, 0, 0], [0, 0, 0], ERROR_NBD),
        ([0, 4, 0], [0, 0, 0], [0, 0, 0], ERROR_NBD),
        ([2, 2, 0], [0, 1, 0], [1, 0.5, 0], ERROR_NOFEAS),
        ([1, 3, 2], [5, 0, 2], [0, -5, 2], None),
    ],
)
def test_invalid_bounds(lib, nbd, l, u, expect):
    x0 = np.array([9.0, 9.0, 9.0])
    run = Run(lib, x0, l=l, u=u, nbd=nbd)
    t = run.call()
    if expect is None:  # crossed bounds only matter for code 2; l = u is allowed
        assert t == (FG, FG_START)
        return
    assert t == (ERROR, expect)
    np.testing.assert_array_equal(run.x, x0)  # untouched, not projected
    assert not run.lsave.any() and not run.dsave.any()


def test_last_bound_error_wins(lib):
    run = Run(lib, [0.0, 0.0], l=[1, 0], u=[0, 0], nbd=[2, 7])
    assert run.call() == (ERROR, ERROR_NBD)
    run = Run(lib, [0.0, 0.0], l=[0, 1], u=[0, 0], nbd=[7, 2])
    assert run.call() == (ERROR, ERROR_NOFEAS)


def test_maxls_exhausted_without_memory_is_abnormal_and_restores(lib):
    # 50 x^2 from x = 0.5: the first trial (unit distance) lands at -0.5 with
    # the same value, so the search needs a second trial, which maxls = 1
    # refuses.
    fg = sphere([0.0, 0.0], q=100.0)
    x0 = np.array([0.5, 0.0])
    run = Run(lib, x0, maxls=1)
    trace = run.solve(fg)
    assert [t for t, _ in trace] == [(FG, FG_START), (FG, FG_LNSRCH), (ABNORMAL, 0)]
    np.testing.assert_array_equal(run.x, x0)
    f0, g0 = fg(x0)
    assert run.f.value == f0
    np.testing.assert_array_equal(run.g, g0)
    assert run.evaluations == 2  # the refused trial is not counted


@pytest.mark.parametrize("maxls", [0, -3])
def test_nonpositive_maxls_refuses_the_first_trial(lib, maxls):
    fg = sphere([1.0, 1.0])
    run = Run(lib, [3.0, 0.0], maxls=maxls)
    trace = run.solve(fg)
    assert [t[0] for t, _ in trace] == [FG, ABNORMAL]
    np.testing.assert_array_equal(run.x, [3.0, 0.0])
    assert run.evaluations == 1


def test_caller_stop_after_new_x_keeps_the_iterate(lib):
    A = spd(3, 20.0, 1)
    fg = quadratic(A, [1.0, 2.0, 3.0])
    run = Run(lib, [4.0, -4.0, 1.0])
    for _ in range(100):
        t = run.call()
        if t[0] == FG:
            f, g = fg(run.x)
            run.f.value, run.g[:] = f, g
        elif t[0] == NEW_X and run.iterations == 2:
            break
    snapshot = (run.x.copy(), run.f.value, run.g.copy())
    run.task[:] = (STOP, STOP_ITER)
    assert run.call() == (STOP, STOP_ITER)
    np.testing.assert_array_equal(run.x, snapshot[0])
    assert run.f.value == snapshot[1]
    np.testing.assert_array_equal(run.g, snapshot[2])


def test_nan_gradient_never_counts_as_convergence(lib):
    # A NaN gradient makes the projected-gradient norm NaN: the run goes on
    # and ends by the line search, not by a convergence test.
    run = Run(lib, [1.0, 1.0], maxls=3)
    trace = run.solve(lambda x: (1.0, np.array([np.nan, 0.0])))
    assert trace[-1][0][0] == ABNORMAL


@pytest.mark.parametrize("seed", range(12))
def test_random_bounded_problems_end_by_an_ordinary_path(lib, seed):
    # Varied bounds, some fixed variables (l = u), starts outside the box and
    # tiny memories: every run ends with a final status inside the box.
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(1, 9))
    A = spd(n, 10.0 ** rng.uniform(0, 5), seed)
    b = rng.standard_normal(n) * 10
    nbd = rng.integers(0, 4, n)
    l = rng.uniform(-2, 0, n)
    u = l + rng.uniform(0, 2, n) * (rng.random(n) > 0.2)
    run = Run(lib, rng.uniform(-4, 4, n), m=int(rng.integers(1, 6)), l=l, u=u, nbd=nbd, pgtol=1e-8)
    trace = run.solve(quadratic(A, b), limit=20000)
    assert trace[-1][0][0] in (CONVERGENCE, ABNORMAL)
    lo = np.where(np.isin(nbd, [1, 2]), l, -np.inf)
    hi = np.where(np.isin(nbd, [2, 3]), u, np.inf)
    assert np.all(run.x >= lo) and np.all(run.x <= hi)


@pytest.mark.parametrize("bad", [np.inf, np.nan])
def test_nonfinite_trial_backtracks_towards_the_start(lib, bad):
    # The caller reports a non-finite value with a zero gradient. Nothing
    # lower than the start was found, so the next trial lies halfway back to
    # the start (a return to the start itself would be accepted as a null
    # step and pass the ftol test). The wall x[0] = 0.7 keeps the run from the
    # minimum at c: it ends ABNORMAL at a finite point, never CONVERGENCE.
    c = np.ones(3)

    def fg(x):
        if x[0] > 0.7:
            return bad, np.zeros(3)
        return float(np.sum((x - c) ** 2)), 2.0 * (x - c)

    x0 = np.array([0.5, -0.5, 0.2])
    run = Run(lib, x0)
    trace = run.solve(fg)
    assert trace[1][0] == (FG, FG_LNSRCH) and trace[1][1][0] > 0.7
    assert trace[2][0] == (FG, FG_LNSRCH)
    np.testing.assert_allclose(trace[2][1], (x0 + trace[1][1]) / 2, rtol=1e-15)
    assert trace[-1][0][0] == ABNORMAL
    assert run.x[0] <= 0.7 and np.isfinite(run.f.value)
    assert run.f.value < fg(x0)[0]


def test_nonfinite_values_everywhere_but_the_start_end_abnormal(lib):
    # No finite decrease exists: the search halves its step until maxls is
    # spent and the run ends ABNORMAL at the start, not CONVERGENCE.
    x0 = np.array([0.9])
    run = Run(lib, x0, maxls=20)
    trace = run.solve(lambda x: (0.16, np.array([0.8])) if x[0] == 0.9 else (np.nan, np.zeros(1)))
    assert trace[-1][0][0] == ABNORMAL
    np.testing.assert_array_equal(run.x, x0)
    steps = [t[1][0] - 0.9 for t in trace if t[0] == (FG, FG_LNSRCH)]
    assert len(steps) == 20 and all(
        b == pytest.approx(a / 2, rel=1e-12) for a, b in zip(steps, steps[1:])
    )


# --- every step against a dense model of the method ---------------------------------


def bfgs_matrix(pairs, n):
    """B0 = theta I (theta = y'y/s'y of the newest pair) updated by BFGS with
    the stored pairs, oldest first: the matrix the limited memory represents."""
    if not pairs:
        return np.eye(n)
    s, y = pairs[-1]
    B = (y @ y) / (s @ y) * np.eye(n)
    for s, y in pairs:
        Bs = B @ s
        B = B - np.outer(Bs, Bs) / (s @ Bs) + np.outer(y, y) / (y @ s)
    return B


def dense_step(x, g, lo, hi, B, constrained):
    """The point z = x + d of one iteration, computed densely: the first local
    minimizer of the model along the projected gradient path, then the
    minimizer over the variables still free, projected into the box (or
    truncated at the first bound if the projection is not a descent step)."""
    n = len(x)
    if not constrained and not np.array_equal(B, np.eye(n)):
        return x - np.linalg.solve(B, g)
    tb = np.full(n, np.inf)
    for i in range(n):
        if g[i] < 0:
            tb[i] = (hi[i] - x[i]) / -g[i]
        elif g[i] > 0:
            tb[i] = (x[i] - lo[i]) / g[i]
        elif x[i] in (lo[i], hi[i]):
            tb[i] = 0.0
    d = np.where(tb > 0, -g, 0.0)
    step = np.zeros(n)
    tc = 0.0
    for t_next in list(np.unique(tb[(tb > 0) & np.isfinite(tb)])) + [np.inf]:
        if not d.any():
            break
        f1 = g @ d + d @ B @ step
        f2 = d @ B @ d
        dtm = -f1 / f2
        if dtm < t_next - tc:
            step += max(dtm, 0.0) * d
            tc += max(dtm, 0.0)
            break
        step += (t_next - tc) * d
        tc = t_next
        d[tb <= t_next] = 0.0
    xcp = np.clip(x + step, lo, hi)
    free = tb > tc
    if not free.any() or np.array_equal(B, np.eye(n)):
        return xcp
    F = np.nonzero(free)[0]
    r = -(g + B @ (xcp - x))[F]
    dh = np.linalg.solve(B[np.ix_(F, F)], r)
    z = xcp.copy()
    z[F] = np.clip(xcp[F] + dh, lo[F], hi[F])
    if np.array_equal(z[F], xcp[F] + dh) or (z - x) @ g <= 0:
        return z
    with np.errstate(divide="ignore", invalid="ignore"):
        ratios = np.where(
            dh < 0, (lo[F] - xcp[F]) / dh, np.where(dh > 0, (hi[F] - xcp[F]) / dh, np.inf)
        )
    alpha = min(1.0, ratios.min())
    z = xcp.copy()
    z[F] = xcp[F] + alpha * dh
    return z


@pytest.mark.parametrize("case", ["unbounded", "boxed", "mixed"])
def test_each_iteration_matches_the_dense_method(lib, case):
    n, m = 6, 3
    rng = np.random.default_rng({"unbounded": 1, "boxed": 2, "mixed": 3}[case])
    A = spd(n, 200.0, 4)
    b = rng.standard_normal(n) * 6
    if case == "unbounded":
        nbd = np.zeros(n, np.int64)
    elif case == "boxed":
        nbd = np.full(n, 2)
    else:
        nbd = np.array([0, 1, 2, 3, 1, 2])
    l, u = -np.ones(n), np.full(n, 0.8)
    lo = np.where(np.isin(nbd, [1, 2]), l, -np.inf)
    hi = np.where(np.isin(nbd, [2, 3]), u, np.inf)
    x0 = rng.uniform(-0.5, 0.5, n)
    fg = quadratic(A, b)
    # The run stops on the projected gradient, well above this problem's
    # rounding floor (about 1e-6): there the last steps are rounding noise, and
    # whether the run ends by the reduction test or by a failed line search
    # turns on the last bits of A and of the objective (NumPy's build).
    run = Run(lib, x0, m=m, l=l, u=u, nbd=nbd, factr=1.0, pgtol=1e-5)

    pairs, checked = [], 0
    x_k, g_k, expect, awaiting_first_trial = None, None, None, False
    for _ in range(2000):
        t = run.call()
        if t == (FG, FG_LNSRCH) and awaiting_first_trial:
            # The iteration's first trial: z itself once the step is 1 (every
            # iteration after the first, or from the start when boxed).
            if run.iterations > 0 or case == "boxed":
                np.testing.assert_allclose(run.x, expect, rtol=1e-9, atol=1e-11)
                checked += 1
            awaiting_first_trial = False
        if t[0] == FG:
            if t[1] == FG_START:
                x_k, g_k = run.x.copy(), fg(run.x)[1]
            f, g = fg(run.x)
            run.f.value, run.g[:] = f, g
            if t[1] == FG_START:
                expect = dense_step(x_k, g_k, lo, hi, bfgs_matrix(pairs, n), case != "unbounded")
                awaiting_first_trial = True
        elif t[0] == NEW_X:
            stp = run.dsave[13]
            x_new, g_new = run.x.copy(), run.g.copy()
            s_k, y_k = stp * (expect - x_k), g_new - g_k
            if s_k @ y_k > EPS * -(g_k @ s_k):  # pairs without safe curvature are skipped
                pairs = (pairs + [(s_k, y_k)])[-m:]
            x_k, g_k = x_new, g_new
            expect = dense_step(x_k, g_k, lo, hi, bfgs_matrix(pairs, n), case != "unbounded")
            awaiting_first_trial = True
        else:
            break
    assert (run.task[0], run.task[1]) == (CONVERGENCE, CONV_GRAD)
    assert checked >= 4
