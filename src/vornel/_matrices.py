"""Fixed sparsity patterns of the matrices that a user's function returns,
and the vectorised maps that read each later value in the pattern's order.

A pattern is taken once, from the first value (or from a declared
sparsity), and never changes: the solver is told it before it starts. Its
entries are in row-major order without duplicates; a Hessian's pattern is
its lower triangle. Later values, dense or scipy.sparse, are read into that
order by index arrays; a nonzero outside the pattern is an error, never a
silent drop.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import scipy.sparse  # type: ignore[import-untyped, unused-ignore]
from scipy.sparse.linalg import LinearOperator  # type: ignore[import-untyped, unused-ignore]

if TYPE_CHECKING:
    import numpy.typing as npt

    _Index = npt.NDArray[np.int64]
    _Vector = npt.NDArray[np.float64]


def _csr(value: Any) -> Any:
    """The value in canonical CSR form (sorted, duplicates added), without
    changing the caller's matrix."""
    csr = value.tocsr()
    if not csr.has_canonical_format:
        csr = csr.copy()
        csr.sum_duplicates()
    return csr


def _dense(name: str, value: Any, shape: tuple[int, int]) -> _Vector:
    array = np.asarray(value, dtype=np.float64)
    if array.shape == shape:
        return array
    # A one-row or one-column matrix may come as a vector or, 1 x 1, a scalar.
    if array.ndim <= 2 and array.size == shape[0] * shape[1] and 1 in shape:
        return array.reshape(shape)
    raise ValueError(f"{name} returned an array of shape {array.shape}; expected shape {shape}")


def matrix(name: str, value: Any, shape: tuple[int, int]) -> tuple[bool, Any]:
    """(True, canonical CSR) for a scipy.sparse value, (False, 2-D float
    array) for anything array-like; the shape must be the expected one."""
    if scipy.sparse.issparse(value):
        if tuple(value.shape) != shape:
            raise ValueError(
                f"{name} returned a sparse matrix of shape {tuple(value.shape)}; "
                f"expected shape {shape}"
            )
        return True, _csr(value)
    if isinstance(value, LinearOperator):
        raise TypeError(
            f"{name} returned a LinearOperator: return the matrix itself (a NumPy array "
            "or a scipy.sparse matrix); Ipopt needs its entries"
        )
    return False, _dense(name, value, shape)


def _csr_rows(csr: Any) -> _Index:
    return np.repeat(np.arange(csr.shape[0], dtype=np.int64), np.diff(csr.indptr))


def nonzeros(value: Any, shape: tuple[int, int]) -> tuple[_Index, _Index]:
    """The positions of the nonzeros of a declared sparsity (array-like or
    scipy.sparse; a zero means "always zero"), in row-major order."""
    if scipy.sparse.issparse(value):
        csr = _csr(value)
        keep = csr.data != 0
        return _csr_rows(csr)[keep], csr.indices.astype(np.int64)[keep]
    rows, cols = np.nonzero(np.asarray(value).reshape(shape))
    return rows.astype(np.int64), cols.astype(np.int64)


