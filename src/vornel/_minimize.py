"""scipy.optimize.minimize's interface over Problem: ``vornel.minimize``, and
``vornel.ipopt``, a method for ``scipy.optimize.minimize``.

The user's functions return values (SciPy's convention); the solver's
callbacks write into its buffers. Each function is wrapped once, when the
problem is set up, into a small object that counts its Python calls, keeps
the values of the latest point (the solver asks for the objective and its
gradient, the constraints and their Jacobian, at the same point) and reads
matrices into fixed sparsity patterns (vornel._matrices).
"""

from __future__ import annotations

import functools
import inspect
import operator
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

try:
    # SciPy has no types of its own (scipy-stubs adds them).
    import scipy.sparse  # type: ignore[import-untyped, unused-ignore]
    from scipy.optimize import (  # type: ignore[import-untyped, unused-ignore]
        SR1,
        Bounds,
        HessianUpdateStrategy,
        LinearConstraint,
        NonlinearConstraint,
        OptimizeResult,
    )
except ImportError:  # pragma: no cover - SciPy is a test dependency
    raise ImportError("vornel.minimize and vornel.ipopt need SciPy: pip install scipy") from None

from vornel import _core, _groups
from vornel._matrices import Pattern, nonzeros

if TYPE_CHECKING:
    import numpy.typing as npt

    _Vector = npt.NDArray[np.float64]
    _Index = npt.NDArray[np.int64]

_FD = _groups.METHODS
_INF = np.inf
_STOPPED = "`callback` raised `StopIteration`."
# Forward differences resolve a gradient to about the square root of the
# machine epsilon: Ipopt's tol (1e-8) is then often out of reach, and its
# acceptable level (1e-6) is not met 15 iterations in a row. Stop there
# after two in a row, with the constraint violation and the
# complementarity held to what a success needs (not Ipopt's looser 1e-2).
_TWO_POINT = {
    "acceptable_iter": 2,
    "acceptable_constr_viol_tol": 1e-4,
    "acceptable_compl_inf_tol": 1e-4,
}
# Ipopt's options for a start from a previous solution: its point and
# multipliers, kept where they are instead of pushed into the interior,
# with a small barrier parameter so that the solver does not first walk
# away from them (as in examples/warm_start.py).
_WARM_START = {
    "warm_start_init_point": "yes",
    "warm_start_bound_push": 1e-9,
    "warm_start_bound_frac": 1e-9,
    "warm_start_slack_bound_push": 1e-9,
    "warm_start_slack_bound_frac": 1e-9,
    "warm_start_mult_bound_push": 1e-9,
    "mu_init": 1e-6,
}


# Values the user's functions return.


def _scalar(name: str, value: Any) -> float:
    if isinstance(value, float):
        return value
    array = np.asarray(value)
    if array.size != 1:
        raise ValueError(
            f"{name} must return a scalar; it returned an array of shape {array.shape}"
        )
    return float(array.reshape(()))


def _vector(name: str, value: Any, size: int | None, dtype: Any = np.float64) -> npt.NDArray[Any]:
    """A 1-D array of the given size (any size when None); a shape with one
    dimension of that length and the others 1 is taken as it."""
    array = np.asarray(value, dtype=dtype)
    flat = array.reshape(-1)
    if (size is not None and flat.size != size) or (
        array.ndim > 1 and max(array.shape) != array.size
    ):
        expected = "a 1-D array" if size is None else f"shape ({size},)"
        raise ValueError(f"{name} returned an array of shape {array.shape}; expected {expected}")
    return flat


def _complex(name: str, value: Any, size: int) -> npt.NDArray[Any]:
    """A value at a complex step: it must be complex, else the derivative
    would read as zero."""
    array = _vector(name, value, size, dtype=None)
    if not np.iscomplexobj(array):
        raise TypeError(
            f"{name} returned real values at a complex point: complex steps ('cs') need a "
            "function that computes with complex x; use '2-point' or '3-point'"
        )
    return array


def _copy(x: _Vector) -> _Vector:
    return x.copy()


def _preparer(lb: _Vector, ub: _Vector, keep: npt.NDArray[np.bool_]) -> Callable[[Any], Any]:
    """The point handed to the user's functions: a copy of the solver's,
    projected into the bounds that must be kept feasible (the solver keeps
    them, but may move a bound by a rounding error to keep a slack positive)."""
    if not keep.any():
        return _copy
    low, high = np.where(keep, lb, -_INF), np.where(keep, ub, _INF)
    return functools.partial(np.clip, a_min=low, a_max=high)


