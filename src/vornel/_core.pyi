"""The compiled core of vornel; the package re-exports its public names."""

from vornel import Problem as Problem
from vornel import __version__ as __version__
from vornel import get_ipopt_options as get_ipopt_options
from vornel import ipopt_linear_solver as ipopt_linear_solver
from vornel import ipopt_version as ipopt_version
