"""Hock-Schittkowski problem 71 with Python callbacks, shared by the tests."""

import numpy as np

import vornel

X0 = (1.0, 5.0, 5.0, 1.0)
X_OPT = (1.0, 4.74299963, 3.82114998, 1.37940829)
F_OPT = 17.0140173

QUIET = {"print_level": 0, "sb": "yes"}


def x0():
    return np.array(X0)


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


def hs071_args(**overrides):
    """Keyword arguments of HS071 with Python callbacks; overrides replace them."""
    args = dict(
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
    )
    args.update(overrides)
    return args


def make_hs071(**overrides):
    return vornel.Problem(**hs071_args(**overrides))