class _Function:
    """Python calls of one user function, counted."""

    def __init__(self, name: str, fun: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self.name, self.fun, self.args, self.calls = name, fun, args, 0

    def __call__(self, x: Any, *more: Any) -> Any:
        self.calls += 1
        return self.fun(x, *more, *self.args)


def _fd_method(name: str, value: Any) -> str:
    if value is None or value is False:
        return "2-point"
    if isinstance(value, str) and value in _FD:
        return value
    raise ValueError(
        f"{name} must be a callable or one of '2-point', '3-point', 'cs' (finite "
        f"differences), not {value!r}"
    )


def _quasi_newton(name: str, hess: Any) -> bool:
    """True when hess asks for a quasi-Newton approximation, False for a
    callable; anything else is refused."""
    strategy = isinstance(hess, HessianUpdateStrategy) or (
        isinstance(hess, type) and issubclass(hess, HessianUpdateStrategy)
    )
    if callable(hess) and not strategy:
        return False
    if hess is None or strategy:
        return True
    if isinstance(hess, str) and hess in _FD:
        raise ValueError(
            f"{name}={hess!r}: vornel does not estimate Hessians by finite differences; give "
            "a callable that returns the Hessian (dense or scipy.sparse), or None (or a "
            "HessianUpdateStrategy) for Ipopt's limited-memory quasi-Newton approximation"
        )
    raise TypeError(
        f"{name} must be a callable, None or a HessianUpdateStrategy, not {type(hess).__name__}"
    )


# The objective.


class _Objective:
    """fun with its gradient and Hessian, as the solver asks for them."""

    def __init__(
        self,
        fun: Callable[..., Any],
        jac: Any,
        hess: Any,
        args: tuple[Any, ...],
        x0: _Vector,
        prepare: Callable[[Any], Any],
        bounds: tuple[_Vector, _Vector],
        exact: bool,
    ) -> None:
        n = x0.size
        self._prepare, self._bounds = prepare, bounds
        self._fun = _Function("fun", fun, args)
        self._jac: _Function | None = None
        self._pair = jac is True
        self._method = "2-point"
        self._f_key: bytes | None = None
        self._g_key: bytes | None = None
        self._f = 0.0
        self._g = np.zeros(n)
        if callable(jac):
            self._jac = _Function("jac", jac, args)
        elif not self._pair:
            self._method = _fd_method("jac", jac)
            self._rows, self._cols = np.zeros(n, dtype=np.int64), np.arange(n, dtype=np.int64)
            self._groups = _groups.column_groups(self._rows, self._cols, (1, n))
        self.update_sr1 = isinstance(hess, SR1) or hess is SR1
        self._hess: _Function | None = None
        self.hess_pattern: Pattern | None = None
        if exact:
            self._hess = _Function("hess", hess, args)
            first = self._hess(prepare(x0))
            self.hess_pattern, self._h = Pattern.of("hess", first, (n, n), lower=True)
            self._h_key: bytes | None = x0.tobytes()

    @property
    def two_point(self) -> bool:
        return self._jac is None and not self._pair and self._method == "2-point"

    @property
    def counts(self) -> tuple[int, int, int]:
        jac = self._fun.calls if self._pair else (self._jac.calls if self._jac else 0)
        return self._fun.calls, jac, self._hess.calls if self._hess else 0

    def value(self, x: _Vector) -> float:
        key = x.tobytes()
        if key != self._f_key:
            if self._pair:
                self._evaluate_pair(x, key)
            else:
                self._f = _scalar("fun", self._fun(self._prepare(x)))
                self._f_key = key
        return self._f

    def _evaluate_pair(self, x: _Vector, key: bytes) -> None:
        returned = self._fun(self._prepare(x))
        if not isinstance(returned, tuple | list) or len(returned) != 2:
            raise ValueError(
                "fun must return a pair (f, g) when jac=True; it returned "
                f"{type(returned).__name__}"
            )
        self._f = _scalar("fun", returned[0])
        self._g = _vector("fun (the gradient, g, of its (f, g))", returned[1], self._g.size)
        self._f_key = self._g_key = key

    def gradient(self, x: _Vector, out: _Vector) -> None:
        out[:] = self.gradient_at(x)

    def gradient_at(self, x: _Vector) -> _Vector:
        key = x.tobytes()
        if key != self._g_key:
            if self._pair:
                self._evaluate_pair(x, key)
            elif self._jac is not None:
                self._g = _vector("jac", self._jac(self._prepare(x)), self._g.size)
            else:
                self._g = self._difference(x)
            self._g_key = key
        return self._g

    def _difference(self, x: _Vector) -> _Vector:
        f0 = np.array([self.value(x)])
        h, one_sided = _groups.steps(x, self._method, None, *self._bounds)
        if self._method == "cs":

            def fun(point: Any) -> Any:
                return _complex("fun", self._fun(point), 1)
        else:

            def fun(point: Any) -> Any:
                return np.array([_scalar("fun", self._fun(self._prepare(point)))])

        return _groups.estimate(
            fun, x, f0, self._rows, self._cols, self._groups, h, one_sided, self._method
        )

    def hess_values(self, x: _Vector) -> _Vector:
        assert self._hess is not None and self.hess_pattern is not None
        key = x.tobytes()
        if key != self._h_key:
            self._h = self.hess_pattern.values(self._hess(self._prepare(x)))
            self._h_key = key
        return self._h


# The constraints.


class _Constraint:
    """One constraint object: its values, Jacobian and Hessian, in rows of
    the solver's constraints of their own."""

    name: str
    m: int
    lb: _Vector
    ub: _Vector
    linear: bool
    jac_pattern: Pattern
    hess_pattern: Pattern | None = None

    def values(self, x: _Vector) -> _Vector:
        raise NotImplementedError

    def jac_values(self, x: _Vector) -> _Vector:
        raise NotImplementedError

    def hess_values(self, x: _Vector, v: _Vector) -> _Vector:
        raise NotImplementedError

    @property
    def counts(self) -> tuple[int, int, int]:
        return 0, 0, 0

    def _limits(self, lb: Any, ub: Any, keep_feasible: Any) -> None:
        self.lb, self.ub = _limit_pair(self.name, lb, ub, self.m, "lb", "ub")
        keep = np.broadcast_to(np.asarray(keep_feasible, dtype=bool), (self.m,))
        if np.any(keep & (self.lb != self.ub)):
            raise ValueError(
                f"{self.name}: keep_feasible=True cannot be honoured: Ipopt keeps only the "
                "bounds on the variables feasible (Bounds(..., keep_feasible=True)); state the "
                "constrained quantity as a variable with such bounds, or drop keep_feasible"
            )


def _limit_pair(
    name: str, lb: Any, ub: Any, m: int, lb_name: str, ub_name: str
) -> tuple[_Vector, _Vector]:
    pair = []
    for label, value in ((lb_name, lb), (ub_name, ub)):
        array = np.asarray(value, dtype=np.float64)
        try:
            array = np.broadcast_to(array, (m,)).copy()
        except ValueError:
            raise ValueError(
                f"{name}: {label} has shape {array.shape}, which does not match the "
                f"{m} constraint values"
            ) from None
        if np.isnan(array).any():
            k = int(np.flatnonzero(np.isnan(array))[0])
            raise ValueError(f"{name}: {label}[{k}] is NaN; use -np.inf or np.inf for no bound")
        pair.append(array)
    crossed = pair[0] > pair[1]
    if crossed.any():
        k = int(np.flatnonzero(crossed)[0])
        raise ValueError(
            f"{name}: {lb_name}[{k}] = {pair[0][k]} is above {ub_name}[{k}] = {pair[1][k]}; "
            "the problem is infeasible"
        )
    return pair[0], pair[1]


class _Linear(_Constraint):
    """lb <= A x <= ub: values given to the solver once, Hessian zero."""

    linear = True

    def __init__(self, name: str, con: LinearConstraint, n: int) -> None:
        self.name = name
        a = con.A
        if scipy.sparse.issparse(a):
            csr = scipy.sparse.csr_array(a, dtype=np.float64)
            self._a: Any = csr
        else:
            self._a = np.atleast_2d(np.asarray(a, dtype=np.float64))
            csr = scipy.sparse.csr_array(self._a)
        if self._a.ndim != 2 or self._a.shape[1] != n:
            raise ValueError(
                f"{name}: A has shape {tuple(self._a.shape)}; expected (m, {n}) for {n} variables"
            )
        self.m = int(self._a.shape[0])
        rows, cols = nonzeros(csr, (self.m, n))
        self.jac_pattern = Pattern(f"{name}.A", (self.m, n), rows, cols)
        self._values = np.asarray(csr[rows, cols], dtype=np.float64).reshape(-1)
        self._limits(con.lb, con.ub, con.keep_feasible)

    def values(self, x: _Vector) -> _Vector:
        values: _Vector = self._a @ x
        return values

    def jac_values(self, x: _Vector) -> _Vector:
        return self._values


class _Nonlinear(_Constraint):
    """lb <= fun(x) <= ub with a Jacobian callable or by finite
    differences, and a Hessian callable hess(x, v) or none."""

    linear = False

    def __init__(
        self,
        name: str,
        names: tuple[str, str, str],
        con: NonlinearConstraint,
        x0: _Vector,
        prepare: Callable[[Any], Any],
        bounds: tuple[_Vector, _Vector],
        exact: bool,
    ) -> None:
        n = x0.size
        self.name, self._prepare, self._bounds = name, prepare, bounds
        self._fun = _Function(names[0], con.fun, ())
        first = _vector(names[0], self._fun(prepare(x0)), None)
        self.m, self._c, self._key = first.size, first, x0.tobytes()
        self._limits(con.lb, con.ub, con.keep_feasible)
        shape = (self.m, n)
        declared = getattr(con, "finite_diff_jac_sparsity", None)
        self._rel_step = getattr(con, "finite_diff_rel_step", None)
        self._jac: _Function | None = None
        self._method = "2-point"
        if declared is not None:
            rows, cols = nonzeros(declared, shape)
            self.jac_pattern = Pattern(
                names[1], shape, rows, cols, origin="finite_diff_jac_sparsity"
            )
        if callable(con.jac):
            self._jac = _Function(names[1], con.jac, ())
            value = self._jac(prepare(x0))
            if declared is None:
                self.jac_pattern, self._j = Pattern.of(names[1], value, shape)
            else:
                self._j = self.jac_pattern.values(value)
            self._j_key: bytes | None = self._key
        else:
            self._method = _fd_method(names[1], con.jac)
            if declared is None:
                self.jac_pattern = Pattern.full_matrix(names[1], shape)
            self._groups = _groups.column_groups(
                self.jac_pattern.rows, self.jac_pattern.cols, shape
            )
            self._j_key = None
        self._hess: _Function | None = None
        if exact:
            self._hess = _Function(names[2], con.hess, ())
            # All multipliers 1, so that no part of the pattern is lost to a zero.
            value = self._hess(prepare(x0), np.ones(self.m))
            self.hess_pattern, _ = Pattern.of(names[2], value, (n, n), lower=True)

    @property
    def counts(self) -> tuple[int, int, int]:
        return (
            self._fun.calls,
            self._jac.calls if self._jac else 0,
            self._hess.calls if self._hess else 0,
        )

    @property
    def two_point(self) -> bool:
        return self._jac is None and self._method == "2-point"

    @property
    def groups(self) -> int:
        """Evaluations of fun per finite-difference Jacobian (beside the
        one at the point itself for '2-point')."""
        if self._jac is not None:
            return 0
        count = _groups.group_count(self._groups)
        return 2 * count if self._method == "3-point" else count

    def values(self, x: _Vector) -> _Vector:
        key = x.tobytes()
        if key != self._key:
            self._c = _vector(self._fun.name, self._fun(self._prepare(x)), self.m)
            self._key = key
        return self._c

    def jac_values(self, x: _Vector) -> _Vector:
        key = x.tobytes()
        if key != self._j_key:
            if self._jac is not None:
                self._j = self.jac_pattern.values(self._jac(self._prepare(x)))
            else:
                self._j = self._difference(x)
            self._j_key = key
        return self._j

    def _difference(self, x: _Vector) -> _Vector:
        name, m = self._fun.name, self.m
        f0 = self.values(x) if self._method != "cs" else None
        h, one_sided = _groups.steps(x, self._method, self._rel_step, *self._bounds)
        if self._method == "cs":

            def fun(point: Any) -> Any:
                return _complex(name, self._fun(point), m)
        else:

            def fun(point: Any) -> Any:
                return _vector(name, self._fun(self._prepare(point)), m)

        pattern = self.jac_pattern
        return _groups.estimate(
            fun, x, f0, pattern.rows, pattern.cols, self._groups, h, one_sided, self._method
        )

    def hess_values(self, x: _Vector, v: _Vector) -> _Vector:
        assert self._hess is not None and self.hess_pattern is not None
        return self.hess_pattern.values(self._hess(self._prepare(x), v.copy()))


def _from_dict(i: int, con: dict[str, Any]) -> tuple[NonlinearConstraint, tuple[str, str, str]]:
    """An old-style constraint dict as the NonlinearConstraint it means."""
    where = f"constraints[{i}]"
    kind = con.get("type")
    if not isinstance(kind, str) or kind.lower() not in ("eq", "ineq"):
        raise ValueError(f"{where}['type'] must be 'eq' or 'ineq', not {kind!r}")
    if "fun" not in con:
        raise ValueError(f"{where} has no 'fun'")
    args = tuple(con.get("args", ()))
    fun, jac = con["fun"], con.get("jac")
    if args:
        fun = functools.partial(_with_args, fun, args)
        if callable(jac):
            jac = functools.partial(_with_args, jac, args)
    ub = 0.0 if kind.lower() == "eq" else _INF
    names = (f"{where}['fun']", f"{where}['jac']", f"{where}['hess']")
    return NonlinearConstraint(fun, 0.0, ub, jac=jac if jac is not None else "2-point"), names


def _with_args(fun: Callable[..., Any], args: tuple[Any, ...], x: Any) -> Any:
    return fun(x, *args)


def _listed(constraints: Any) -> list[tuple[str, tuple[str, str, str], Any]]:
    """Each constraint with its name and the names of its functions, dicts
    as the NonlinearConstraint they mean."""
    if constraints is None:
        listed: list[Any] = []
    elif isinstance(constraints, LinearConstraint | NonlinearConstraint | dict):
        listed = [constraints]
    else:
        listed = list(constraints)
    result = []
    for i, con in enumerate(listed):
        name = f"constraints[{i}]"
        names = (f"{name}.fun", f"{name}.jac", f"{name}.hess")
        if isinstance(con, dict):
            con, names = _from_dict(i, con)
        elif not isinstance(con, LinearConstraint | NonlinearConstraint):
            raise TypeError(
                f"{name} must be a LinearConstraint, a NonlinearConstraint or a dict "
                f"{{'type': 'eq' or 'ineq', 'fun': ...}}, not {type(con).__name__}"
            )
        result.append((name, names, con))
    return result


def _exact_hessian(hess: Any, listed: list[tuple[str, tuple[str, str, str], Any]]) -> bool:
    """Whether Ipopt gets the Lagrangian's Hessian: the objective's and
    every nonlinear constraint's are callables."""
    exact = not _quasi_newton("hess", hess)
    for _, names, con in listed:
        if isinstance(con, NonlinearConstraint):
            exact = not _quasi_newton(names[2], con.hess) and exact
    return exact


def _constraints(
    listed: list[tuple[str, tuple[str, str, str], Any]],
    x0: _Vector,
    prepare: Callable[[Any], Any],
    bounds: tuple[_Vector, _Vector],
    exact: bool,
) -> list[_Constraint]:
    return [
        _Linear(name, con, x0.size)
        if isinstance(con, LinearConstraint)
        else _Nonlinear(name, names, con, x0, prepare, bounds, exact)
        for name, names, con in listed
    ]


# Bounds, starting point and options.


def _bound_value(value: Any, default: float) -> float:
    return default if value is None else float(np.asarray(value, dtype=np.float64).reshape(()))


def _bounds(bounds: Any, n: int) -> tuple[_Vector, _Vector, npt.NDArray[np.bool_]]:
    if bounds is None:
        return np.full(n, -_INF), np.full(n, _INF), np.zeros(n, dtype=bool)
    if isinstance(bounds, Bounds):
        lb, ub, keep = bounds.lb, bounds.ub, bounds.keep_feasible
    else:
        pairs = list(bounds)
        if len(pairs) != n:
            raise ValueError(f"bounds: {len(pairs)} (min, max) pairs for {n} variables")
        try:
            lb = [_bound_value(low, -_INF) for low, _ in pairs]
            ub = [_bound_value(high, _INF) for _, high in pairs]
        except (TypeError, ValueError):
            raise ValueError(
                "bounds must be a scipy.optimize.Bounds or a sequence of (min, max) pairs "
                "of numbers or None"
            ) from None
        keep = False
    low, high = _limit_pair("bounds", lb, ub, n, "lb", "ub")
    return low, high, np.broadcast_to(np.asarray(keep, dtype=bool), (n,)) & (low < high)


def _start(x0: Any) -> tuple[_Vector, Any]:
    """The starting point as a fresh float64 vector, and the previous
    result when x0 is one (a warm start)."""
    previous = None
    if isinstance(x0, OptimizeResult):
        if "solve_result" not in x0:
            raise ValueError(
                "x0 is an OptimizeResult without solve_result: warm starts take a result "
                "of vornel.minimize; pass result.x to start from its point alone"
            )
        previous, x0 = x0, x0.x
    x = np.array(x0, dtype=np.float64)
    if x.ndim > 1:
        raise ValueError(f"x0 must be 1-D; it has shape {x.shape}")
    x = x.reshape(-1)
    if not np.isfinite(x).all():
        k = int(np.flatnonzero(~np.isfinite(x))[0])
        raise ValueError(f"x0[{k}] = {x[k]} is not finite")
    return x, previous


_OPTION_TYPES: dict[str, Any] = {}


def _option_types() -> dict[str, Any]:
    # Read once: listing Ipopt's options makes an application of its own.
    if not _OPTION_TYPES:
        _OPTION_TYPES.update((o["name"], o["type"]) for o in _core.get_ipopt_options())
    return _OPTION_TYPES


def _option_value(name: str, value: Any) -> Any:
    """Python values as Ipopt's typed setters take them: bools as yes/no,
    NumPy scalars as Python's, integers as floats for numeric options."""
    if isinstance(value, bool | np.bool_):
        return "yes" if value else "no"
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, int) and _option_types().get(name) is float:
        return float(value)
    return value


