"""Problem.check at scale: faults planted in quadratic problems, whose
derivatives are known exactly, are each found where they are (and nothing
else is), on sparse patterns (column groups) and dense ones (random probes);
what a check costs; the arguments it refuses."""

import numpy as np
import pytest

import problems
import vornel

TOL = 1e-4
QUIET = problems.QUIET


class Quadratic:
    """f(x) = a.x + sum_k c_k x_{u_k} x_{v_k} + sum_j b_j x_j^2 / 2 and
    g_i(x) = sum_j A_ij x_j + q_i x_{p_i}^2, with the exact derivatives as
    dense arrays. The callbacks deliver the claimed values, which a fault
    may change."""

    def __init__(self, seed, n, m, density, dense_row=False):
        rng = np.random.default_rng(seed)
        self.n, self.m = n, m
        self.a = rng.normal(size=n)
        self.b = rng.uniform(1.0, 2.0, n)
        pairs = rng.integers(0, n, size=(n // 2, 2))
        self.pairs = pairs[pairs[:, 0] != pairs[:, 1]]
        self.c = rng.uniform(1.0, 2.0, len(self.pairs))
        self.A = np.where(rng.random((m, n)) < density, rng.uniform(1.0, 2.0, (m, n)), 0.0)
        if dense_row:
            self.A[0] = rng.uniform(1.0, 2.0, n)
        self.p = np.array([rng.choice(np.flatnonzero(row)) if row.any() else 0 for row in self.A])
        self.q = rng.uniform(1.0, 2.0, m) * (self.A.any(axis=1))
        self.x = rng.uniform(0.5, 1.5, n)
        self.jac_pattern = np.nonzero(self.A)
        hess = self.true_hessian(1.0, np.ones(m)) != 0
        self.h_pattern = np.nonzero(np.tril(hess | hess.T))
        self.jacobian_values = lambda x, out: self.true_jacobian(x)[self.jac_pattern]
        self.gradient_values = self.true_gradient
        self.hessian_values = lambda x, lam, s: self.true_hessian(s, lam)[self.h_pattern]

    def true_gradient(self, x):
        grad = self.a + self.b * x
        np.add.at(grad, self.pairs[:, 0], self.c * x[self.pairs[:, 1]])
        np.add.at(grad, self.pairs[:, 1], self.c * x[self.pairs[:, 0]])
        return grad

    def true_jacobian(self, x):
        jac = self.A.copy()
        jac[np.arange(self.m), self.p] += 2.0 * self.q * x[self.p]
        return jac

    def true_hessian(self, obj_factor, lam):
        hess = np.diag(obj_factor * self.b)
        np.add.at(hess, (self.pairs[:, 0], self.pairs[:, 1]), obj_factor * self.c)
        np.add.at(hess, (self.pairs[:, 1], self.pairs[:, 0]), obj_factor * self.c)
        np.add.at(hess, (self.p, self.p), 2.0 * self.q * lam)
        return hess

    def problem(self):
        def eval_f(x):
            pair_terms = self.c * x[self.pairs[:, 0]] * x[self.pairs[:, 1]]
            return float(self.a @ x + pair_terms.sum() + self.b @ x**2 / 2)

        def eval_g(x, out):
            out[:] = self.A @ x + self.q * x[self.p] ** 2

        return vornel.Problem(
            n=self.n,
            x_l=np.full(self.n, -1e20),
            x_u=np.full(self.n, 1e20),
            m=self.m,
            g_l=np.zeros(self.m),
            g_u=np.zeros(self.m),
            sparsity_indices_jac_g=self.jac_pattern,
            sparsity_indices_h=self.h_pattern,
            eval_f=eval_f,
            eval_grad_f=lambda x, out: out.__setitem__(slice(None), self.gradient_values(x)),
            eval_g=eval_g,
            eval_jac_g=lambda x, out: out.__setitem__(slice(None), self.jacobian_values(x, out)),
            eval_h=lambda x, lam, s, out: out.__setitem__(
                slice(None), self.hessian_values(x, lam, s)
            ),
            ipopt_options=QUIET,
        )


def expected(claimed, true, pattern, lower=False):
    """The mismatches by the rule check() documents, from exact derivatives:
    pattern entries whose value differs, nonzeros outside the pattern."""
    rows, cols = pattern
    given = np.zeros_like(true)
    np.add.at(given, (rows, cols), claimed)
    if lower:
        given = np.tril(given) + np.tril(given, -1).T
    found = set()
    in_pattern = np.zeros(true.shape, dtype=bool)
    in_pattern[rows, cols] = True
    if lower:
        in_pattern |= in_pattern.T
    scale = np.maximum(1.0, np.maximum(np.abs(given), np.abs(true)))
    wrong = in_pattern & (np.abs(given - true) > TOL * scale)
    largest = np.maximum(1.0, np.abs(true).max(axis=0))
    outside = ~in_pattern & (np.abs(true) > TOL * largest)
    for i, j in zip(*np.nonzero(wrong | outside), strict=True):
        if not lower or i >= j:
            found.add((int(i), int(j), bool(in_pattern[i, j])))
    return found


def reported(report, callback):
    return {
        (m.row or 0, m.column, m.index is not None)
        for m in report.mismatches
        if m.callback == callback
    }


def sparse_row(q):
    """A row below the first (which may be dense) with entries and gaps."""
    return next(i for i in range(1, q.m) if 0 < np.count_nonzero(q.A[i]) < q.n - 1)


def jacobian_value(q):
    k = np.random.default_rng(7).integers(q.jac_pattern[0].size)
    size = q.jac_pattern[0].size
    q.jacobian_values = lambda x, out: (
        q.true_jacobian(x)[q.jac_pattern] + 0.5 * (np.arange(size) == k)
    )


def jacobian_values_reversed(q):
    q.jacobian_values = lambda x, out: q.true_jacobian(x)[q.jac_pattern][::-1]


def nonzero_outside(q, row_has_entries):
    """The function has a nonzero that the pattern lacks."""
    row = sparse_row(q)
    if not row_has_entries:
        q.A[row], q.q[row] = 0.0, 0.0
        q.jac_pattern = np.nonzero(q.A)
    pattern = q.jac_pattern
    q.A[row, np.flatnonzero(q.A[row] == 0)[0]] = 0.75
    q.jac_pattern = pattern


def column_index_off_by_one(q):
    """The pattern names column j where the function depends on column j + 1,
    and the value is the right one."""
    row = sparse_row(q)
    j = int(np.flatnonzero((q.A[row][:-1] == 0) & (q.A[row][1:] == 0))[0])
    q.A[row, j + 1] = 1.5
    rows, cols = np.nonzero(q.A)
    cols = np.where((rows == row) & (cols == j + 1), j, cols)
    q.jac_pattern = (rows, cols)
    true = np.nonzero(q.A)
    q.jacobian_values = lambda x, out: q.true_jacobian(x)[true]


def gradient_entry(q):
    j = np.random.default_rng(7).integers(q.n)
    q.gradient_values = lambda x: q.true_gradient(x) + 0.5 * (np.arange(q.n) == j)


def hessian_ignores_obj_factor(q):
    q.hessian_values = lambda x, lam, s: q.true_hessian(1.0, lam)[q.h_pattern]


def hessian_ignores_the_multipliers(q):
    q.hessian_values = lambda x, lam, s: q.true_hessian(s, np.ones(q.m))[q.h_pattern]


def hessian_entry_outside_the_pattern(q):
    r, c = q.h_pattern
    keep = np.arange(r.size) != np.flatnonzero(r != c)[0]
    q.h_pattern = (r[keep], c[keep])


# The callback at fault, and what plants the fault.
FAULTS = {
    "none": (None, lambda q: None),
    "jacobian value": ("eval_jac_g", jacobian_value),
    "jacobian values reversed": ("eval_jac_g", jacobian_values_reversed),
    "nonzero outside, row with entries": ("eval_jac_g", lambda q: nonzero_outside(q, True)),
    "nonzero outside, row without": ("eval_jac_g", lambda q: nonzero_outside(q, False)),
    "column index off by one": ("eval_jac_g", column_index_off_by_one),
    "gradient entry": ("eval_grad_f", gradient_entry),
    "hessian ignores obj_factor": ("eval_h", hessian_ignores_obj_factor),
    "hessian ignores the multipliers": ("eval_h", hessian_ignores_the_multipliers),
    "hessian entry outside the pattern": ("eval_h", hessian_entry_outside_the_pattern),
}
# Sparse patterns are compared by column groups; a dense row makes a group
# of every column, and then random probes over all columns serve.
SHAPES = {
    "sparse": dict(n=60, m=30, density=0.06),
    "dense row": dict(n=60, m=30, density=0.06, dense_row=True),
}


@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("seed", [1, 2])
def test_check_finds_exactly_the_planted_faults(seed, fault, shape):
    q = Quadratic(seed, **shape)
    callback, planting = FAULTS[fault]
    planting(q)
    report = q.problem().check(q.x)
    assert not report.findings, str(report)
    lam, s = report.lagrange, report.obj_factor
    assert s != 1.0 and lam is not None and not np.allclose(np.abs(lam), 1.0)
    claimed = {
        "eval_grad_f": q.gradient_values(q.x)[None, :],
        "eval_jac_g": q.jacobian_values(q.x, None),
        "eval_h": q.hessian_values(q.x, lam, s),
    }
    truth = {
        "eval_grad_f": expected(
            claimed["eval_grad_f"][0], q.true_gradient(q.x)[None, :], ([0] * q.n, range(q.n))
        ),
        "eval_jac_g": expected(claimed["eval_jac_g"], q.true_jacobian(q.x), q.jac_pattern),
        "eval_h": expected(claimed["eval_h"], q.true_hessian(s, lam), q.h_pattern, lower=True),
    }
    for name in truth:
        if name == "eval_h" and fault == "jacobian values reversed":
            # The Hessian is compared with the derivatives of the gradient
            # of the Lagrangian that the callbacks give, here a wrong one.
            assert reported(report, name)
            continue
        assert reported(report, name) == truth[name], name
        if name != callback:
            assert not truth[name], name
    if callback is not None:
        assert truth[callback], "the fault must be one that check can see"
    for mismatch in report.mismatches:
        if mismatch.callback == "eval_jac_g":
            exact = q.true_jacobian(q.x)[mismatch.row, mismatch.column]
            assert mismatch.estimate == pytest.approx(exact, rel=1e-6, abs=1e-9)


class Counted:
    def __init__(self, function):
        self.function, self.calls = function, 0

    def __call__(self, *args):
        self.calls += 1
        return self.function(*args)


def chain(n):
    """A tridiagonal problem: g_i = x_{i-1} - 2 x_i + x_{i+1} + x_i^2."""
    inner = np.arange(1, n - 1)
    jac_rows = np.repeat(np.arange(n - 2), 3)
    jac_cols = np.stack([inner - 1, inner, inner + 1], axis=1).ravel()

    def eval_g(x, out):
        out[:] = x[:-2] - 2 * x[1:-1] + x[2:] + x[1:-1] ** 2

    def eval_jac_g(x, out):
        out[:] = np.stack([np.ones(n - 2), -2 + 2 * x[1:-1], np.ones(n - 2)], axis=1).ravel()

    def eval_h(x, lam, s, out):
        out[:] = 2 * s
        out[1:-1] += 2 * lam

    callbacks = dict(
        eval_f=lambda x: float(x @ x),
        eval_grad_f=lambda x, out: np.multiply(x, 2.0, out=out),
        eval_g=eval_g,
        eval_jac_g=eval_jac_g,
        eval_h=eval_h,
    )
    counted = {name: Counted(f) for name, f in callbacks.items()}
    problem = vornel.Problem(
        n=n,
        x_l=np.full(n, -1e20),
        x_u=np.full(n, 1e20),
        m=n - 2,
        g_l=np.zeros(n - 2),
        g_u=np.zeros(n - 2),
        sparsity_indices_jac_g=(jac_rows, jac_cols),
        sparsity_indices_h=(np.arange(n), np.arange(n)),
        **counted,
        ipopt_options=QUIET,
    )
    return problem, counted


def test_a_check_costs_the_same_evaluations_whatever_n():
    counts = []
    for n in (50, 2000):
        problem, counted = chain(n)
        assert problem.check(np.linspace(0.5, 1.5, n)).ok
        counts.append({name: c.calls for name, c in counted.items()})
    assert counts[0] == counts[1]
    # Three column groups of the Jacobian, two weightings each, both ways.
    assert counts[0]["eval_g"] == 1 + 3 * 2 * 2
    assert counts[0]["eval_f"] == 1 + 2 * 2


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(tol=np.nan), r"^check\(\): tol must be a number >= 0, not nan$"),
        (dict(tol=-1e-4), r"^check\(\): tol must be a number >= 0, not -0.0001$"),
        (dict(x=[1.0, np.nan, 5.0, 1.0]), r"^check\(\): x\[1\] is nan; the callbacks are"),
        (dict(x=[1.0, 5.0, 5.0, -np.inf]), r"^check\(\): x\[3\] is -inf; the callbacks are"),
    ],
)
def test_check_refuses_nan(kwargs, message):
    problem = problems.make_hs071(ipopt_options=QUIET)
    with pytest.raises(ValueError, match=message):
        problem.check(**{"x": problems.x0(), **kwargs})


