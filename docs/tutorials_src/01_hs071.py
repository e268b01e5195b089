r"""
HS071 step by step
==================

Problem 71 of Hock and Schittkowski's collection is the problem Ipopt's own
documentation starts with: four variables, one inequality and one equality
constraint, and bounds on every variable:

.. math::

    \min_{x \in \mathbb{R}^4}\ x_0 x_3 (x_0 + x_1 + x_2) + x_2
    \quad\text{subject to}\quad
    x_0 x_1 x_2 x_3 \ge 25,\quad
    x_0^2 + x_1^2 + x_2^2 + x_3^2 = 40,\quad
    1 \le x \le 5.

This tutorial states it for vornel piece by piece: the bounds, the callbacks and
their sparsity patterns, a check of the callbacks, the solve, and what the solve
reports.
"""

# %%
# Bounds
# ------
# Every variable has a lower and an upper bound, and every constraint
# :math:`g_i(x)` lies between ``g_l[i]`` and ``g_u[i]``; an equality constraint
# has equal bounds. A bound of :math:`\pm 10^{19}` or beyond, or an infinity,
# means "no bound".
import numpy as np

import vornel

n, m = 4, 2
x_l = np.ones(n)
x_u = np.full(n, 5.0)
g_l = np.array([25.0, 40.0])
g_u = np.array([np.inf, 40.0])

# %%
# The objective and its gradient
# ------------------------------
# ``eval_f`` returns the objective value. Every other callback writes its
# results into the output array it is given: ``out[:] = ...`` or element by
# element. Returning an array instead does nothing (and
# :meth:`~vornel.Problem.check` says so).


def eval_f(x):
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


def eval_grad_f(x, out):
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2])
    out[1] = x[0] * x[3]
    out[2] = x[0] * x[3] + 1.0
    out[3] = x[0] * (x[0] + x[1] + x[2])


# %%
# The constraints and their Jacobian
# ----------------------------------
# The Jacobian :math:`\partial g_i / \partial x_j` is given as a sparsity
# pattern, the (row, column) positions of its nonzeros, and a callback that
# writes the values of those nonzeros in the pattern's order. Here every
# entry is a nonzero: row 0 holds the derivatives of the product, row 1 those
# of the sum of squares.

jac_pattern = ([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3])


def eval_g(x, out):
    out[0] = x[0] * x[1] * x[2] * x[3]
    out[1] = x @ x


def eval_jac_g(x, out):
    out[:4] = np.prod(x) / x  # d(x0 x1 x2 x3) / dxj, in the order of row 0
    out[4:] = 2.0 * x  # d(x @ x) / dxj, row 1


# %%
# The Hessian of the Lagrangian
# -----------------------------
# The Hessian callback receives the factor of the objective and the
# multipliers of the constraints and writes the values of
#
# .. math:: \sigma \nabla^2 f(x) + \sum_i \lambda_i \nabla^2 g_i(x)
#
# for the *lower triangle* only (row >= column): the matrix is symmetric.
# Without ``eval_h`` Ipopt approximates it from gradients instead (pass
# ``sparsity_indices_h=None``).

hess_pattern = ([0, 1, 1, 2, 2, 2, 3, 3, 3, 3], [0, 0, 1, 0, 1, 2, 0, 1, 2, 3])


def eval_h(x, lagrange, obj_factor, out):
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


# %%
# The problem
# -----------
# :class:`vornel.Problem` takes everything at once; ``ipopt_options`` holds
# Ipopt's options (here: no log, no banner). The problem can be solved any
# number of times.

problem = vornel.Problem(
    n=n,
    x_l=x_l,
    x_u=x_u,
    m=m,
    g_l=g_l,
    g_u=g_u,
    sparsity_indices_jac_g=jac_pattern,
    sparsity_indices_h=hess_pattern,
    eval_f=eval_f,
    eval_grad_f=eval_grad_f,
    eval_g=eval_g,
    eval_jac_g=eval_jac_g,
    eval_h=eval_h,
    ipopt_options={"print_level": 0, "sb": "yes"},
)

# %%
# Check the callbacks
# -------------------
# :meth:`~vornel.Problem.check` calls every callback once at a point and
# compares the derivatives with finite differences. It takes milliseconds and
# catches the slips that would otherwise make the solver wander.

x0 = np.array([1.0, 5.0, 5.0, 1.0])
print(problem.check(x0))

# %%
# Solve
# -----
# :meth:`~vornel.Problem.solve` writes the solution into the array it is
# given and returns that same array, the objective and Ipopt's status code.
# Pass a copy if you need the starting point afterwards.

x, objective, status = problem.solve(x0.copy())
print(x, objective)
print(repr(vornel.Status(status)))
print(vornel.Status(status).explanation)

# %%
# What the solve reports
# ----------------------
# :attr:`~vornel.Problem.result` is a read-only record of the latest solve:
# the point, the constraint values, the multipliers, the final
# infeasibilities and the counts.

result = problem.result
print(result)
print("constraints at x:", result.g)
print("multipliers of the constraints:", result.mult_g)
print("evaluations:", dict(result.evaluations))

# %%
# The same problem with Ipopt's log shows each iteration; ``print_level``
# (0 to 12) sets how much. The log goes to :data:`sys.stdout`, so that a
# notebook shows it.

problem.set(print_level=3)
_ = problem.solve(x0.copy())