def _ipopt_options(
    options: dict[str, Any] | None, tol: float | None, chosen: dict[str, Any]
) -> dict[str, Any]:
    """Ipopt's options: silence unless disp, our choices, then the caller's
    (by Ipopt's names, with SciPy's maxiter and disp)."""
    given = dict(options or {})
    disp = bool(given.pop("disp", False))
    for scipy_name, ipopt_name, value in (
        ("maxiter", "max_iter", given.pop("maxiter", None)),
        ("tol", "tol", tol),
    ):
        if value is None:
            continue
        if ipopt_name in given:
            raise ValueError(f"options: give one of {scipy_name} and {ipopt_name!r}, not both")
        given[ipopt_name] = value
    if "max_iter" in given:
        given["max_iter"] = operator.index(given["max_iter"])
    if tol is not None:
        given["tol"] = float(tol)
    result: dict[str, Any] = {"print_level": 5} if disp else {"print_level": 0, "sb": "yes"}
    result.update(chosen)
    result.update({name: _option_value(name, value) for name, value in given.items()})
    return result


# The callback.


def _wants_result(callback: Callable[..., Any]) -> bool:
    """SciPy's rule: a callback whose only parameter is named
    intermediate_result gets an OptimizeResult, any other the point."""
    try:
        parameters = inspect.signature(callback).parameters
    except (TypeError, ValueError):
        return False
    return set(parameters) == {"intermediate_result"}


