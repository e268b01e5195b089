"""Python interface to Ipopt"""

from collections.abc import Callable as _Callable
from importlib import import_module as _import_module

from vornel import _core
from vornel._core import (
    EvaluationError,
    Problem,
    __version__,
    get_ipopt_options,
    ipopt_version,
    parallel_solves,
)

# The records of a solve, the check and the statuses live in modules that
# are imported at first use: their dataclasses, enum and numpy.typing cost
# about three times as much to import as the compiled core, and a script
# that only solves never needs them. The core, too, finds the default
# linear solver only when asked.
_LAZY = {
    "ipopt_linear_solver": "vornel._core",
    "CheckReport": "vornel._check",
    "Finding": "vornel._check",
    "Mismatch": "vornel._check",
    "Iterate": "vornel._result",
    "SolveResult": "vornel._result",
    "Status": "vornel._status",
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


class _LazyMember:
    """A member of Problem that a Python module defines. At first use the
    module is imported and the member itself takes this one's place in the
    type; until then this stands in for it, as a descriptor of the same kind
    (a property when the member is one)."""

    def __init__(
        self, name: str, module: str, make: _Callable[[object], object] | None = None
    ) -> None:
        self._name = name
        self._module = module
        self._make = make

    def _load(self) -> object:
        value = getattr(_import_module(self._module), self._name)
        if self._make is not None:
            value = self._make(value)
        _core._add_problem_member(self._name, value)
        return value

    def __get__(self, instance: object, owner: type | None = None) -> object:
        return self._load().__get__(instance, owner)


class _LazyProperty(_LazyMember):
    def __set__(self, instance: object, value: object) -> None:
        self._load().__set__(instance, value)

    def __delete__(self, instance: object) -> None:
        self._load().__delete__(instance)


def _result_property(result: object) -> property:
    return property(
        result,
        doc="SolveResult: the record of the latest solve (RuntimeError before the first)",
    )


_core._add_problem_member("result", _LazyProperty("result", "vornel._result", _result_property))
_core._add_problem_member("current_iterate", _LazyMember("current_iterate", "vornel._result"))
_core._add_problem_member("check", _LazyMember("check", "vornel._check"))

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
    "ipopt_linear_solver",
    "ipopt_version",
    "parallel_solves",
]
