"""The compiled core of vornel; the package re-exports its public names."""

from typing import Any

import numpy as np
import numpy.typing as npt

from vornel import EvaluationError as EvaluationError
from vornel import Problem as Problem
from vornel import __version__ as __version__
from vornel import get_ipopt_options as get_ipopt_options
from vornel import ipopt_linear_solver as ipopt_linear_solver
from vornel import ipopt_version as ipopt_version
from vornel import linear_solvers as linear_solvers
from vornel import parallel_solves as parallel_solves

# Private entries of the package's Python modules.
def _return_statuses() -> tuple[tuple[str, int], ...]: ...
def _add_problem_member(name: str, value: object, /) -> None: ...
def _last_solve(problem: Problem, /) -> dict[str, Any] | None: ...
def _current_iterate(problem: Problem, /) -> dict[str, npt.NDArray[np.float64]]: ...
def _callbacks(problem: Problem, /) -> tuple[Any, Any, Any, Any, Any, Any]: ...
def _structure(problem: Problem, /) -> dict[str, Any]: ...
def _evaluate(
    problem: Problem,
    which: str,
    x: npt.NDArray[np.float64],
    out: npt.NDArray[np.float64] | None = ...,
    obj_factor: float = ...,
    lambda_: npt.NDArray[np.float64] | None = ...,
    /,
) -> tuple[bool, float]: ...
def _column_groups(
    rows: npt.NDArray[np.int64], cols: npt.NDArray[np.int64], n_rows: int, n_cols: int, /
) -> npt.NDArray[np.int64]: ...