class _Callback:
    """The user's callback, called after each iteration from Ipopt's
    intermediate callback; StopIteration stops the solve, any other
    exception too, and is raised again once the solver has returned."""

    def __init__(self, callback: Callable[..., Any]) -> None:
        self.callback = callback
        self.modern = _wants_result(callback)
        self.problem: Any = None
        self.stopped = False
        self.error: BaseException | None = None

    def __call__(
        self, mode: int, iteration: int, obj_value: float, inf_pr: float, inf_du: float, *_: Any
    ) -> bool:
        if iteration == 0:
            return True
        try:
            iterate = self.problem.current_iterate()
        except RuntimeError:
            # Ipopt 3.11 gives no iterate in the restoration phase.
            return True
        try:
            if self.modern:
                violation = iterate.constraint_violation
                self.callback(
                    intermediate_result=OptimizeResult(
                        x=iterate.x.copy(),
                        fun=obj_value,
                        nit=iteration,
                        maxcv=violation,
                        constr_violation=violation,
                        optimality=inf_du,
                    )
                )
            else:
                self.callback(iterate.x.copy())
        except StopIteration:
            self.stopped = True
            return False
        except Exception as error:
            self.error = error
            return False
        return True


# The problem.


def _slices(sizes: Sequence[int]) -> list[slice]:
    ends = np.cumsum([0, *sizes]).tolist()
    return [slice(a, b) for a, b in zip(ends[:-1], ends[1:], strict=True)]


