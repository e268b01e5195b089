"""Records of a solve and of the current iterate, built from the core's copies."""

from __future__ import annotations

import dataclasses
import types
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from vornel import _core
from vornel._status import Status

if TYPE_CHECKING:
    # Annotations only: numpy.typing costs a sixth of this module's import.
    import numpy.typing as npt

    from vornel import Problem

    _Vector = npt.NDArray[np.float64]


_SUCCESS = frozenset(
    {Status.Solve_Succeeded, Status.Solved_To_Acceptable_Level, Status.Feasible_Point_Found}
)


def _frozen(array: _Vector) -> _Vector:
    array.flags.writeable = False
    return array


def _lines(record: Any, names: list[str]) -> str:
    width = max(len(name) for name in names)
    with np.printoptions(threshold=8, edgeitems=3, precision=6):
        return "\n".join(f"{name:>{width}}: {getattr(record, name)!r}" for name in names)


@dataclasses.dataclass(frozen=True, kw_only=True, repr=False, eq=False)
class SolveResult:
    """What the latest ``Problem.solve`` produced, read-only.

    ``Problem.result`` returns it: a copy taken at the end of the solve, so
    later solves do not change it. Values the solver did not produce (it
    stopped before its first iterate, for instance with an invalid option)
    are NaN, and -1 for the counts.

    Attributes
    ----------
    x : numpy.ndarray
        The final point (the starting point if the solver stopped before
        it produced one).
    objective : float
        The objective value at x (NaN if the solver stopped before it
        evaluated one).
    status : Status
        The return status, by name; ``status.explanation`` says what it
        means and what to try.
    success : bool
        True for Solve_Succeeded, Solved_To_Acceptable_Level and
        Feasible_Point_Found.
    g : numpy.ndarray
        The constraint values at x.
    mult_g : numpy.ndarray
        The final multipliers of the constraints, whether or not an array
        was passed to solve.
    mult_x_L : numpy.ndarray
        The final multipliers of the lower bounds.
    mult_x_U : numpy.ndarray
        The final multipliers of the upper bounds.
    iterations : int
        The number of iterations.
    evaluation_errors : int
        The evaluations reported to the solver as failed, from which it
        went on with a shorter step: a Python callback raising
        EvaluationError, a compiled one returning false, a Jacobian or
        Hessian holding a value that is not finite.
    primal_infeasibility : float
        The final unscaled constraint violation (max norm), as Ipopt's
        summary prints it.
    dual_infeasibility : float
        The final unscaled dual infeasibility (max norm).
    complementarity : float
        The final unscaled complementarity (max norm).
    evaluations : collections.abc.Mapping
        The evaluation counts by name (str to int), the keys of
        ``Problem.stats``.
    wall_time : float
        Seconds the solve took.
    cpu_time : float
        Seconds of CPU time on the solving thread (other threads' solves do
        not count).

    Examples
    --------
    >>> problem = vornel.Problem(
    ...     n=1, x_l=np.array([-1e20]), x_u=np.array([1e20]), m=0,
    ...     g_l=np.empty(0), g_u=np.empty(0),
    ...     sparsity_indices_h=None, eval_f=lambda x: (x[0] - 3.0) ** 2,
    ...     eval_grad_f=lambda x, out: out.__setitem__(0, 2.0 * (x[0] - 3.0)),
    ...     ipopt_options={"print_level": 0, "sb": "yes"},
    ... )
    >>> _ = problem.solve(np.array([0.0]))
    >>> result = problem.result
    >>> result.success, result.status.name, round(float(result.x[0]), 6)
    (True, 'Solve_Succeeded', 3.0)
    """

    x: _Vector
    objective: float
    status: Status
    success: bool
    g: _Vector
    mult_g: _Vector
    mult_x_L: _Vector
    mult_x_U: _Vector
    iterations: int
    evaluation_errors: int
    primal_infeasibility: float
    dual_infeasibility: float
    complementarity: float
    evaluations: Mapping[str, int]
    wall_time: float
    cpu_time: float

    @property
    def message(self) -> str:
        """The explanation of the status."""
        return self.status.explanation

    def __repr__(self) -> str:
        names = [field.name for field in dataclasses.fields(self)]
        return f"SolveResult(\n{_lines(self, names)}\n)"

    def __str__(self) -> str:
        return (
            f"{self.status.name} ({int(self.status)}): {self.message}\n"
            f"objective {self.objective:.10g} after {self.iterations} iterations "
            f"in {self.wall_time:.3g} s (CPU {self.cpu_time:.3g} s); final primal "
            f"infeasibility {self.primal_infeasibility:.3g}, dual infeasibility "
            f"{self.dual_infeasibility:.3g}, complementarity {self.complementarity:.3g}"
            + (
                f"; {self.evaluation_errors} evaluation(s) failed and were stepped around"
                if self.evaluation_errors > 0
                else ""
            )
        )


