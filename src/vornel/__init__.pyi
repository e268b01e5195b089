"""Python interface to Ipopt"""

from collections.abc import Callable, Iterable, Mapping
from typing import (
    Any,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    final,
    overload,
)

import numpy as np
import numpy.typing as npt
from typing_extensions import CapsuleType

from vornel._check import CheckReport as CheckReport
from vornel._check import Finding as Finding
from vornel._check import Mismatch as Mismatch
from vornel._result import Iterate as Iterate
from vornel._result import SolveResult as SolveResult
from vornel._status import Status as Status

__version__: str
ipopt_version: str
ipopt_linear_solver: str
parallel_solves: bool
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

_Vector: TypeAlias = npt.NDArray[np.float64]
# A scipy.LowLevelCallable is a tuple subclass of three items whose first is
# the capsule; the module looks at nothing else, so any 3-tuple type-checks.
_LowLevelCallable: TypeAlias = tuple[Any, Any, Any]
_Compiled: TypeAlias = CapsuleType | _LowLevelCallable

class _SparseMatrix(Protocol):
    # scipy.sparse matrices and arrays: the pattern is the coordinate form's.
    def tocoo(self) -> Any: ...

_Sparsity: TypeAlias = tuple[Iterable[SupportsIndex], Iterable[SupportsIndex]] | _SparseMatrix
_OptionValue: TypeAlias = int | float | str

_EvalF: TypeAlias = Callable[[_Vector], SupportsFloat | SupportsIndex] | _Compiled
_EvalGradF: TypeAlias = Callable[[_Vector, _Vector], object] | _Compiled
_EvalG: TypeAlias = Callable[[_Vector, _Vector], object] | _Compiled
_EvalJacG: TypeAlias = Callable[[_Vector, _Vector], object] | _Compiled
_EvalH: TypeAlias = Callable[[_Vector, _Vector, float, _Vector], object] | _Compiled
# mode, iter, obj_value, inf_pr, inf_du, mu, d_norm, regularization_size,
# alpha_du, alpha_pr, ls_trials; a zero result asks for an early stop.
_IntermediateCallback: TypeAlias = (
    Callable[
        [int, int, float, float, float, float, float, float, float, float, int],
        SupportsIndex,
    ]
    | _Compiled
)

class _IpoptOption(TypedDict):
    name: str
    type: type[int | float | str] | None
    description_short: str
    description_long: str
    category: str

class EvaluationError(Exception):
    """The callback cannot be evaluated at this point."""

@final
class Problem:
    """Ipopt problem type in python"""

    @overload
    def __new__(
        cls,
        n: int,
        x_l: _Vector,
        x_u: _Vector,
        m: int,
        g_l: _Vector,
        g_u: _Vector,
        sparsity_indices_jac_g: _Sparsity,
        sparsity_indices_h: _Sparsity | None,
        eval_f: _EvalF,
        eval_grad_f: _EvalGradF,
        eval_g: _EvalG,
        eval_jac_g: _EvalJacG,
        eval_h: _EvalH | None = None,
        intermediate_callback: _IntermediateCallback | None = None,
        obj_scaling: float = 1.0,
        x_scaling: _Vector | None = None,
        g_scaling: _Vector | None = None,
        ipopt_options: dict[str, _OptionValue] | None = None,
    ) -> Problem: ...
    # Without constraints, their pattern and routines may be left out; the
    # arguments after them are then given by keyword.
    @overload
    def __new__(
        cls,
        n: int,
        x_l: _Vector,
        x_u: _Vector,
        m: Literal[0],
        g_l: _Vector,
        g_u: _Vector,
        sparsity_indices_jac_g: _Sparsity | None = None,
        *,
        sparsity_indices_h: _Sparsity,
        eval_f: _EvalF,
        eval_grad_f: _EvalGradF,
        eval_g: _EvalG | None = None,
        eval_jac_g: _EvalJacG | None = None,
        eval_h: _EvalH | None = None,
        intermediate_callback: _IntermediateCallback | None = None,
        obj_scaling: float = 1.0,
        x_scaling: _Vector | None = None,
        g_scaling: _Vector | None = None,
        ipopt_options: dict[str, _OptionValue] | None = None,
    ) -> Problem: ...
    def solve(
        self,
        x0: _Vector,
        *,
        mult_g: _Vector = ...,
        mult_x_L: _Vector = ...,
        mult_x_U: _Vector = ...,
    ) -> tuple[_Vector, float, int]: ...
    def set(self, **kwargs: _OptionValue) -> None: ...
    def set_problem_scaling(
        self,
        obj_scaling: float,
        x_scaling: _Vector | None = None,
        g_scaling: _Vector | None = None,
    ) -> None: ...
    @property
    def stats(self) -> dict[str, int]: ...
    @property
    def result(self) -> SolveResult: ...
    def current_iterate(self) -> Iterate: ...
    def check(
        self, x: npt.ArrayLike, *, tol: float = 1e-4, derivatives: bool = True
    ) -> CheckReport: ...

def get_ipopt_options() -> list[_IpoptOption]: ...
def linear_solvers() -> dict[str, str]: ...

# What vornel.minimize returns is a scipy.optimize.OptimizeResult (a dict
# with attribute access); SciPy has no types of its own, so its fields are
# declared here.
class _OptimizeResult(dict[str, Any]):
    x: _Vector
    fun: float
    jac: _Vector
    success: bool
    status: Status
    message: str
    nit: int
    nfev: int
    njev: int
    nhev: int
    maxcv: float
    constr_violation: float
    optimality: float
    constr: list[_Vector]
    v: list[_Vector]
    constr_nfev: list[int]
    constr_njev: list[int]
    constr_nhev: list[int]
    solve_result: SolveResult
    def __getattr__(self, name: str) -> Any: ...

_FiniteDifferences: TypeAlias = Literal["2-point", "3-point", "cs"]

def minimize(
    fun: Callable[..., Any],
    x0: npt.ArrayLike | _OptimizeResult,
    args: Any = (),
    *,
    jac: Callable[..., npt.ArrayLike] | bool | _FiniteDifferences | None = None,
    hess: Any = None,
    hessp: None = None,
    bounds: Any = None,
    constraints: Any = (),
    tol: float | None = None,
    callback: Callable[..., object] | None = None,
    options: Mapping[str, Any] | None = None,
) -> _OptimizeResult: ...
def ipopt(
    fun: Callable[..., Any],
    x0: npt.ArrayLike | _OptimizeResult,
    args: Any = (),
    jac: Callable[..., npt.ArrayLike] | bool | _FiniteDifferences | None = None,
    hess: Any = None,
    hessp: None = None,
    bounds: Any = None,
    constraints: Any = (),
    callback: Callable[..., object] | None = None,
    **options: Any,
) -> _OptimizeResult: ...