def _constraint_arguments(
    m: int, eval_g: Callable[..., None], eval_jac_g: Callable[..., None]
) -> dict[str, Any]:
    # Without constraints Problem needs neither callback, and none is called.
    return {} if m == 0 else {"eval_g": eval_g, "eval_jac_g": eval_jac_g}


def _jacobian(
    cons: list[_Constraint], rows_of: list[slice], n: int
) -> tuple[tuple[_Index, _Index], Callable[..., None], Callable[..., None]]:
    entries_of = _slices([c.jac_pattern.size for c in cons])
    rows = [c.jac_pattern.rows + s.start for c, s in zip(cons, rows_of, strict=True)]
    cols = [c.jac_pattern.cols for c in cons]
    pattern = (
        np.concatenate(rows) if rows else np.zeros(0, np.int64),
        np.concatenate(cols) if cols else np.zeros(0, np.int64),
    )
    value_parts = list(zip(cons, rows_of, strict=True))
    jac_parts = list(zip(cons, entries_of, strict=True))

    def eval_g(x: _Vector, out: _Vector) -> None:
        for con, part in value_parts:
            out[part] = con.values(x)

    def eval_jac_g(x: _Vector, out: _Vector) -> None:
        for con, part in jac_parts:
            out[part] = con.jac_values(x)

    return pattern, eval_g, eval_jac_g


