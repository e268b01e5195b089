"""Python interface to Ipopt"""

from importlib import import_module as _import_module

# The core first: it refuses a subinterpreter and binds NumPy's C API, and
# says why either fails, before any Python module imports NumPy.
from vornel import _core
from vornel._core import (
    EvaluationError,
    Problem,
    __version__,
    get_ipopt_options,
    ipopt_version,
    linear_solvers,
    parallel_solves,
)

# isort: split
from vornel import _check, _result
from vornel._check import CheckReport, Finding, Mismatch
from vornel._result import Iterate, SolveResult
from vornel._status import Status

# Names loaded at first use: the default linear solver, which the core finds
# only when asked, and the scipy.optimize front door, which imports SciPy.
_LAZY = {
    "ipopt_linear_solver": "vornel._core",
    "ipopt": "vornel._minimize",
    "minimize": "vornel._minimize",
}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(_import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))


# Members of the compiled type that the package's Python modules define.
_core._add_problem_member(
    "result",
    property(
        _result.result,
        doc="SolveResult: the record of the latest solve (RuntimeError before the first)",
    ),
)
_core._add_problem_member("current_iterate", _result.current_iterate)
_core._add_problem_member("check", _check.check)

__all__ = [
    "CheckReport",
    "EvaluationError",
    "Finding",
    "Iterate",
    "Mismatch",
    "Problem",
    "SolveResult",
    "Status",
    "__version__",
    "get_ipopt_options",
    "ipopt",
    "ipopt_linear_solver",
    "ipopt_version",
    "linear_solvers",
    "minimize",
    "parallel_solves",
]
