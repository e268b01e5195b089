"""A check of the callback contract at one point, without running the solver."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

import numpy as np

from vornel import _core

if TYPE_CHECKING:
    # Annotations only: numpy.typing costs a sixth of this module's import.
    import numpy.typing as npt

    from vornel import Problem

    _Vector = npt.NDArray[np.float64]

_NAMES = ("eval_f", "eval_grad_f", "eval_g", "eval_jac_g", "eval_h", "intermediate_callback")
_SHOWN = 10


@dataclasses.dataclass(frozen=True)
class Finding:
    """One fault that ``Problem.check`` found.

    Attributes
    ----------
    where : str
        The callback (``"eval_jac_g"``) or the arguments
        (``"sparsity_indices_h"``, ``"x_l, x_u"``) at fault.
    what : str
        What is wrong, in words.
    positions : tuple of int
        The array or pattern indices it concerns (empty when it concerns
        the whole output).
    """

    where: str
    what: str
    positions: tuple[int, ...] = ()

    def __str__(self) -> str:
        text = f"{self.where}: {self.what}"
        if self.positions:
            shown = ", ".join(str(p) for p in self.positions[:_SHOWN])
            more = f", ... ({len(self.positions)} in all)" if len(self.positions) > _SHOWN else ""
            text += f" at {shown}{more}"
        return text


@dataclasses.dataclass(frozen=True)
class Mismatch:
    """A derivative that differs from its finite-difference estimate.

    Attributes
    ----------
    callback : str
        ``"eval_grad_f"``, ``"eval_jac_g"`` or ``"eval_h"``.
    row : int or None
        The row in the Jacobian or Hessian; None for the gradient.
    column : int
        The column in the Jacobian or Hessian, the index in the gradient.
    index : int or None
        The position in the sparsity pattern (the gradient's index for
        eval_grad_f); None for an entry missing from the pattern.
    value : float
        The value the callback gave (0 for an entry missing from the
        pattern).
    estimate : float
        The central finite-difference estimate.
    """

    callback: str
    row: int | None
    column: int
    index: int | None
    value: float
    estimate: float

    def __str__(self) -> str:
        where = f"[{self.column}]" if self.row is None else f"({self.row}, {self.column})"
        index = "not in the pattern" if self.index is None else f"pattern index {self.index}"
        if self.callback == "eval_grad_f":
            index = f"index {self.index}"
        return f"{self.callback} {where}, {index}: {self.value:.8g}, estimate {self.estimate:.8g}"


@dataclasses.dataclass(frozen=True, repr=False, eq=False)
class CheckReport:
    """What ``Problem.check`` found at the point ``x``.

    ``str(report)`` is a readable summary; the attributes hold the data.

    Attributes
    ----------
    x : numpy.ndarray
        The point the callbacks were evaluated at.
    findings : tuple of Finding
        Faults of outputs, returned values, patterns and bounds.
    mismatches : tuple of Mismatch
        Derivatives that differ from their finite-difference estimates.
    """

    x: _Vector
    findings: tuple[Finding, ...]
    mismatches: tuple[Mismatch, ...]

    @property
    def ok(self) -> bool:
        """True when there are neither findings nor mismatches."""
        return not self.findings and not self.mismatches

    def __str__(self) -> str:
        if self.ok:
            return "check: no fault found; derivatives agree with finite differences"
        lines = [f"check: {len(self.findings)} fault(s), {len(self.mismatches)} mismatch(es)"]
        lines += [f"- {finding}" for finding in self.findings]
        for callback in ("eval_grad_f", "eval_jac_g", "eval_h"):
            found = [m for m in self.mismatches if m.callback == callback]
            if found:
                lines.append(
                    f"- {callback}: {len(found)} derivative(s) differ from finite differences"
                )
                lines += [f"    {m}" for m in found[:_SHOWN]]
                if len(found) > _SHOWN:
                    lines.append(f"    ... {len(found) - _SHOWN} more in report.mismatches")
        return "\n".join(lines)

    __repr__ = __str__


class _Evaluator:
    """Calls one callback once with fresh buffers: a Python callable
    directly (so that its return value is seen), a compiled one through the
    core."""

    def __init__(self, problem: Problem, n: int, m: int, nnz: dict[str, int]) -> None:
        self.problem = problem
        self.callbacks = dict(zip(_NAMES, _core._callbacks(problem), strict=True))
        self.sizes = {"eval_grad_f": n, "eval_g": m, "eval_jac_g": nnz["jac"], "eval_h": nnz["h"]}

    def python(self, name: str) -> Callable[..., Any] | None:
        cb = self.callbacks[name]
        compiled = isinstance(cb, tuple) and len(cb) == 3 or type(cb).__name__ == "PyCapsule"
        return None if compiled else cb

    def f(self, x: _Vector) -> tuple[float, bool]:
        cb = self.python("eval_f")
        if cb is not None:
            return float(cb(x.copy())), True
        ok, value = _core._evaluate(self.problem, "f", x)
        return value, ok

    def out(
        self, name: str, x: _Vector, obj_factor: float = 1.0, lam: _Vector | None = None
    ) -> tuple[_Vector, object, bool]:
        """The output array (NaN where not written), the returned value and
        whether the callback reported success."""
        out = np.full(self.sizes[name], np.nan)
        cb = self.python(name)
        if cb is not None:
            if name == "eval_h":
                returned = cb(x.copy(), lam, obj_factor, out)
            else:
                returned = cb(x.copy(), out)
            return out, returned, True
        kind = name.removeprefix("eval_")
        ok, _ = _core._evaluate(self.problem, kind, x, out, obj_factor, lam)
        return out, None, ok


def _positions(mask: npt.NDArray[np.bool_]) -> tuple[int, ...]:
    return tuple(int(i) for i in np.flatnonzero(mask))


def _output_findings(
    name: str, out: _Vector, returned: object, ok: bool, findings: list[Finding]
) -> None:
    if not ok:
        findings.append(
            Finding(
                name, "reported failure: it returned false, or wrote values that are not finite"
            )
        )
    if returned is not None:
        findings.append(
            Finding(
                name,
                f"returned a value ({type(returned).__name__}), which is ignored: write the "
                "results into the output array (out[:] = ...)",
            )
        )
    unwritten = np.isnan(out)
    if unwritten.all() and out.size:
        findings.append(Finding(name, "wrote nothing into its output array"))
    elif unwritten.any():
        findings.append(
            Finding(name, "left entries of its output unwritten", _positions(unwritten))
        )
    infinite = np.isinf(out)
    if infinite.any():
        findings.append(Finding(name, "wrote infinite values", _positions(infinite)))


def _pattern_findings(
    argument: str,
    rows: npt.NDArray[np.int64],
    cols: npt.NDArray[np.int64],
    shape: tuple[int, int],
    hessian: bool,
    findings: list[Finding],
) -> None:
    outside = (rows < 0) | (rows >= shape[0]) | (cols < 0) | (cols >= shape[1])
    if outside.any():
        findings.append(
            Finding(
                argument, f"indices outside the {shape[0]} x {shape[1]} matrix", _positions(outside)
            )
        )
    seen: dict[tuple[int, int], int] = {}
    duplicates = []
    for k, key in enumerate(zip(rows.tolist(), cols.tolist(), strict=True)):
        if key in seen:
            duplicates.append(k)
        else:
            seen[key] = k
    if duplicates:
        findings.append(
            Finding(argument, "duplicate entries (their values are added)", tuple(duplicates))
        )
    if hessian:
        upper = rows < cols
        mirrored = tuple(k for k in np.flatnonzero(upper).tolist() if (cols[k], rows[k]) in seen)
        if mirrored:
            findings.append(
                Finding(
                    argument,
                    "entries in both triangles (each is counted twice); give the lower "
                    "triangle only",
                    mirrored,
                )
            )
        if upper.any():
            findings.append(
                Finding(argument, "entries above the diagonal (row < column)", _positions(upper))
            )


def _bound_findings(names: str, lower: _Vector, upper: _Vector, findings: list[Finding]) -> None:
    crossed = lower > upper
    if crossed.any():
        findings.append(Finding(names, "lower bound above upper bound", _positions(crossed)))


def _differs(value: float, estimate: float, tol: float) -> bool:
    return abs(value - estimate) > tol * max(1.0, abs(value), abs(estimate))


def _steps(x: _Vector, rel: float) -> _Vector:
    steps: _Vector = rel * np.maximum(1.0, np.abs(x))
    return steps


def _central(
    func: Callable[[_Vector], _Vector], x: _Vector, steps: _Vector
) -> Iterable[tuple[int, _Vector]]:
    for j in range(x.size):
        forward, backward = x.copy(), x.copy()
        forward[j] += steps[j]
        backward[j] -= steps[j]
        yield j, (func(forward) - func(backward)) / (2.0 * steps[j])


def _sum_by_position(
    rows: npt.NDArray[np.int64], cols: npt.NDArray[np.int64], values: _Vector
) -> dict[tuple[int, int], tuple[float, int]]:
    """Value per position (duplicates added) with its first pattern index."""
    summed: dict[tuple[int, int], tuple[float, int]] = {}
    for k, key in enumerate(zip(rows.tolist(), cols.tolist(), strict=True)):
        total, first = summed.get(key, (0.0, k))
        summed[key] = (total + float(values[k]), first)
    return summed


def _compare_columns(
    name: str,
    summed: dict[tuple[int, int], tuple[float, int]],
    columns: Iterable[tuple[int, _Vector]],
    tol: float,
    lower_only: bool,
    mismatches: list[Mismatch],
) -> None:
    """Compares each estimated column with the given entries of that
    column; estimated nonzeros outside the pattern are mismatches too."""
    gathered: dict[int, list[tuple[int, float, int]]] = {}
    for (row, col), (value, index) in summed.items():
        gathered.setdefault(col, []).append((row, value, index))
    empty: list[tuple[int, float, int]] = []
    for j, column in columns:
        entries = sorted(gathered.get(j, empty))
        rows = np.array([e[0] for e in entries], dtype=np.int64)
        values = np.array([e[1] for e in entries], dtype=np.float64)
        estimates = column[rows]
        scale = np.maximum(1.0, np.maximum(np.abs(values), np.abs(estimates)))
        found = [
            Mismatch(name, int(rows[k]), j, entries[k][2], float(values[k]), float(estimates[k]))
            for k in np.flatnonzero(np.abs(values - estimates) > tol * scale)
        ]
        outside = np.abs(column) > tol * max(1.0, float(np.max(np.abs(column), initial=0.0)))
        outside[rows] = False
        if lower_only:
            outside[:j] = False
        found += [
            Mismatch(name, int(i), j, None, 0.0, float(column[i])) for i in np.flatnonzero(outside)
        ]
        mismatches += sorted(found, key=lambda mismatch: mismatch.row or 0)


def check(
    self: Problem, x: npt.ArrayLike, *, tol: float = 1e-4, derivatives: bool = True
) -> CheckReport:
    """
    check(x: numpy.typing.ArrayLike, *, tol: float = 1e-4, derivatives: bool = True)
        -> CheckReport

    Evaluate every callback once at x, with outputs pre-filled with NaN, and
    report what breaks the callback contract: outputs not entirely written,
    values returned by callbacks whose return value is ignored, duplicate or
    out-of-range pattern entries, Hessian entries above the diagonal or in
    both triangles, lower bounds above upper bounds; then, unless
    derivatives is false, compare the gradient, the Jacobian and the
    Hessian (with obj_factor 1 and multipliers 1) with central finite
    differences, entry by entry, including nonzeros missing from the
    patterns. A relative difference above tol is a mismatch. The solver is
    not run; intermediate_callback is not called. Exceptions raised by a
    callback propagate.

    Parameters
    ----------
    x : array_like
        The point, of n values.
    tol : float, optional
        The relative difference, ``|value - estimate| / max(1, |value|,
        |estimate|)``, above which a derivative is a mismatch.
    derivatives : bool, optional
        False to skip the comparison with finite differences.

    Returns
    -------
    CheckReport
        The findings and the mismatches.

    Examples
    --------
    A gradient returned instead of written into ``out``:

    >>> problem = vornel.Problem(
    ...     n=2, x_l=np.zeros(2), x_u=np.full(2, 10.0), m=0,
    ...     g_l=np.empty(0), g_u=np.empty(0),
    ...     sparsity_indices_jac_g=([], []), sparsity_indices_h=None,
    ...     eval_f=lambda x: x @ x,
    ...     eval_grad_f=lambda x, out: 2.0 * x,
    ...     eval_g=lambda x, out: None, eval_jac_g=lambda x, out: None,
    ... )
    >>> report = problem.check([1.0, 2.0])
    >>> report.ok
    False
    >>> print(report.findings[0])
    eval_grad_f: returned a value (ndarray), which is ignored: write the
    results into the output array (out[:] = ...)
    """
    s = _core._structure(self)
    n, m = int(s["n"]), int(s["m"])
    point = np.array(x, dtype=np.float64).reshape(-1)
    if point.size != n:
        raise ValueError(f"check(): x has {point.size} entries, the problem has n = {n}")
    jac_rows, jac_cols = np.array(s["jac_rows"], np.int64), np.array(s["jac_cols"], np.int64)
    h_rows, h_cols = np.array(s["h_rows"], np.int64), np.array(s["h_cols"], np.int64)
    evaluator = _Evaluator(self, n, m, {"jac": jac_rows.size, "h": h_rows.size})
    has_h = evaluator.callbacks["eval_h"] is not None
    findings: list[Finding] = []
    mismatches: list[Mismatch] = []

    _bound_findings("x_l, x_u", s["x_l"], s["x_u"], findings)
    _bound_findings("g_l, g_u", s["g_l"], s["g_u"], findings)
    _pattern_findings("sparsity_indices_jac_g", jac_rows, jac_cols, (m, n), False, findings)
    if has_h:
        _pattern_findings("sparsity_indices_h", h_rows, h_cols, (n, n), True, findings)

    value, ok = evaluator.f(point)
    if not ok:
        findings.append(Finding("eval_f", "reported failure (returned false)"))
    if not np.isfinite(value):
        findings.append(Finding("eval_f", f"returned {value}"))
    grad, returned, ok = evaluator.out("eval_grad_f", point)
    _output_findings("eval_grad_f", grad, returned, ok, findings)
    g, returned, ok = evaluator.out("eval_g", point)
    _output_findings("eval_g", g, returned, ok, findings)
    jac, returned, ok = evaluator.out("eval_jac_g", point)
    _output_findings("eval_jac_g", jac, returned, ok, findings)
    lam = np.ones(m)
    if has_h:
        hess, returned, ok = evaluator.out("eval_h", point, 1.0, lam)
        _output_findings("eval_h", hess, returned, ok, findings)

    # Unwritten (NaN) outputs compare as equal: they are findings already.
    if derivatives:
        steps = _steps(point, float(np.finfo(np.float64).eps) ** (1 / 3))
        for i, column in _central(lambda y: np.array([evaluator.f(y)[0]]), point, steps):
            given, est = float(grad[i]), float(column[0])
            if _differs(given, est, tol):
                mismatches.append(Mismatch("eval_grad_f", None, i, i, given, est))
        jac_sum = _sum_by_position(jac_rows, jac_cols, jac)
        _compare_columns(
            "eval_jac_g",
            jac_sum,
            _central(lambda y: evaluator.out("eval_g", y)[0], point, steps),
            tol,
            False,
            mismatches,
        )
        if has_h:

            def lagrangian_gradient(y: _Vector) -> _Vector:
                gradient = evaluator.out("eval_grad_f", y)[0]
                values = evaluator.out("eval_jac_g", y)[0]
                np.add.at(gradient, jac_cols, values * lam[jac_rows])
                return gradient

            lower = np.maximum(h_rows, h_cols), np.minimum(h_rows, h_cols)
            _compare_columns(
                "eval_h",
                _sum_by_position(*lower, hess),
                _central(lagrangian_gradient, point, steps),
                tol,
                True,
                mismatches,
            )
    point.flags.writeable = False
    return CheckReport(point, tuple(findings), tuple(mismatches))