def _hessian(
    objective: _Objective, cons: list[_Constraint], rows_of: list[slice], n: int
) -> tuple[tuple[_Index, _Index], Callable[..., None]]:
    """The pattern of the Lagrangian's Hessian (the union of the parts'
    lower triangles) and eval_h, which adds each part into its positions."""
    assert objective.hess_pattern is not None
    parts = [
        (con, part)
        for con, part in zip(cons, rows_of, strict=True)
        if con.hess_pattern is not None and con.hess_pattern.size
    ]
    patterns = [objective.hess_pattern] + [con.hess_pattern for con, _ in parts]
    keys = [p.rows * n + p.cols for p in patterns if p is not None]
    # Each pattern is sorted; the union is often the objective's own.
    union = keys[0]
    where = [np.searchsorted(union, k) for k in keys]
    subset = all(
        union.size and np.array_equal(union[np.minimum(w, union.size - 1)], k)
        for w, k in zip(where, keys, strict=True)
        if k.size
    )
    if not subset:
        union = np.sort(np.concatenate(keys))
        union = union[np.concatenate([[True], union[1:] != union[:-1]])]
        where = [np.searchsorted(union, k) for k in keys]
    own = where[0]
    constraint_parts = [(con, part, w) for (con, part), w in zip(parts, where[1:], strict=True)]

    # The objective's pattern is often the whole union: then its values are
    # assigned, and the constraints' added.
    covers = own.size == union.size

    def eval_h(x: _Vector, lagrange: _Vector, obj_factor: float, out: _Vector) -> None:
        if covers:
            out[:] = obj_factor * objective.hess_values(x) if obj_factor != 0.0 else 0.0
        else:
            out[:] = 0.0
            if obj_factor != 0.0:
                out[own] = obj_factor * objective.hess_values(x)
        for con, part, positions in constraint_parts:
            out[positions] += con.hess_values(x, lagrange[part])

    return (union // n, union % n), eval_h


def _chosen_options(
    keep: npt.NDArray[np.bool_],
    cons: list[_Constraint],
    objective: _Objective,
    exact: bool,
    previous: Any,
) -> dict[str, Any]:
    chosen: dict[str, Any] = {}
    if keep.any():
        chosen.update(bound_relax_factor=0.0, honor_original_bounds="yes")
    # Constant Jacobians where every equality (or inequality) row is linear.
    if all(c.linear for c in cons if np.any(c.lb == c.ub)):
        chosen["jac_c_constant"] = "yes"
    if all(c.linear for c in cons if np.any(c.lb != c.ub)):
        chosen["jac_d_constant"] = "yes"
    if objective.two_point or any(getattr(c, "two_point", False) for c in cons):
        chosen.update(_TWO_POINT)
    if not exact and objective.update_sr1:
        chosen["limited_memory_update_type"] = "sr1"
    if previous is not None:
        chosen.update(_WARM_START)
    return chosen


def _warm_multipliers(previous: Any, n: int, m: int) -> dict[str, _Vector]:
    if previous is None:
        return {}
    record = previous.solve_result
    if record.mult_x_L.size != n or record.mult_g.size != m:
        raise ValueError(
            f"x0: the previous result has {record.mult_x_L.size} variables and "
            f"{record.mult_g.size} constraint values, this problem {n} and {m}; a warm "
            "start needs the same problem"
        )
    return {
        "mult_g": record.mult_g.copy(),
        "mult_x_L": record.mult_x_L.copy(),
        "mult_x_U": record.mult_x_U.copy(),
    }


def _violation(
    x: _Vector, lb: _Vector, ub: _Vector, g: _Vector, g_l: _Vector, g_u: _Vector
) -> float:
    parts = [lb - x, x - ub, g_l - g, g - g_u]
    return float(max(0.0, *(float(np.max(p, initial=0.0)) for p in parts)))


def minimize(
    fun: Callable[..., Any],
    x0: Any,
    args: Any = (),
    *,
    jac: Any = None,
    hess: Any = None,
    hessp: Any = None,
    bounds: Any = None,
    constraints: Any = (),
    tol: float | None = None,
    callback: Callable[..., Any] | None = None,
    options: dict[str, Any] | None = None,
) -> OptimizeResult:
    """
    Minimize a scalar function of one or more variables with Ipopt.

    The interface of :func:`scipy.optimize.minimize`, with SciPy's meanings,
    over :class:`vornel.Problem`: it solves
    ``min fun(x)`` subject to ``lb <= x <= ub`` (`bounds`) and
    ``lb <= c(x) <= ub`` (`constraints`) with Ipopt's interior-point method.

    Parameters
    ----------
    fun : callable
        The objective, ``fun(x, *args) -> float``, where ``x`` is a 1-D
        array of shape (n,) (a copy the function may keep or change).
    x0 : array_like or OptimizeResult
        The starting point, of shape (n,). A result of an earlier
        ``vornel.minimize`` of the same problem starts warm: from its point
        and its multipliers, with Ipopt's ``warm_start_init_point``, bound
        pushes and fractions of 1e-9 and ``mu_init`` 1e-6 (`options`
        override them).
    args : tuple, optional
        Extra arguments passed to `fun`, `jac` and `hess`.
    jac : {callable, True, None, '2-point', '3-point', 'cs'}, optional
        The gradient: a callable ``jac(x, *args) -> array_like, shape (n,)``;
        True when `fun` returns ``(f, g)``, evaluated once per point; or a
        finite-difference scheme (None means '2-point') with SciPy's
        relative steps, kept within `bounds`: n evaluations of `fun` per
        gradient ('3-point': 2n; 'cs', complex steps: n, `fun` must accept
        a complex x), reusing ``fun(x)``.
    hess : {callable, None, HessianUpdateStrategy}, optional
        The objective's Hessian, ``hess(x, *args)``, a dense array or a
        scipy.sparse matrix or array of shape (n, n) (the whole symmetric
        matrix; its lower triangle is read). None, or a
        HessianUpdateStrategy such as ``BFGS()`` or ``SR1()``, uses
        Ipopt's limited-memory quasi-Newton approximation of the
        Lagrangian's Hessian (``SR1()`` selects its SR1 update; the
        strategy's own parameters are not used). Ipopt is given the
        Hessian of the Lagrangian, ``hess(x)`` times the objective factor
        plus each NonlinearConstraint's ``hess(x, v)``; where a nonlinear
        constraint has no Hessian callable, the whole problem uses the
        approximation.
    hessp : None
        Not supported (Ipopt needs the Hessian's entries): give `hess`,
        or leave both out for the approximation. Ignored when `hess` is
        given, as SciPy does.
    bounds : Bounds or sequence, optional
        Bounds on the variables: a :class:`scipy.optimize.Bounds`, or one
        ``(min, max)`` pair per variable with None for no bound. A lower
        bound above its upper bound is refused before solving. With
        ``keep_feasible=True`` (any component) Ipopt's
        ``bound_relax_factor`` is 0 and ``honor_original_bounds`` "yes":
        then `fun`, `jac`, `hess` and the constraints, finite-difference
        steps included, are only evaluated at points within those bounds,
        and the result lies within them.
    constraints : {LinearConstraint, NonlinearConstraint, dict} or sequence, optional
        Any mix of :class:`scipy.optimize.LinearConstraint` (``A`` dense or
        sparse: a constant Jacobian given to Ipopt once, with
        ``jac_c_constant``/``jac_d_constant`` where all equality or all
        inequality rows are linear), :class:`scipy.optimize.NonlinearConstraint`
        (``jac`` a callable returning a dense or sparse matrix, or a
        finite-difference scheme, grouped by ``finite_diff_jac_sparsity``
        when given; ``hess(x, v)`` returning ``sum(v[i] * hess c_i(x))``, or
        None or a HessianUpdateStrategy) and old-style dicts ``{"type":
        "eq" or "ineq", "fun": ..., "jac": ..., "args": ...}`` ("ineq"
        means ``fun(x) >= 0``). ``keep_feasible=True`` on a constraint is
        refused: Ipopt keeps only variable bounds feasible.
    tol : float, optional
        Ipopt's ``tol``, the convergence tolerance.
    callback : callable, optional
        Called after each iteration, as ``callback(intermediate_result)``
        when its one parameter has that name (an OptimizeResult with ``x``,
        ``fun``, ``nit``, ``maxcv`` and ``constr_violation``, the largest
        bound or constraint violation, and ``optimality``, the dual
        infeasibility), else as ``callback(xk)``. Raising StopIteration
        ends the solve (status ``User_Requested_Stop``, success False);
        another exception ends it too and is raised from minimize. With
        Ipopt 3.11 it is not called in the restoration phase.
    options : dict, optional
        Ipopt's options by Ipopt's names (``vornel.get_ipopt_options()``),
        and SciPy's ``maxiter`` (Ipopt's ``max_iter``) and ``disp``
        (False by default: nothing is printed; True: ``print_level`` 5).
        Integers are taken for numeric options, bools as "yes"/"no". Where
        forward differences ('2-point') give a gradient or Jacobian, whose
        noise often keeps Ipopt from its ``tol``, an acceptable point
        (``acceptable_tol``, 1e-6) ends the solve after 2 iterations in a
        row instead of 15 (``acceptable_iter``), with
        ``acceptable_constr_viol_tol`` and ``acceptable_compl_inf_tol``
        1e-4, as for a success.

    Returns
    -------
    OptimizeResult
        ``x``, ``fun``, ``jac`` (the gradient at x), ``success``,
        ``status`` (a :class:`vornel.Status`), ``message`` (str), ``nit``,
        ``nfev``, ``njev``, ``nhev`` (Python calls of `fun`, `jac` and
        `hess`, finite differences included; with ``jac=True`` each call
        of fun counts in both), ``maxcv`` and ``constr_violation`` (the
        largest violation of a bound or constraint at x), ``optimality``
        (the final dual infeasibility), ``constr`` and ``v`` (each
        constraint's values and multipliers, in the order given, then
        those of the bounds when given: x and ``mult_x_U - mult_x_L``),
        ``constr_nfev``, ``constr_njev``, ``constr_nhev`` (Python calls of
        each constraint's functions) and ``solve_result`` (the
        :class:`vornel.SolveResult`). Multipliers follow SciPy's
        trust-constr: the Lagrangian is ``fun(x) + sum(v_i . c_i(x))``, a
        positive multiplier means the upper bound is active, a negative one
        the lower.

    Raises
    ------
    ValueError, TypeError
        Before solving, for arguments that do not fit (shapes, crossed
        bounds, unsupported combinations), naming the argument; while
        solving, for a function that returns a wrong shape, naming it and
        the shapes, or a nonzero outside its sparsity pattern.

    See Also
    --------
    ipopt : The same solver as a method of scipy.optimize.minimize.
    vornel.Problem : The problem stated by its callbacks.

    Notes
    -----
    Sparse matrices keep the pattern of their first evaluation (at x0;
    a constraint Hessian with all multipliers 1), explicit zeros included,
    or the declared ``finite_diff_jac_sparsity``; later values are read
    into that pattern without densifying, and a nonzero outside it
    raises ValueError naming the function and the position. A dense
    matrix is taken as dense.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.optimize import NonlinearConstraint, rosen, rosen_der
    >>> import vornel
    >>> disk = NonlinearConstraint(lambda x: x @ x, -np.inf, 1.0)
    >>> res = vornel.minimize(rosen, [0.0, 0.0], jac=rosen_der, constraints=disk)
    >>> res.success, np.round(res.x, 4)
    (True, array([0.7864, 0.6177]))
    """
    if hessp is not None and hess is None:
        raise ValueError(
            "hessp is not supported: Ipopt needs the Hessian's entries; give hess (a "
            "callable returning the Hessian as a NumPy array or scipy.sparse matrix), or "
            "leave both out for Ipopt's limited-memory quasi-Newton approximation"
        )
    x, previous = _start(x0)
    n = x.size
    args = args if isinstance(args, tuple) else (args,)
    lb, ub, keep = _bounds(bounds, n)
    prepare = _preparer(lb, ub, keep)
    listed = _listed(constraints)
    exact = _exact_hessian(hess, listed)
    objective = _Objective(fun, jac, hess, args, x, prepare, (lb, ub), exact)
    cons = _constraints(listed, x, prepare, (lb, ub), exact)
    m = sum(c.m for c in cons)
    rows_of = _slices([c.m for c in cons])
    jac_pattern, eval_g, eval_jac_g = _jacobian(cons, rows_of, n)
    h_pattern, eval_h = _hessian(objective, cons, rows_of, n) if exact else (None, None)
    cb = _Callback(callback) if callback is not None else None
    g_l = np.concatenate([c.lb for c in cons]) if cons else np.zeros(0)
    g_u = np.concatenate([c.ub for c in cons]) if cons else np.zeros(0)
    problem = _core.Problem(
        n=n,
        x_l=lb,
        x_u=ub,
        m=m,
        g_l=g_l,
        g_u=g_u,
        sparsity_indices_jac_g=jac_pattern,
        sparsity_indices_h=h_pattern,
        eval_f=objective.value,
        eval_grad_f=objective.gradient,
        **_constraint_arguments(m, eval_g, eval_jac_g),
        eval_h=eval_h,
        intermediate_callback=cb,
        ipopt_options=_ipopt_options(
            options, tol, _chosen_options(keep, cons, objective, exact, previous)
        ),
    )
    multipliers = _warm_multipliers(previous, n, m)
    if cb is not None:
        cb.problem = problem
    try:
        problem.solve(x, **multipliers)
    finally:
        if cb is not None:
            cb.problem = None
    if cb is not None and cb.error is not None:
        raise cb.error
    stopped = cb is not None and cb.stopped
    return _result(problem, x, objective, cons, rows_of, (lb, ub, g_l, g_u), bounds, stopped)


def _result(
    problem: Any,
    x: _Vector,
    objective: _Objective,
    cons: list[_Constraint],
    rows_of: list[slice],
    limits: tuple[_Vector, _Vector, _Vector, _Vector],
    bounds: Any,
    stopped: bool,
) -> OptimizeResult:
    record = problem.result
    lb, ub, g_l, g_u = limits
    # At x itself: Ipopt reports the values before it moves x back into
    # bounds it relaxed; the latest evaluations are usually at x already.
    value = objective.value(x)
    gradient = objective.gradient_at(x).copy()
    constr = [c.values(x).copy() for c in cons]
    g = np.concatenate(constr) if constr else np.zeros(0)
    v = [record.mult_g[part].copy() for part in rows_of]
    if bounds is not None:
        constr.append(x.copy())
        v.append(record.mult_x_U - record.mult_x_L)
    violation = _violation(x, lb, ub, g, g_l, g_u)
    nfev, njev, nhev = objective.counts
    counts = [c.counts for c in cons]
    return OptimizeResult(
        x=x,
        fun=value,
        jac=gradient,
        success=record.success and not stopped,
        status=record.status,
        message=_STOPPED if stopped else record.message,
        nit=record.iterations,
        nfev=nfev,
        njev=njev,
        nhev=nhev,
        maxcv=violation,
        constr_violation=violation,
        optimality=record.dual_infeasibility,
        constr=constr,
        v=v,
        constr_nfev=[c[0] for c in counts],
        constr_njev=[c[1] for c in counts],
        constr_nhev=[c[2] for c in counts],
        solve_result=record,
    )


def ipopt(
    fun: Callable[..., Any],
    x0: Any,
    args: Any = (),
    jac: Any = None,
    hess: Any = None,
    hessp: Any = None,
    bounds: Any = None,
    constraints: Any = (),
    callback: Callable[..., Any] | None = None,
    **options: Any,
) -> OptimizeResult:
    """
    Ipopt as a method of :func:`scipy.optimize.minimize`.

    ``scipy.optimize.minimize(fun, x0, method=vornel.ipopt, ...)`` calls
    this with its arguments and the entries of its `options` as keywords
    (``tol`` among them when given); it solves as :func:`vornel.minimize`
    does and returns the same result.

    Parameters
    ----------
    fun, x0, args, jac, hess, hessp, bounds, constraints, callback
        As for :func:`vornel.minimize`. SciPy has already turned
        ``jac=True`` into a function of its own, and passes
        ``jac='2-point'``, ``'3-point'`` and ``'cs'`` to a method it does
        not know as None: forward differences. A previous result as `x0`
        starts warm here too.
    **options
        ``tol``, ``maxiter``, ``disp`` and Ipopt's options by Ipopt's
        names.

    Returns
    -------
    OptimizeResult
        As :func:`vornel.minimize` returns it.

    Examples
    --------
    >>> import numpy as np
    >>> from scipy.optimize import minimize, rosen, rosen_der
    >>> import vornel
    >>> res = minimize(rosen, np.zeros(3), method=vornel.ipopt, jac=rosen_der,
    ...                options={"maxiter": 100})
    >>> res.success, np.round(res.x, 6)
    (True, array([1., 1., 1.]))
    """
    # SciPy makes an array of whatever x0 is: a previous result arrives wrapped.
    if isinstance(x0, np.ndarray) and x0.dtype == object and x0.size == 1:
        x0 = x0.reshape(-1)[0]
    tol = options.pop("tol", None)
    return minimize(
        fun,
        x0,
        args,
        jac=jac,
        hess=hess,
        hessp=hessp,
        bounds=bounds,
        constraints=constraints,
        tol=tol,
        callback=callback,
        options=options,
    )
