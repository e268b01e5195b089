"""Hock-Schittkowski problem 71 with Python callbacks.

    min  x0*x3*(x0 + x1 + x2) + x2
    s.t. x0*x1*x2*x3 >= 25
         x0^2 + x1^2 + x2^2 + x3^2 = 40
         1 <= x <= 5

Run it with ``python examples/hs071.py``.
"""

import numpy as np
import numpy.typing as npt

import vornel

Vector = npt.NDArray[np.float64]


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
    # Lower triangle, row by row, in the order of HESS.
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


# (rows, columns) of the nonzeros, 0-based.
JAC_G = ([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3])
HESS = ([0, 1, 1, 2, 2, 2, 3, 3, 3, 3], [0, 0, 1, 0, 1, 2, 0, 1, 2, 3])


def make_problem() -> vornel.Problem:
    return vornel.Problem(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=2,
        g_l=np.array([25.0, 40.0]),
        # Ipopt reads bounds beyond 1e19 as infinite.
        g_u=np.array([2.0e19, 40.0]),
        sparsity_indices_jac_g=JAC_G,
        sparsity_indices_h=HESS,
        eval_f=eval_f,
        eval_grad_f=eval_grad_f,
        eval_g=eval_g,
        eval_jac_g=eval_jac_g,
        eval_h=eval_h,
        ipopt_options={"print_level": 0, "sb": "yes"},
    )


def main() -> None:
    problem = make_problem()
    x0 = np.array([1.0, 5.0, 5.0, 1.0])
    # Callbacks against their contract and finite differences, before solving.
    print(problem.check(x0))
    x, obj, status = problem.solve(x0)
    print("solution: ", np.array2string(x, precision=6))
    print(f"objective: {obj:.6f}")
    print("status:   ", status, f"({vornel.Status(status).name})")
    print("stats:    ", problem.stats)
    result = problem.result
    print("multipliers of the constraints:", np.array2string(result.mult_g, precision=6))
    print(f"final constraint violation: {result.primal_infeasibility:.1e}")
    print(f"solved in {result.iterations} iterations, {result.wall_time * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