class Domain:
    """HS071's objective, undefined (EvaluationError) where x[0] < limit."""

    def __init__(self, limit):
        self.limit = limit

    def __call__(self, x):
        if x[0] < self.limit:
            raise vornel.EvaluationError("outside the domain")
        return problems.eval_f(x)


@pytest.mark.parametrize(
    "eval_f, expected",
    [
        (Domain(2.0), "eval_f: cannot be evaluated at x: it raised EvaluationError"),
        (
            Domain(1.0),
            "eval_f: cannot be evaluated at some points within the finite-difference steps "
            "of x: derivatives that need them were not compared",
        ),
        (
            lambda x: np.array([problems.eval_f(x)]),
            "eval_f: returned a value of type ndarray, which is not a number: return the "
            "objective value as a float (solve raises RuntimeError)",
        ),
        (lambda x: "17", "eval_f: returned a value of type str, which is not a number"),
    ],
    ids=["raises at x", "raises near x", "returns an array", "returns a str"],
)
def test_an_objective_that_gives_no_number_is_a_finding(eval_f, expected):
    report = problems.make_hs071(eval_f=eval_f, ipopt_options=QUIET).check(problems.x0())
    assert [str(f)[: len(expected)] for f in report.findings] == [expected]
    assert not report.mismatches


def hs071_gradient(x):
    out = np.empty(4)
    problems.eval_grad_f(x, out)
    return out


@pytest.mark.parametrize(
    "eval_grad_f",
    [
        lambda x, out: np.multiply(hs071_gradient(x), 1.0, out=out),
        lambda x, out: (np.copyto(out, hs071_gradient(x)), out[:])[1],
        lambda x, out: (np.copyto(out, hs071_gradient(x)), out.reshape(2, 2))[1],
    ],
    ids=["out", "out[:]", "out.reshape"],
)
def test_returning_out_is_no_finding(eval_grad_f):
    assert problems.make_hs071(eval_grad_f=eval_grad_f).check(problems.x0()).ok
