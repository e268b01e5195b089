"""Finite differences over a sparsity pattern, with columns grouped so that
one difference serves every column of a group."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from vornel import _core

if TYPE_CHECKING:
    import numpy.typing as npt

    _Index = npt.NDArray[np.int64]
    _Vector = npt.NDArray[np.float64]


def _indices(values: npt.ArrayLike) -> _Index:
    return np.ascontiguousarray(np.asarray(values).reshape(-1), dtype=np.int64)


def column_groups(rows: npt.ArrayLike, cols: npt.ArrayLike, shape: tuple[int, int]) -> _Index:
    """The group of each column of a matrix of the given shape whose nonzeros
    are at (rows[k], cols[k]): no two columns of one group have a nonzero in
    the same row. Groups are numbered from 0 without gaps; their count is
    ``groups.max() + 1`` (0 for a matrix without columns)."""
    groups: _Index = _core._column_groups(_indices(rows), _indices(cols), shape[0], shape[1])
    return groups


def symmetric_column_groups(rows: npt.ArrayLike, cols: npt.ArrayLike, n: int) -> _Index:
    """Column groups of the n x n symmetric matrix of which (rows, cols) give
    one triangle, or both, or any mix: the pattern is mirrored first, so a
    group's difference of the gradient recovers whole columns."""
    r, c = _indices(rows), _indices(cols)
    return column_groups(np.concatenate([r, c]), np.concatenate([c, r]), (n, n))


def group_count(groups: _Index) -> int:
    return int(groups.max()) + 1 if groups.size else 0


def members(groups: _Index) -> list[_Index]:
    """The columns of each group, in increasing order."""
    order = np.argsort(groups, kind="stable")
    bounds = np.searchsorted(groups[order], np.arange(group_count(groups) + 1))
    return [order[bounds[g] : bounds[g + 1]] for g in range(bounds.size - 1)]


def directions(groups: _Index, steps: _Vector) -> list[_Vector]:
    """The perturbation of each group: steps[j] on the group's columns j,
    zero elsewhere."""
    result = []
    for columns in members(groups):
        d = np.zeros(steps.size)
        d[columns] = steps[columns]
        result.append(d)
    return result


def recover(
    differences: _Vector, rows: _Index, cols: _Index, groups: _Index, steps: _Vector
) -> _Vector:
    """The values at (rows[k], cols[k]) from the differences along each
    group's direction: ``differences[g]`` is f(x + d_g) - f(x) (or the
    central difference over twice the step, given with ``steps`` doubled),
    a 2-D array of one row per group. Entry (i, j) is the only one of row i
    in its group, so it is differences[group of j][i] / steps[j]."""
    values: _Vector = differences[groups[cols], rows] / steps[cols]
    return values


# Relative steps of each scheme, as SciPy's numerical differentiation takes
# them: the square root of the machine epsilon for forward and complex steps,
# the cube root for central differences.
_EPS = float(np.finfo(np.float64).eps)
_RELATIVE = {"2-point": _EPS**0.5, "3-point": _EPS ** (1 / 3), "cs": _EPS**0.5}
METHODS = tuple(_RELATIVE)


