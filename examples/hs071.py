"""Hock-Schittkowski problem 71 with Python callbacks.

    min  x0*x3*(x0 + x1 + x2) + x2
    s.t. x0*x1*x2*x3 >= 25
         x0^2 + x1^2 + x2^2 + x3^2 = 40
         1 <= x <= 5
"""

import numpy as np

import vornel


def eval_f(x):
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


def eval_grad_f(x, out):
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2])
    out[1] = x[0] * x[3]
    out[2] = x[0] * x[3] + 1.0
    out[3] = x[0] * (x[0] + x[1] + x[2])


def eval_g(x, out):
    out[0] = x[0] * x[1] * x[2] * x[3]
    out[1] = x[0] ** 2 + x[1] ** 2 + x[2] ** 2 + x[3] ** 2


def eval_jac_g(x, out):
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


def eval_h(x, lagrange, obj_factor, out):
    # Lower triangle, row by row.
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


JAC_G = ([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3])
HESS = ([0, 1, 1, 2, 2, 2, 3, 3, 3, 3], [0, 0, 1, 0, 1, 2, 0, 1, 2, 3])


def make_problem(**kwargs):
    return vornel.Problem(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=2,
        g_l=np.array([25.0, 40.0]),
        g_u=np.array([2.0e19, 40.0]),
        sparsity_indices_jac_g=JAC_G,
        sparsity_indices_h=HESS,
        eval_f=eval_f,
        eval_grad_f=eval_grad_f,
        eval_g=eval_g,
        eval_jac_g=eval_jac_g,
        eval_h=eval_h,
        **kwargs,
    )


def main():
    problem = make_problem(ipopt_options={"print_level": 0})
    x, obj, status = problem.solve(np.array([1.0, 5.0, 5.0, 1.0]))
    print("solution: ", np.array2string(x, precision=6))
    print(f"objective: {obj:.6f}")
    print("status:   ", status)
    print("stats:    ", problem.stats)


if __name__ == "__main__":
    main()
