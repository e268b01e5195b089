"""Derivatives given by callbacks against central finite differences of the
function they differentiate, at a cost that grows with the faults rather
than with the number of variables.

A derivative matrix C (the gradient as one row, the Jacobian, the Hessian of
the Lagrangian) is claimed at a point x on a sparsity pattern; F is the
function it differentiates. Differencing F along a direction u gives
D = (F(x + u) - F(x - u)) / 2, which is the true derivative times u up to
rounding and terms of third order. Three probes use it:

- A column group (columns that share no row of the pattern, from
  vornel._groups) perturbed at once, each column with its own random weight:
  a row with a pattern entry in the group gives that entry's estimate, a row
  without one should give nothing. An estimate that differs from the claim,
  or a row that moves without a pattern entry, may also come from a nonzero
  missing from the pattern that shares the row; a second weighting of the
  same group tells the two apart (a missing nonzero moves the estimate with
  the weights).
- A set of columns with random weights against the claim's prediction C u,
  row by row: the test that bisection narrows down to the columns at fault.
  Random weights keep faults in one row from cancelling.
- One column alone: its central difference, compared entry by entry.

Every test compares at the tolerance of the entries it covers, and at least
at the evaluations' rounding noise, so that a set of columns is flagged
whenever one of its columns would be: a set that is not flagged holds no
mismatch, and the columns of a flagged one are differenced one by one only
once few remain.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np

from vornel import _groups

if TYPE_CHECKING:
    import numpy.typing as npt

    _Index = npt.NDArray[np.int64]
    _Mask = npt.NDArray[np.bool_]
    _Vector = npt.NDArray[np.float64]

_EPS = float(np.finfo(np.float64).eps)
# The rounding noise of one evaluation, as a multiple of eps times its values.
_ROUNDING = 100.0
# Sets of at most this many columns are differenced column by column.
_LEAF = 4
# Beyond this many groups a pattern is tested by random probes over all of
# its columns instead (a dense row would make a group of each column).
_MOST_GROUPS = 32


@dataclasses.dataclass(frozen=True)
class Difference:
    """A derivative that differs from its estimate, at (row, column) of the
    full matrix; ``index`` is the first pattern index of the position, None
    for a nonzero missing from the pattern."""

    row: int
    column: int
    index: int | None
    value: float
    estimate: float


class Claim:
    """A derivative matrix as the callbacks give it: each position of the
    pattern once, duplicates added, with the first pattern index that names
    it, sorted by column."""

    def __init__(
        self,
        rows: _Index,
        cols: _Index,
        values: _Vector,
        index: _Index,
        shape: tuple[int, int],
    ) -> None:
        key = rows * shape[1] + cols
        unique, first, inverse = np.unique(key, return_index=True, return_inverse=True)
        summed = np.zeros(unique.size)
        np.add.at(summed, inverse, values)
        r, c = np.divmod(unique, shape[1]) if shape[1] else (unique, unique)
        order = np.lexsort((r, c))
        self.rows: _Index = r[order]
        self.cols: _Index = c[order]
        self.values: _Vector = summed[order]
        self.index: _Index = index[first][order]
        self.shape = shape
        self.starts: _Index = np.searchsorted(self.cols, np.arange(shape[1] + 1))
        # Values that are not numbers are findings already: they take no part.
        self.known: _Mask = np.isfinite(self.values)
        self.predicting: _Vector = np.where(self.known, self.values, 0.0)

    def times(self, u: _Vector) -> _Vector:
        """The claimed matrix times u."""
        weights = self.predicting * u[self.cols]
        return np.bincount(self.rows, weights=weights, minlength=self.shape[0]).astype(np.float64)

    def column(self, j: int) -> slice:
        return slice(int(self.starts[j]), int(self.starts[j + 1]))


def _differs(value: _Vector, estimate: _Vector, tol: float, noise: _Vector) -> _Mask:
    """Where a value and its estimate differ by more than tol relative to
    them (at least 1) and more than the noise; NaN differs nowhere."""
    scale = np.maximum(1.0, np.maximum(np.abs(value), np.abs(estimate)))
    with np.errstate(invalid="ignore"):
        found: _Mask = np.abs(value - estimate) > np.maximum(tol * scale, noise)
    return found


class Comparison:
    """Compares one claim with the differences of F around x."""

    def __init__(
        self,
        claim: Claim,
        function: Callable[[_Vector], _Vector],
        x: _Vector,
        steps: _Vector,
        tol: float,
        rng: np.random.Generator,
    ) -> None:
        self.claim = claim
        self.function = function
        self.x = x
        self.steps = steps
        self.tol = tol
        self.rng = rng
        self.found: list[Difference] = []

    # --- probes ----------------------------------------------------------

    def _probe(self, u: _Vector) -> tuple[_Vector, _Vector]:
        """D = (F(x + u) - F(x - u)) / 2 and its rounding noise."""
        ahead, behind = self.function(self.x + u), self.function(self.x - u)
        noise = _ROUNDING * _EPS * np.maximum(np.abs(ahead), np.abs(behind))
        return (ahead - behind) / 2.0, noise

    def _weighted(self, columns: _Index) -> _Vector:
        """The steps of the columns, each with a random sign and size."""
        u = np.zeros(self.x.size)
        weights = self.rng.uniform(0.5, 1.0, columns.size) * self.rng.choice(
            [-1.0, 1.0], columns.size
        )
        u[columns] = weights * self.steps[columns]
        return u

    # --- a set of columns against the claim's prediction -----------------

    def _moved(self, columns: _Index, rows: _Index) -> _Index:
        """The rows in which the columns, weighted at random, move F other
        than the claim predicts; two weightings, so that faults of one row
        cannot cancel out in both."""
        moved = []
        for _ in range(2):
            u = self._weighted(columns)
            d, noise = self._probe(u)
            off = d[rows] - self.claim.times(u)[rows]
            limit = np.maximum(self.tol * np.min(np.abs(u[columns])), noise[rows])
            with np.errstate(invalid="ignore"):
                moved.append(rows[np.abs(off) > limit])
        return np.union1d(*moved)

    def locate(self, columns: _Index, rows: _Index, flagged: bool = False) -> None:
        """Finds the differences in `rows` among `columns`; `flagged` when
        the set is already known to hold one in each of them."""
        if not flagged:
            rows = self._moved(columns, rows)
            if rows.size == 0:
                return
        if columns.size <= _LEAF:
            for j in columns.tolist():
                self.column(j, rows)
            return
        half = columns.size // 2
        self.locate(columns[:half], rows)
        self.locate(columns[half:], rows)

    def column(self, j: int, rows: _Index) -> None:
        """Column j alone, compared in `rows`."""
        h = float(self.steps[j])
        u = np.zeros(self.x.size)
        u[j] = h
        d, noise = self._probe(u)
        estimate, noise = d / h, noise / h
        claim = self.claim
        span = claim.column(j)
        in_pattern = claim.rows[span]
        values = claim.values[span]
        wanted = np.isin(in_pattern, rows)
        for k in np.flatnonzero(
            wanted & _differs(values, estimate[in_pattern], self.tol, noise[in_pattern])
        ):
            i = int(in_pattern[k])
            self.found.append(
                Difference(i, j, int(claim.index[span][k]), float(values[k]), float(estimate[i]))
            )
        outside = np.zeros(claim.shape[0], dtype=bool)
        outside[rows] = True
        outside[in_pattern] = False
        largest = float(np.max(np.abs(estimate), initial=0.0, where=np.isfinite(estimate)))
        with np.errstate(invalid="ignore"):
            outside &= np.abs(estimate) > np.maximum(self.tol * max(1.0, largest), noise)
        for i in np.flatnonzero(outside).tolist():
            self.found.append(Difference(i, j, None, 0.0, float(estimate[i])))

    # --- column groups ---------------------------------------------------

    def groups(self, groups: _Index) -> None:
        """Every group of columns at once, then what a group leaves open."""
        claim = self.claim
        order = np.argsort(groups[claim.cols], kind="stable")
        bounds = np.searchsorted(
            groups[claim.cols][order], np.arange(_groups.group_count(groups) + 1)
        )
        for g, columns in enumerate(_groups.members(groups)):
            self._group(columns, order[bounds[g] : bounds[g + 1]])

    def _group(self, columns: _Index, entries: _Index) -> None:
        """One group, differenced with two random weightings of its columns.
        A row with a pattern entry gives that entry's estimate, the same for
        both unless a nonzero missing from the pattern shares the row; a row
        without one should not move at all."""
        claim = self.claim
        rows, cols = claim.rows[entries], claim.cols[entries]
        covered = np.zeros(claim.shape[0], dtype=bool)
        covered[rows] = True
        estimates, noises = [], []
        moved = np.zeros(claim.shape[0], dtype=bool)
        for _ in range(2):
            u = self._weighted(columns)
            d, noise = self._probe(u)
            estimates.append(d[rows] / u[cols])
            noises.append(noise[rows] / np.abs(u[cols]))
            limit = np.maximum(self.tol * np.min(np.abs(u[columns])), noise)
            with np.errstate(invalid="ignore"):
                moved |= ~covered & (np.abs(d) > limit)
        values = claim.values[entries]
        noise = np.maximum(*noises)
        wrong = _differs(values, estimates[0], self.tol, noise) | _differs(
            values, estimates[1], self.tol, noise
        )
        unsettled = _differs(estimates[0], estimates[1], self.tol, noise)
        open_rows = np.union1d(rows[unsettled], np.flatnonzero(moved)).astype(np.int64)
        for k in np.flatnonzero(wrong & ~np.isin(rows, open_rows)).tolist():
            e = int(entries[k])
            self.found.append(
                Difference(
                    int(claim.rows[e]),
                    int(claim.cols[e]),
                    int(claim.index[e]),
                    float(claim.values[e]),
                    float(estimates[0][k]),
                )
            )
        if open_rows.size:
            self.locate(columns, open_rows, flagged=True)

    def run(self, groups: _Index | None) -> list[Difference]:
        """All differences: by column groups when they are few, otherwise by
        probes over all columns (the gradient's single row is one)."""
        n_cols = self.claim.shape[1]
        if groups is not None and _groups.group_count(groups) <= _MOST_GROUPS:
            self.groups(groups)
        else:
            # A column with a value that is not a number cannot be predicted.
            unknown = np.unique(self.claim.cols[~self.claim.known])
            columns = np.setdiff1d(np.arange(n_cols), unknown)
            if columns.size:
                self.locate(columns, np.arange(self.claim.shape[0]))
        unique = {(d.row, d.column): d for d in self.found}
        return sorted(unique.values(), key=lambda d: (d.column, d.row))
