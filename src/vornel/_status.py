"""Ipopt's return statuses by name, each with a line a person can act on."""

from __future__ import annotations

import enum


class Status(enum.IntEnum):
    """The status code that ``Problem.solve`` returns, by Ipopt's name.

    ``vornel.Status(code)`` names a code; ``status.explanation`` says what
    happened and what to try. The values are those of Ipopt's
    ``ApplicationReturnStatus``.

    Examples
    --------
    >>> status = vornel.Status(-1)
    >>> status
    <Status.Maximum_Iterations_Exceeded: -1>
    >>> status == -1
    True
    >>> print(status.explanation)
    Stopped after max_iter iterations; raise max_iter, improve the starting
    point or the scaling, or check the derivatives.
    """

    Solve_Succeeded = 0
    Solved_To_Acceptable_Level = 1
    Infeasible_Problem_Detected = 2
    Search_Direction_Becomes_Too_Small = 3
    Diverging_Iterates = 4
    User_Requested_Stop = 5
    Feasible_Point_Found = 6
    Maximum_Iterations_Exceeded = -1
    Restoration_Failed = -2
    Error_In_Step_Computation = -3
    Maximum_CpuTime_Exceeded = -4
    Maximum_WallTime_Exceeded = -5
    Not_Enough_Degrees_Of_Freedom = -10
    Invalid_Problem_Definition = -11
    Invalid_Option = -12
    Invalid_Number_Detected = -13
    Unrecoverable_Exception = -100
    NonIpopt_Exception_Thrown = -101
    Insufficient_Memory = -102
    Internal_Error = -199

    @property
    def explanation(self) -> str:
        """What happened and what to try, in one line."""
        return _EXPLANATIONS[self]


_EXPLANATIONS: dict[Status, str] = {
    Status.Solve_Succeeded: (
        "Optimal solution found: the point satisfies the convergence tolerances (tol)."
    ),
    Status.Solved_To_Acceptable_Level: (
        "Stopped at a point that meets only the looser acceptable_* tolerances; "
        "check the result, or scale the problem for full convergence."
    ),
    Status.Infeasible_Problem_Detected: (
        "The constraints appear to have no feasible point near here; check the bounds "
        "and constraints, or start from another point."
    ),
    Status.Search_Direction_Becomes_Too_Small: (
        "No progress possible: the steps became too small; the point may be optimal "
        "up to round-off, or the derivatives may be wrong (try Problem.check)."
    ),
    Status.Diverging_Iterates: (
        "The iterates grew without bound (beyond diverging_iterates_tol); the problem "
        "may be unbounded below: add bounds."
    ),
    Status.User_Requested_Stop: (
        "Stopped by the intermediate_callback, which returned a false value."
    ),
    Status.Feasible_Point_Found: (
        "A feasible point was found (for a square problem, one with as many equality "
        "constraints as free variables)."
    ),
    Status.Maximum_Iterations_Exceeded: (
        "Stopped after max_iter iterations; raise max_iter, improve the starting point "
        "or the scaling, or check the derivatives."
    ),
    Status.Restoration_Failed: (
        "The feasibility restoration phase failed; the problem may be locally "
        "infeasible or badly scaled: check the constraints and derivatives."
    ),
    Status.Error_In_Step_Computation: (
        "The step could not be computed (a singular or ill-conditioned system); check "
        "for redundant constraints and the Hessian."
    ),
    Status.Maximum_CpuTime_Exceeded: (
        "Stopped after max_cpu_time seconds of CPU time; raise max_cpu_time."
    ),
    Status.Maximum_WallTime_Exceeded: ("Stopped after max_wall_time seconds; raise max_wall_time."),
    Status.Not_Enough_Degrees_Of_Freedom: (
        "More equality constraints than free variables; remove redundant constraints "
        "or fixed variables."
    ),
    Status.Invalid_Problem_Definition: (
        "The problem definition is invalid, for example a lower bound above its upper "
        "bound; Problem.check lists such faults."
    ),
    Status.Invalid_Option: (
        "An option has an invalid value; see get_ipopt_options() for the valid ones."
    ),
    Status.Invalid_Number_Detected: (
        "A callback produced NaN or infinity (or left an output unwritten); "
        "Problem.check shows which."
    ),
    Status.Unrecoverable_Exception: (
        "Ipopt stopped on an error it could not recover from, for instance a lower bound "
        "above its upper bound; Problem.check finds such faults, print_level 5 shows "
        "Ipopt's message."
    ),
    Status.NonIpopt_Exception_Thrown: (
        "An unknown exception was raised inside Ipopt, for instance by a linear solver library."
    ),
    Status.Insufficient_Memory: (
        "Ipopt ran out of memory; a smaller problem or sparser derivatives may help."
    ),
    Status.Internal_Error: (
        "Ipopt reported an internal error; run with a higher print_level and report it."
    ),
}
