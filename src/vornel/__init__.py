"""Python interface to Ipopt"""

from vornel import _core
from vornel._check import CheckReport, Finding, Mismatch, check
from vornel._core import (
    Problem,
    __version__,
    get_ipopt_options,
    ipopt_linear_solver,
    ipopt_version,
    parallel_solves,
)
from vornel._result import Iterate, SolveResult, current_iterate, result
from vornel._status import Status

# The Problem type is the core's; its Python-level members are set here.
_core._add_problem_member(
    "result",
    property(
        result,
        doc="SolveResult: the record of the latest solve (RuntimeError before the first)",
    ),
)
_core._add_problem_member("current_iterate", current_iterate)
_core._add_problem_member("check", check)
del check, current_iterate, result

__all__ = [
    "CheckReport",
    "Finding",
    "Iterate",
    "Mismatch",
    "Problem",
    "SolveResult",
    "Status",
    "__version__",
    "get_ipopt_options",
    "ipopt_linear_solver",
    "ipopt_version",
    "parallel_solves",
]