def steps(
    x: _Vector,
    method: str,
    rel_step: npt.ArrayLike | None = None,
    lb: _Vector | None = None,
    ub: _Vector | None = None,
) -> tuple[_Vector, npt.NDArray[np.bool_]]:
    """The step of each variable for a difference of the given method
    ("2-point", "3-point" or "cs") at x, and which variables take a one-sided
    3-point difference: SciPy's steps (``rel_step * sign(x) * max(1, |x|)``
    by default), turned or shortened so that x + step stays within [lb, ub]
    where the range allows. A variable whose range has no width (lb == ub)
    keeps its step: no derivative along it is needed."""
    sign = np.where(x >= 0, 1.0, -1.0)
    default = _RELATIVE[method] * sign * np.maximum(1.0, np.abs(x))
    if rel_step is None:
        h = default
    else:
        h = np.asarray(rel_step, dtype=np.float64) * sign * np.abs(x)
        h = np.where((x + h) - x == 0, default, h)
    one_sided = np.zeros(x.size, dtype=bool)
    if lb is None or ub is None or method == "cs":
        return h, one_sided
    free = lb < ub
    if not np.any(free & ((lb > -np.inf) | (ub < np.inf))):
        return h, one_sided
    below, above = x - lb, ub - x
    adjusted = h.copy()
    if method == "2-point":
        outside = ((x + h) < lb) | ((x + h) > ub)
        fits = np.abs(h) <= np.maximum(below, above)
        adjusted[outside & fits] *= -1
        forward = (above >= below) & ~fits
        adjusted[forward] = above[forward]
        backward = (above < below) & ~fits
        adjusted[backward] = -below[backward]
    else:
        h = np.abs(h)
        adjusted = h.copy()
        central = (below >= h) & (above >= h)
        forward = (above >= below) & ~central
        adjusted[forward] = np.minimum(h[forward], 0.5 * above[forward])
        backward = (above < below) & ~central
        adjusted[backward] = -np.minimum(h[backward], 0.5 * below[backward])
        one_sided = forward | backward
        narrow = np.minimum(above, below)
        recentred = ~central & (np.abs(adjusted) <= narrow)
        adjusted[recentred] = narrow[recentred]
        one_sided &= ~recentred
    usable = free & (adjusted != 0)
    return np.where(usable, adjusted, h), one_sided & usable


def estimate(
    fun: Callable[[npt.NDArray[Any]], npt.NDArray[Any]],
    x: _Vector,
    f0: _Vector | None,
    rows: _Index,
    cols: _Index,
    groups: _Index,
    h: _Vector,
    one_sided: npt.NDArray[np.bool_],
    method: str,
) -> _Vector:
    """The derivatives at (rows[k], cols[k]) of the vector function ``fun``
    at x, by differences of the given method along each group's direction:
    one evaluation a group for "2-point" (beside f0 = fun(x)) and "cs"
    (complex steps: fun must accept a complex x), two for "3-point" (f0 is
    needed only where ``one_sided``). Steps and one-sided variables are
    those of :func:`steps`."""
    count = group_count(groups)
    size = 0 if f0 is None else f0.size
    group_of = groups[cols]
    if method == "cs":
        parts = []
        for columns in members(groups):
            shifted = x.astype(np.complex128)
            shifted[columns] += 1j * h[columns]
            parts.append(np.asarray(fun(shifted)).imag)
        imag = _stack(parts, count, size)
        values: _Vector = imag[group_of, rows] / h[cols]
        return values
    if method == "2-point":
        assert f0 is not None
        parts = []
        for columns in members(groups):
            point = x.copy()
            point[columns] += h[columns]
            parts.append(np.asarray(fun(point)) - f0)
        forward = _stack(parts, count, size)
        dx = (x + h) - x
        values = forward[group_of, rows] / dx[cols]
        return values
    lower, upper = [], []
    for columns in members(groups):
        side = one_sided[columns]
        first, second = x.copy(), x.copy()
        first[columns] += np.where(side, h[columns], -h[columns])
        second[columns] += np.where(side, 2 * h[columns], h[columns])
        lower.append(np.asarray(fun(first)))
        upper.append(np.asarray(fun(second)))
    f1, f2 = _stack(lower, count, size), _stack(upper, count, size)
    a, b = f1[group_of, rows], f2[group_of, rows]
    side = one_sided[cols]
    if side.any():
        assert f0 is not None
        numerator = np.where(side, -3.0 * f0[rows] + 4.0 * a - b, b - a)
    else:
        numerator = b - a
    dx = np.where(one_sided, (x + 2 * h) - x, (x + h) - (x - h))
    values = numerator / dx[cols]
    return values


def _stack(parts: list[npt.NDArray[Any]], count: int, size: int) -> npt.NDArray[Any]:
    if parts:
        return np.stack([np.reshape(p, -1) for p in parts])
    return np.zeros((count, size))
