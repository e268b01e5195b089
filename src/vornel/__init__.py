"""Python interface to Ipopt"""

from vornel._core import Problem, __version__, get_ipopt_options

__all__ = ["Problem", "get_ipopt_options", "__version__"]
