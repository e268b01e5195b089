r"""
An unconstrained problem
========================

A problem with bounds at most and no constraints has :math:`m = 0`. Its
:class:`~vornel.Problem` needs no constraint callbacks: ``eval_g``,
``eval_jac_g`` and ``sparsity_indices_jac_g`` are left out (or given as
``None``), and the constraint bounds ``g_l`` and ``g_u`` are empty arrays.

The problem is the extended Rosenbrock function in :math:`n` variables,

.. math::

    f(x) = \sum_{i=0}^{n-2} 100 (x_{i+1} - x_i^2)^2 + (1 - x_i)^2,

whose minimum is at :math:`x = (1, \dots, 1)`.
"""

# %%
# The objective and its gradient, vectorised with NumPy.
import numpy as np

import vornel


def eval_f(x):
    return float(np.sum(100.0 * (x[1:] - x[:-1] ** 2) ** 2 + (1.0 - x[:-1]) ** 2))


def eval_grad_f(x, out):
    inner = x[1:] - x[:-1] ** 2
    out[:] = 0.0
    out[:-1] += -400.0 * x[:-1] * inner - 2.0 * (1.0 - x[:-1])
    out[1:] += 200.0 * inner


# %%
# No constraints
# --------------
# With ``m=0`` the problem is the objective, its gradient and the variable
# bounds (none here: :data:`numpy.inf` for "no bound").

n = 20
problem = vornel.Problem(
    n=n,
    x_l=np.full(n, -np.inf),
    x_u=np.full(n, np.inf),
    m=0,
    g_l=np.empty(0),
    g_u=np.empty(0),
    sparsity_indices_h=None,
    eval_f=eval_f,
    eval_grad_f=eval_grad_f,
    ipopt_options={"print_level": 0, "sb": "yes"},
)
start = np.zeros(n)
print(problem.check(start))
x, objective, status = problem.solve(start.copy())
print(vornel.Status(status).name, f"objective {objective:.3g}", "x:", x.round(6))
print(problem.result.iterations, "iterations with the limited-memory Hessian approximation")

# %%
# With the exact Hessian
# ----------------------
# Without ``eval_h`` Ipopt approximates the Hessian from gradients
# (``hessian_approximation="limited-memory"``). The Rosenbrock Hessian is
# tridiagonal; with it, Newton's method needs far fewer iterations. The
# pattern is its lower triangle: the diagonal and the subdiagonal.

diag = np.arange(n)
sub = np.arange(1, n)
hess_pattern = (np.concatenate([diag, sub]), np.concatenate([diag, sub - 1]))


def eval_h(x, lagrange, obj_factor, out):
    d = np.zeros(n)
    d[:-1] += 1200.0 * x[:-1] ** 2 - 400.0 * x[1:] + 2.0
    d[1:] += 200.0
    out[:n] = obj_factor * d
    out[n:] = obj_factor * -400.0 * x[:-1]


exact = vornel.Problem(
    n=n,
    x_l=np.full(n, -np.inf),
    x_u=np.full(n, np.inf),
    m=0,
    g_l=np.empty(0),
    g_u=np.empty(0),
    sparsity_indices_h=hess_pattern,
    eval_f=eval_f,
    eval_grad_f=eval_grad_f,
    eval_h=eval_h,
    ipopt_options={"print_level": 0, "sb": "yes"},
)
print(exact.check(start))
x, objective, status = exact.solve(start.copy())
print(vornel.Status(status).name, f"objective {objective:.3g}")
print(exact.result.iterations, "iterations with the exact Hessian")

# %%
# The same through ``vornel.minimize``
# ------------------------------------
# :func:`vornel.minimize` states an unconstrained problem as
# :func:`scipy.optimize.minimize` does: the objective, its gradient and
# Hessian as functions that return their values. SciPy's own Rosenbrock
# functions serve here; the Hessian is a dense array, of which Ipopt gets the
# lower triangle (the :doc:`minimize tutorial <08_minimize>` goes further).
from scipy.optimize import rosen, rosen_der, rosen_hess  # noqa: E402

res = vornel.minimize(rosen, np.zeros(n), jac=rosen_der, hess=rosen_hess)
print(res.status.name, f"objective {res.fun:.3g} in {res.nit} iterations")