class Pattern:
    """The positions of a matrix's entries for the solver, and the reading
    of a value in their order.

    ``name`` names the function in messages, ``origin`` says where the
    pattern came from, ``lower`` keeps only the lower triangle (a
    Hessian's)."""

    def __init__(
        self,
        name: str,
        shape: tuple[int, int],
        rows: _Index,
        cols: _Index,
        *,
        lower: bool = False,
        origin: str = "its first evaluation",
    ) -> None:
        self.name, self.shape, self.lower, self.origin = name, shape, lower, origin
        self.rows, self.cols = rows, cols
        self._keys = rows * shape[1] + cols
        self.full = rows.size == (shape[0] * (shape[0] + 1) // 2 if lower else shape[0] * shape[1])
        # The last sparse structure read, and where its entries go.
        self._seen: tuple[Any, Any, _Index | None, _Index | None] | None = None

    @property
    def size(self) -> int:
        return int(self.rows.size)

    @classmethod
    def full_matrix(cls, name: str, shape: tuple[int, int], *, lower: bool = False) -> Pattern:
        if lower:
            rows, cols = np.tril_indices(shape[0])
        else:
            rows, cols = np.indices(shape).reshape(2, -1)
        return cls(name, shape, rows.astype(np.int64), cols.astype(np.int64), lower=lower)

    @classmethod
    def of(
        cls, name: str, value: Any, shape: tuple[int, int], *, lower: bool = False
    ) -> tuple[Pattern, _Vector]:
        """The pattern of a first value, and that value's entries: every
        entry a sparse value stores (explicit zeros included), every entry
        of a dense one."""
        sparse, mat = matrix(name, value, shape)
        if not sparse:
            pattern = cls.full_matrix(name, shape, lower=lower)
            return pattern, pattern.values(mat, checked=True)
        rows, cols = _csr_rows(mat), mat.indices.astype(np.int64)
        keep = rows >= cols if lower else np.ones(rows.size, dtype=bool)
        pattern = cls(name, shape, rows[keep], cols[keep], lower=lower)
        if lower:
            pattern._check_mirrored(rows, cols, mat.data)
        return pattern, pattern.values(mat, checked=True)

    def _check_mirrored(self, rows: _Index, cols: _Index, data: Any) -> None:
        upper = (rows < cols) & (data != 0)
        mirrors = cols[upper] * self.shape[1] + rows[upper]
        where = np.minimum(np.searchsorted(self._keys, mirrors), max(self._keys.size - 1, 0))
        missing = self._keys[where] != mirrors if self._keys.size else np.ones(mirrors.size, bool)
        if missing.any():
            k = int(np.flatnonzero(missing)[0])
            r, c = int(rows[upper][k]), int(cols[upper][k])
            raise ValueError(
                f"{self.name} returned a nonzero at ({r}, {c}) above the diagonal without "
                f"its mirror ({c}, {r}): return the whole symmetric matrix"
            )

    def values(self, value: Any, *, checked: bool = False) -> _Vector:
        """The entries of a value at the pattern's positions, in its order."""
        if checked:
            sparse, mat = not isinstance(value, np.ndarray), value
        else:
            sparse, mat = matrix(self.name, value, self.shape)
        if sparse:
            return self._sparse_values(mat)
        if self.full and not self.lower:
            return mat.reshape(-1)
        values: _Vector = mat[self.rows, self.cols]
        if not self.full:
            inside = np.tril(mat) if self.lower else mat
            if np.count_nonzero(inside) > np.count_nonzero(values):
                mask = inside != 0
                mask[self.rows, self.cols] = False
                r, c = np.argwhere(mask)[0]
                self._outside(int(r), int(c))
        return values

    def _sparse_values(self, csr: Any) -> _Vector:
        seen = self._seen
        if (
            seen is not None
            and np.array_equal(csr.indptr, seen[0])
            and np.array_equal(csr.indices, seen[1])
        ):
            take, put = seen[2], seen[3]
        else:
            take, put = self._map(csr)
            self._seen = (csr.indptr.copy(), csr.indices.copy(), take, put)
        data = np.asarray(csr.data, dtype=np.float64)
        if put is None:
            return data if take is None else data[take]
        values = np.zeros(self.size)
        values[put] = data if take is None else data[take]
        return values

    def _map(self, csr: Any) -> tuple[_Index | None, _Index | None]:
        """Which stored entries to take (None: all) and where they go in
        the pattern (None: in the same order, all of it)."""
        rows, cols = _csr_rows(csr), csr.indices.astype(np.int64)
        take = np.flatnonzero(rows >= cols) if self.lower else None
        if take is not None:
            rows, cols = rows[take], cols[take]
        keys = rows * self.shape[1] + cols
        if keys.size == self._keys.size and np.array_equal(keys, self._keys):
            return take, None
        where = np.searchsorted(self._keys, keys)
        found = np.zeros(keys.size, dtype=bool)
        inside = where < self._keys.size
        found[inside] = self._keys[where[inside]] == keys[inside]
        if not found.all():
            data = np.asarray(csr.data)
            data = data if take is None else data[take]
            lost = np.flatnonzero(~found & (data != 0))
            if lost.size:
                self._outside(int(rows[lost[0]]), int(cols[lost[0]]))
            # Explicit zeros outside the pattern carry nothing.
            selected = np.flatnonzero(found)
            take = selected if take is None else take[selected]
            where = where[selected]
        return take, where

    def _outside(self, row: int, col: int) -> None:
        hint = (
            "; the pattern is fixed when the solver starts: return every entry that can be "
            "nonzero at the first evaluation (as an explicit zero where it is zero then; a "
            "scipy.sparse matrix built from a dense array drops its zeros)"
        )
        raise ValueError(
            f"{self.name} returned a nonzero at ({row}, {col}), outside the sparsity "
            f"pattern of {self.origin} ({self.size} entries){hint}"
        )