@dataclasses.dataclass(frozen=True, kw_only=True, repr=False, eq=False)
class Iterate:
    """The solver's current iterate, read inside ``intermediate_callback``.

    ``Problem.current_iterate()`` returns it.

    Attributes
    ----------
    x : numpy.ndarray
        The current point, unscaled, in the problem's variable order.
    g : numpy.ndarray
        The constraint values at x.
    x_L_violation : numpy.ndarray
        How far x lies below its lower bounds (0 where it does not).
    x_U_violation : numpy.ndarray
        How far x lies above its upper bounds (0 where it does not).
    g_violation : numpy.ndarray
        How far each constraint value lies outside its bounds.
    """

    x: _Vector
    g: _Vector
    x_L_violation: _Vector
    x_U_violation: _Vector
    g_violation: _Vector

    @property
    def constraint_violation(self) -> float:
        """The largest violation of a bound or constraint (max norm)."""
        parts = [self.x_L_violation, self.x_U_violation, self.g_violation]
        return float(max((np.max(p) for p in parts if p.size), default=0.0))

    def __repr__(self) -> str:
        names = [field.name for field in dataclasses.fields(self)]
        return f"Iterate(\n{_lines(self, names)}\n)"


def result(problem: Problem) -> SolveResult:
    data = _core._last_solve(problem)
    if data is None:
        raise RuntimeError("Problem.result: the problem has not been solved yet")
    status = Status(data["status"])
    evaluations = problem.stats if data["finalized"] else dict.fromkeys(problem.stats, -1)
    return SolveResult(
        x=_frozen(data["x"]),
        objective=data["objective"],
        status=status,
        success=status in _SUCCESS,
        g=_frozen(data["g"]),
        mult_g=_frozen(data["mult_g"]),
        mult_x_L=_frozen(data["mult_x_L"]),
        mult_x_U=_frozen(data["mult_x_U"]),
        iterations=data["iterations"],
        evaluation_errors=data["evaluation_errors"],
        primal_infeasibility=data["primal_infeasibility"],
        dual_infeasibility=data["dual_infeasibility"],
        complementarity=data["complementarity"],
        evaluations=types.MappingProxyType(evaluations),
        wall_time=data["wall_time"],
        cpu_time=data["cpu_time"],
    )


def current_iterate(self: Problem) -> Iterate:
    """
    current_iterate() -> Iterate

    The solver's current iterate: x, the constraint values g and the
    violations of bounds and constraints. Available only while
    intermediate_callback runs (RuntimeError otherwise). With Ipopt 3.14
    the values are Ipopt's own; with Ipopt 3.11, g is evaluated at x with
    eval_g, and nothing is available in the restoration phase.

    Returns
    -------
    Iterate
        A read-only copy of the iterate.

    Raises
    ------
    RuntimeError
        Outside intermediate_callback, on another thread than the one that
        solves, or (Ipopt 3.11) in the restoration phase.
    """
    data = _core._current_iterate(self)
    return Iterate(**{name: _frozen(value) for name, value in data.items()})
