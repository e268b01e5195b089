"""A check of the callback contract at one point, without running the solver."""

from __future__ import annotations

import dataclasses
import operator
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from vornel import _compare, _core, _groups

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
    obj_factor : float
        The objective factor that eval_h was evaluated with.
    lagrange : numpy.ndarray or None
        The multipliers that eval_h was evaluated with (None before a
        check made them).
    """

    x: _Vector
    findings: tuple[Finding, ...]
    mismatches: tuple[Mismatch, ...]
    obj_factor: float = 1.0
    lagrange: _Vector | None = None

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
                at = ""
                if callback == "eval_h":
                    at = f" (at obj_factor {self.obj_factor:g} and report.lagrange)"
                lines.append(
                    f"- {callback}: {len(found)} derivative(s) differ from finite differences{at}"
                )
                lines += [f"    {m}" for m in found[:_SHOWN]]
                if len(found) > _SHOWN:
                    lines.append(f"    ... {len(found) - _SHOWN} more in report.mismatches")
        return "\n".join(lines)

    __repr__ = __str__


# The Hessian is checked at an objective factor and multipliers that a
# callback cannot get right by ignoring them (as 1 would be).
_OBJ_FACTOR = 0.625
_SEED = 71


def _is_out(returned: object, out: _Vector) -> bool:
    """None, out itself, or an array over exactly out's memory (what
    np.multiply(x, 2.0, out=out) returns): nothing is ignored."""
    if returned is None or returned is out:
        return True
    return (
        isinstance(returned, np.ndarray)
        and returned.nbytes == out.nbytes
        and returned.__array_interface__["data"][0] == out.__array_interface__["data"][0]
    )


class _Evaluator:
    """Calls one callback with fresh buffers: a Python callable directly (so
    that its return value is seen), a compiled one through the core. A point
    that a callback cannot evaluate (it raises EvaluationError, or a compiled
    one returns false) leaves its output NaN; near x (at the points that the
    finite differences use) that is noted once per callback."""

    def __init__(self, problem: Problem, n: int, m: int, nnz: dict[str, int]) -> None:
        self.problem = problem
        self.callbacks = dict(zip(_NAMES, _core._callbacks(problem), strict=True))
        self.sizes = {"eval_grad_f": n, "eval_g": m, "eval_jac_g": nnz["jac"], "eval_h": nnz["h"]}
        self.failed_near: list[str] = []

    def python(self, name: str) -> Callable[..., Any] | None:
        cb = self.callbacks[name]
        compiled = isinstance(cb, tuple) and len(cb) == 3 or type(cb).__name__ == "PyCapsule"
        return None if compiled else cb

    def _near(self, name: str) -> None:
        if name not in self.failed_near:
            self.failed_near.append(name)

    def f(self, x: _Vector) -> tuple[object, bool]:
        """The objective as returned (a float for a compiled one) and whether
        the point could be evaluated."""
        cb = self.python("eval_f")
        if cb is None:
            ok, value = _core._evaluate(self.problem, "f", x)
            return value, ok
        try:
            return cb(x), True
        except _core.EvaluationError:
            return np.nan, False

    def f_near(self, x: _Vector) -> _Vector:
        value, ok = self.f(x)
        try:
            number = _number(value)
        except (TypeError, ValueError):
            number, ok = np.nan, False
        if not ok:
            self._near("eval_f")
        return np.array([number])

    def out(
        self, name: str, x: _Vector, obj_factor: float = 1.0, lam: _Vector | None = None
    ) -> tuple[_Vector, object, bool]:
        """The output array (NaN where not written), the returned value and
        whether the point could be evaluated."""
        out = np.full(self.sizes[name], np.nan)
        cb = self.python(name)
        if cb is None:
            kind = name.removeprefix("eval_")
            ok, _ = _core._evaluate(self.problem, kind, x, out, obj_factor, lam)
            return out, None, ok
        try:
            if name == "eval_h":
                returned = cb(x, lam, obj_factor, out)
            else:
                returned = cb(x, out)
        except _core.EvaluationError:
            out.fill(np.nan)
            return out, None, False
        return out, returned, True

    def out_near(
        self, name: str, x: _Vector, obj_factor: float = 1.0, lam: _Vector | None = None
    ) -> _Vector:
        out, _, ok = self.out(name, x, obj_factor, lam)
        if not ok:
            self._near(name)
        return out


def _positions(mask: npt.NDArray[np.bool_]) -> tuple[int, ...]:
    return tuple(int(i) for i in np.flatnonzero(mask))


def _output_findings(
    name: str, out: _Vector, returned: object, ok: bool, python: bool, findings: list[Finding]
) -> None:
    if not ok:
        what = (
            "cannot be evaluated at x: it raised EvaluationError"
            if python
            else "reported failure: it returned false, or wrote values that are not finite"
        )
        findings.append(Finding(name, what))
        if python:
            return
    if not _is_out(returned, out):
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


def _number(value: object) -> float:
    """The objective as the solver reads it (a float, or what has
    __float__ or __index__; not a str, which float() would parse)."""
    if isinstance(value, float):
        return value
    kind = type(value)
    if hasattr(kind, "__float__"):
        return float(kind.__float__(value))
    if hasattr(kind, "__index__"):
        return float(operator.index(value))  # type: ignore[arg-type]
    raise TypeError(f"{kind.__name__} is not a number")


def _objective_findings(value: object, ok: bool, python: bool, findings: list[Finding]) -> float:
    """The objective at x as a number (NaN when there is none)."""
    if not ok:
        what = "cannot be evaluated at x: it raised EvaluationError" if python else None
        findings.append(Finding("eval_f", what or "reported failure (returned false)"))
        return np.nan
    try:
        number = _number(value)
    except (TypeError, ValueError):
        findings.append(
            Finding(
                "eval_f",
                f"returned a value of type {type(value).__name__}, which is not a number: "
                "return the objective value as a float (solve raises RuntimeError)",
            )
        )
        return np.nan
    if not np.isfinite(number):
        findings.append(Finding("eval_f", f"returned {number}"))
    return number


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
        return
    width = max(shape[1], 1)
    keys = rows * width + cols
    _, first = np.unique(keys, return_index=True)
    repeated = np.ones(keys.size, dtype=bool)
    repeated[first] = False
    if repeated.any():
        findings.append(
            Finding(argument, "duplicate entries (their values are added)", _positions(repeated))
        )
    if hessian:
        upper = rows < cols
        mirrored = upper & np.isin(cols * width + rows, keys)
        if mirrored.any():
            findings.append(
                Finding(
                    argument,
                    "entries in both triangles (each is counted twice); give the lower "
                    "triangle only",
                    _positions(mirrored),
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


def _checked_point(x: npt.ArrayLike, n: int) -> _Vector:
    point = np.array(x, dtype=np.float64).reshape(-1)
    if point.size != n:
        raise ValueError(f"check(): x has {point.size} entries, the problem has n = {n}")
    bad = np.flatnonzero(~np.isfinite(point))
    if bad.size:
        raise ValueError(
            f"check(): x[{bad[0]}] is {point[bad[0]]}; the callbacks are checked at a point "
            "of finite numbers"
        )
    return point


def _checked_tol(tol: float) -> float:
    value = float(tol)
    if not value >= 0.0:  # NaN compares false
        raise ValueError(f"check(): tol must be a number >= 0, not {value}")
    return value


def _differences(
    claim: _compare.Claim,
    function: Callable[[_Vector], _Vector],
    point: _Vector,
    groups: npt.NDArray[np.int64] | None,
    tol: float,
    rng: np.random.Generator,
) -> list[_compare.Difference]:
    steps: _Vector = float(np.finfo(np.float64).eps) ** (1 / 3) * np.maximum(1.0, np.abs(point))
    return _compare.Comparison(claim, function, point, steps, tol, rng).run(groups)


def _gradient_mismatches(
    evaluator: _Evaluator, point: _Vector, grad: _Vector, tol: float, rng: np.random.Generator
) -> list[Mismatch]:
    n = point.size
    index = np.arange(n, dtype=np.int64)
    claim = _compare.Claim(np.zeros(n, np.int64), index, grad, index, (1, n))
    found = _differences(claim, evaluator.f_near, point, None, tol, rng)
    return [Mismatch("eval_grad_f", None, d.column, d.column, d.value, d.estimate) for d in found]


def _jacobian_mismatches(
    evaluator: _Evaluator,
    point: _Vector,
    pattern: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]],
    jac: _Vector,
    m: int,
    tol: float,
    rng: np.random.Generator,
) -> list[Mismatch]:
    rows, cols = pattern
    shape = (m, point.size)
    claim = _compare.Claim(rows, cols, jac, np.arange(rows.size, dtype=np.int64), shape)
    groups = _groups.column_groups(rows, cols, shape)
    found = _differences(claim, lambda y: evaluator.out_near("eval_g", y), point, groups, tol, rng)
    return [Mismatch("eval_jac_g", d.row, d.column, d.index, d.value, d.estimate) for d in found]


def _hessian_mismatches(
    evaluator: _Evaluator,
    point: _Vector,
    pattern: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]],
    hess: _Vector,
    jac_pattern: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]],
    obj_factor: float,
    lam: _Vector,
    tol: float,
    rng: np.random.Generator,
) -> list[Mismatch]:
    """The Hessian of the Lagrangian against the differences of its gradient,
    obj_factor grad f + J^T lam, over the full symmetric pattern; positions
    are reported in the lower triangle."""
    n = point.size
    rows, cols = np.maximum(*pattern), np.minimum(*pattern)
    index = np.arange(rows.size, dtype=np.int64)
    off = rows != cols
    claim = _compare.Claim(
        np.concatenate([rows, cols[off]]),
        np.concatenate([cols, rows[off]]),
        np.concatenate([hess, hess[off]]),
        np.concatenate([index, index[off]]),
        (n, n),
    )
    jac_rows, jac_cols = jac_pattern

    def lagrangian_gradient(y: _Vector) -> _Vector:
        gradient = obj_factor * evaluator.out_near("eval_grad_f", y)
        values = evaluator.out_near("eval_jac_g", y)
        total: _Vector = gradient + np.bincount(
            jac_cols, weights=values * lam[jac_rows], minlength=n
        )
        return total

    groups = _groups.symmetric_column_groups(rows, cols, n)
    found = _differences(claim, lagrangian_gradient, point, groups, tol, rng)
    # A position and its mirror image are one entry: the one seen from its
    # own column in the lower triangle is kept.
    lower: dict[tuple[int, int], _compare.Difference] = {}
    for d in sorted(found, key=lambda d: d.row < d.column):
        lower.setdefault((max(d.row, d.column), min(d.row, d.column)), d)
    return [
        Mismatch("eval_h", r, c, d.index, d.value, d.estimate)
        for (r, c), d in sorted(lower.items(), key=lambda item: (item[0][1], item[0][0]))
    ]


def check(
    self: Problem, x: npt.ArrayLike, *, tol: float = 1e-4, derivatives: bool = True
) -> CheckReport:
    """
    check(x: numpy.typing.ArrayLike, *, tol: float = 1e-4, derivatives: bool = True)
        -> CheckReport

    Evaluate every callback once at x, with outputs pre-filled with NaN, and
    report what breaks the callback contract: outputs not entirely written,
    values returned by callbacks whose return value is ignored (other than
    out itself), an objective that is not a number, duplicate or
    out-of-range pattern entries, Hessian entries above the diagonal or in
    both triangles, lower bounds above upper bounds; then, unless
    derivatives is false, compare the gradient, the Jacobian and the
    Hessian with central finite differences, entry by entry, including
    nonzeros missing from the patterns. A relative difference above tol
    (and above the rounding noise of the evaluations) is a mismatch. The
    Hessian is evaluated with obj_factor 0.625 and multipliers drawn at
    random, both kept in the report, so that a callback ignoring either is
    caught. Columns that share no row of the Jacobian, resp. of the
    Hessian's symmetric pattern, are differenced together, and the gradient
    along random directions, so that a check costs a few evaluations of
    each callback per column group, not per variable; only columns found at
    fault are differenced one by one. The solver is not run;
    intermediate_callback is not called. A point where a callback raises
    EvaluationError is a finding; other exceptions raised by a callback
    propagate.

    Parameters
    ----------
    x : array_like
        The point, of n finite values.
    tol : float, optional
        The relative difference, ``|value - estimate| / max(1, |value|,
        |estimate|)``, above which a derivative is a mismatch; a number
        >= 0.
    derivatives : bool, optional
        False to skip the comparison with finite differences.

    Returns
    -------
    CheckReport
        The findings and the mismatches.

    Raises
    ------
    ValueError
        When x has not n entries or holds NaN or an infinity, or tol is NaN
        or negative.
    RuntimeError
        While another thread solves the problem.

    Examples
    --------
    A gradient returned instead of written into ``out``:

    >>> problem = vornel.Problem(
    ...     n=2, x_l=np.zeros(2), x_u=np.full(2, 10.0), m=0,
    ...     g_l=np.empty(0), g_u=np.empty(0), sparsity_indices_h=None,
    ...     eval_f=lambda x: x @ x,
    ...     eval_grad_f=lambda x, out: 2.0 * x,
    ... )
    >>> report = problem.check([1.0, 2.0])
    >>> report.ok
    False
    >>> print(report.findings[0])
    eval_grad_f: returned a value (ndarray), which is ignored: write the
    results into the output array (out[:] = ...)
    """
    tol = _checked_tol(tol)
    s = _core._structure(self)
    n, m = int(s["n"]), int(s["m"])
    point = _checked_point(x, n)
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

    def python(name: str) -> bool:
        return evaluator.python(name) is not None

    value, ok = evaluator.f(point.copy())
    objective = _objective_findings(value, ok, python("eval_f"), findings)
    outputs = {}
    rng = np.random.default_rng(_SEED)
    lam: _Vector = rng.uniform(0.5, 1.5, m) * rng.choice([-1.0, 1.0], m)
    for name in ("eval_grad_f", "eval_g", "eval_jac_g", "eval_h"):
        if name == "eval_h" and not has_h:
            continue
        out, returned, ok = evaluator.out(name, point.copy(), _OBJ_FACTOR, lam)
        _output_findings(name, out, returned, ok, python(name), findings)
        outputs[name] = out

    # Unwritten (NaN) outputs compare as equal: they are findings already.
    if derivatives:
        if np.isfinite(objective):
            mismatches += _gradient_mismatches(evaluator, point, outputs["eval_grad_f"], tol, rng)
        mismatches += _jacobian_mismatches(
            evaluator, point, (jac_rows, jac_cols), outputs["eval_jac_g"], m, tol, rng
        )
        if has_h:
            mismatches += _hessian_mismatches(
                evaluator,
                point,
                (h_rows, h_cols),
                outputs["eval_h"],
                (jac_rows, jac_cols),
                _OBJ_FACTOR,
                lam,
                tol,
                rng,
            )
        findings += [
            Finding(
                name,
                "cannot be evaluated at some points within the finite-difference steps of x: "
                "derivatives that need them were not compared",
            )
            for name in evaluator.failed_near
        ]
    point.flags.writeable = False
    lam.flags.writeable = False
    return CheckReport(point, tuple(findings), tuple(mismatches), _OBJ_FACTOR, lam)
