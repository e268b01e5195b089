"""Finite differences over a sparsity pattern, with columns grouped so that
one difference serves every column of a group."""

from __future__ import annotations

from typing import TYPE_CHECKING

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
