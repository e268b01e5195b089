"""Hock-Schittkowski problem 71 with Python callbacks, shared by the examples.

examples/hs071.py tells the same problem on its own; this module exists so that
the other examples can stay about the one feature they show.
"""

from typing import Any

import numpy as np
import numpy.typing as npt

import vornel

Vector = npt.NDArray[np.float64]

QUIET: dict[str, int | float | str] = {"print_level": 0, "sb": "yes"}
# (rows, columns) of the nonzeros, 0-based; the Hessian's lower triangle.
JAC_G = ([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3])
HESS = ([0, 1, 1, 2, 2, 2, 3, 3, 3, 3], [0, 0, 1, 0, 1, 2, 0, 1, 2, 3])
# Ipopt reads bounds beyond 1e19 as infinite.
INF = 2.0e19


def x0() -> Vector:
    return np.array([1.0, 5.0, 5.0, 1.0])


def eval_f(x: Vector) -> float:
    return float(x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2])


def eval_grad_f(x: Vector, out: Vector) -> None:
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2])
    out[1] = x[0] * x[3]
    out[2] = x[0] * x[3] + 1.0
    out[3] = x[0] * (x[0] + x[1] + x[2])


def eval_g(x: Vector, out: Vector) -> None:
    out[0] = x[0] * x[1] * x[2] * x[3]
    out[1] = x[0] ** 2 + x[1] ** 2 + x[2] ** 2 + x[3] ** 2


def eval_jac_g(x: Vector, out: Vector) -> None:
    out[:] = (
        x[1] * x[2] * x[3],
        x[0] * x[2] * x[3],
        x[0] * x[1] * x[3],
        x[0] * x[1] * x[2],
        2.0 * x[0],
        2.0 * x[1],
        2.0 * x[2],
        2.0 * x[3],
    )


def eval_h(x: Vector, lagrange: Vector, obj_factor: float, out: Vector) -> None:
    out[0] = obj_factor * 2 * x[3] + lagrange[1] * 2
    out[1] = obj_factor * x[3] + lagrange[0] * x[2] * x[3]
    out[2] = lagrange[1] * 2
    out[3] = obj_factor * x[3] + lagrange[0] * x[1] * x[3]
    out[4] = lagrange[0] * x[0] * x[3]
    out[5] = lagrange[1] * 2
    out[6] = obj_factor * (2 * x[0] + x[1] + x[2]) + lagrange[0] * x[1] * x[2]
    out[7] = obj_factor * x[0] + lagrange[0] * x[0] * x[2]
    out[8] = obj_factor * x[0] + lagrange[0] * x[0] * x[1]
    out[9] = lagrange[1] * 2


def problem_args(product_bound: float = 25.0) -> dict[str, Any]:
    """Constructor arguments of HS071; product_bound is the lower bound of
    x0*x1*x2*x3 (25 in the original problem)."""
    return {
        "n": 4,
        "x_l": np.ones(4),
        "x_u": np.full(4, 5.0),
        "m": 2,
        "g_l": np.array([product_bound, 40.0]),
        "g_u": np.array([INF, 40.0]),
        "sparsity_indices_jac_g": JAC_G,
        "sparsity_indices_h": HESS,
        "eval_f": eval_f,
        "eval_grad_f": eval_grad_f,
        "eval_g": eval_g,
        "eval_jac_g": eval_jac_g,
        "eval_h": eval_h,
        "ipopt_options": dict(QUIET),
    }


def make_problem(product_bound: float = 25.0, **overrides: Any) -> vornel.Problem:
    args = problem_args(product_bound)
    args.update(overrides)
    return vornel.Problem(**args)


def solve_case(product_bound: float) -> tuple[float, float, int, int]:
    """One point of the parameter sweeps: (bound, objective, status, iterations).

    The Problem is built here, in the worker, because it holds Python
    callables and cannot be sent to another process.
    """
    problem = make_problem(product_bound)
    _, obj, status = problem.solve(x0())
    return product_bound, obj, status, problem.stats["n_iter"]
