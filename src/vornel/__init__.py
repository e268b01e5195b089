"""Python interface to Ipopt"""

from vornel._core import (
    Problem,
    __version__,
    get_ipopt_options,
    ipopt_linear_solver,
    ipopt_version,
)

__all__ = ["Problem", "get_ipopt_options", "__version__", "ipopt_version", "ipopt_linear_solver"]
