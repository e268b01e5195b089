"""Column grouping for finite differences: groups share no row, and one
difference per group recovers every entry of the pattern."""

import numpy as np
import pytest

from vornel import _groups


def random_pattern(seed, shape, density):
    rng = np.random.default_rng(seed)
    mask = rng.random(shape) < density
    rows, cols = np.nonzero(mask)
    # Duplicates and any order are allowed.
    extra = rng.integers(0, rows.size, size=rows.size // 5) if rows.size else []
    rows, cols = np.concatenate([rows, rows[extra]]), np.concatenate([cols, cols[extra]])
    perm = rng.permutation(rows.size)
    return rows[perm], cols[perm]


PATTERNS = [
    ("empty", (3, 4), lambda: ([], [])),
    ("no columns", (0, 0), lambda: ([], [])),
    ("dense row", (2, 50), lambda: (np.zeros(50, int), np.arange(50))),
    ("diagonal", (30, 30), lambda: (np.arange(30), np.arange(30))),
    ("random sparse", (40, 60), lambda: random_pattern(1, (40, 60), 0.05)),
    ("random dense", (15, 25), lambda: random_pattern(2, (15, 25), 0.6)),
]


@pytest.mark.parametrize(("shape", "make"), [p[1:] for p in PATTERNS], ids=[p[0] for p in PATTERNS])
def test_groups_share_no_row_and_recover_a_linear_map(shape, make):
    rows, cols = (np.asarray(v, dtype=np.int64) for v in make())
    groups = _groups.column_groups(rows, cols, shape)
    assert groups.shape == (shape[1],)
    count = _groups.group_count(groups)
    assert set(groups.tolist()) == set(range(count))
    unique = np.unique(np.stack([rows, cols]), axis=1)
    owners = {}
    for r, c in unique.T.tolist():
        assert owners.setdefault((r, int(groups[c])), c) == c
    # Forward differences of x -> A x are exact up to rounding.
    rng = np.random.default_rng(0)
    a = np.zeros(shape)
    a[unique[0], unique[1]] = rng.normal(size=unique.shape[1])
    steps = rng.uniform(0.5, 2.0, size=shape[1])
    x = rng.normal(size=shape[1])
    diffs = np.array([a @ (x + d) - a @ x for d in _groups.directions(groups, steps)])
    values = _groups.recover(diffs.reshape(count, shape[0]), rows, cols, groups, steps)
    np.testing.assert_allclose(values, a[rows, cols], atol=1e-12)


def test_symmetric_groups_cover_the_mirrored_pattern():
    rows, cols = random_pattern(3, (20, 20), 0.15)
    lower = np.maximum(rows, cols), np.minimum(rows, cols)
    groups = _groups.symmetric_column_groups(*lower, 20)
    full = np.unique(np.concatenate([np.stack(lower), np.stack(lower[::-1])], axis=1), axis=1)
    assert np.unique(np.stack([full[0], groups[full[1]]]), axis=1).shape[1] == full.shape[1]


@pytest.mark.parametrize(
    ("rows", "cols", "shape", "message"),
    [
        ([0, 3], [0, 1], (3, 2), r"rows\[1\] = 3 is outside \[0, 3\)"),
        ([0, 1], [-1, 1], (3, 2), r"cols\[0\] = -1 is outside \[0, 2\)"),
        ([0, 1], [0], (3, 2), "differ in length"),
        ([0], [0], (-1, 2), "negative"),
    ],
)
def test_bad_patterns_are_refused(rows, cols, shape, message):
    with pytest.raises(ValueError, match=message):
        _groups.column_groups(rows, cols, shape)


@pytest.mark.parametrize("method", _groups.METHODS)
def test_grouped_differences_estimate_a_sparse_jacobian_within_the_bounds(method):
    # A banded nonlinear map; x sits on or near bounds on some variables, so
    # that steps turn, shrink or become one-sided.
    n = 12
    rows = np.concatenate([np.arange(n), np.arange(1, n)])
    cols = np.concatenate([np.arange(n), np.arange(n - 1)])
    lb, ub = np.full(n, -np.inf), np.full(n, np.inf)
    lb[:3], ub[3:6] = 0.5, 1.0
    ub[6] = lb[6] = 0.7  # fixed: its step is left as it is
    x = np.linspace(0.5, 1.0, n)
    x[3:6] = 1.0 - np.array([0.0, 1e-9, 1e-6])
    x[6] = 0.7
    evaluated = []

    def fun(y):
        evaluated.append(y)
        shifted = np.concatenate([[0.0], y[:-1]])
        return np.sin(y) * y + shifted**3

    def exact(y):
        return np.concatenate([np.cos(y) * y + np.sin(y), 3 * y[:-1] ** 2])

    groups = _groups.column_groups(rows, cols, (n, n))
    h, one_sided = _groups.steps(x, method, None, lb, ub)
    values = _groups.estimate(fun, x, fun(x), rows, cols, groups, h, one_sided, method)
    tol = {"2-point": 1e-6, "3-point": 1e-8, "cs": 1e-13}[method]
    np.testing.assert_allclose(values, exact(x), rtol=tol, atol=tol)
    evaluated = np.real(np.array(evaluated[1:]))
    free = lb < ub
    assert np.all(evaluated[:, free] >= lb[free]) and np.all(evaluated[:, free] <= ub[free])
    per_group = 2 if method == "3-point" else 1
    assert len(evaluated) == per_group * _groups.group_count(groups) == per_group * 2
