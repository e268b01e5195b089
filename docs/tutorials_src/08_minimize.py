r"""
SciPy's interface: ``vornel.minimize``
======================================

Code written for :func:`scipy.optimize.minimize` states a problem as an
objective function, a starting point, and optionally derivatives, bounds and
constraint objects, all returning their values. :func:`vornel.minimize`
takes the same arguments, with SciPy's meanings, and solves the problem with
Ipopt through a :class:`~vornel.Problem` it builds; ``vornel.ipopt`` is the
same solver as a ``method`` of SciPy's own front door. Both import SciPy at
their first use.

This tutorial solves Rosenbrock's function inside a disc, then a constrained
problem of a thousand variables whose Jacobian is a :mod:`scipy.sparse`
matrix, with exact and with finite-difference derivatives.
"""

# %%
# A first problem
# ---------------
# Rosenbrock's function of three variables, SciPy's :func:`~scipy.optimize.rosen`,
# within the unit ball :math:`x^\top x \le 1` and the box
# :math:`-0.5 \le x_i \le 2`. The constraint is a
# :class:`~scipy.optimize.NonlinearConstraint` with its Jacobian and its
# Hessian ``hess(x, v)``, :math:`\sum_i v_i \nabla^2 c_i(x)` in SciPy's
# convention; with the objective's Hessian as well, Ipopt gets the exact
# Hessian of the Lagrangian.
import matplotlib.pyplot as plt
import numpy as np
import scipy.optimize
import scipy.sparse
from scipy.optimize import Bounds, NonlinearConstraint, rosen, rosen_der, rosen_hess

import vornel

ball = NonlinearConstraint(
    lambda x: x @ x,
    -np.inf,
    1.0,
    jac=lambda x: 2.0 * x,
    hess=lambda x, v: 2.0 * v[0] * np.eye(x.size),
)
res = vornel.minimize(
    rosen, np.zeros(3), jac=rosen_der, hess=rosen_hess, bounds=Bounds(-0.5, 2.0), constraints=ball
)
print(res.success, res.status.name, f"f = {res.fun:.6f} in {res.nit} iterations")
print("x =", res.x.round(6), " x @ x =", round(res.x @ res.x, 6))

# %%
# The result is a :class:`scipy.optimize.OptimizeResult` with the fields SciPy
# documents for its constrained methods. ``status`` is a :class:`vornel.Status`
# (an :class:`int`), ``message`` a :class:`str`. ``constr`` and ``v`` hold each
# constraint's values and multipliers, in the order given, then those of the
# bounds; the multipliers follow SciPy's ``trust-constr``: positive where an
# upper limit is active. ``solve_result`` is the
# :class:`~vornel.SolveResult` of the solve underneath.
print("constraint value", res.constr[0].round(6), "multiplier", res.v[0].round(6))
print("evaluations of fun, jac, hess:", res.nfev, res.njev, res.nhev)
print("largest violation", f"{res.maxcv:.1e}", "| dual infeasibility", f"{res.optimality:.1e}")
print(res.solve_result)

# %%
# SciPy's own front door
# ----------------------
# ``method=vornel.ipopt`` hands the problem to the same solver. Here without a
# Hessian: Ipopt then approximates the Hessian of the Lagrangian with its
# limited-memory quasi-Newton method, which takes more iterations. Bounds may
# also be ``(min, max)`` pairs, with ``None`` for no bound.
res_scipy = scipy.optimize.minimize(
    rosen,
    np.zeros(3),
    method=vornel.ipopt,
    jac=rosen_der,
    bounds=[(-0.5, 2.0)] * 3,
    constraints=ball,
)
print(res_scipy.success, res_scipy.x.round(6), res_scipy.nit, "iterations")

# %%
# Following the iterates
# ----------------------
# A ``callback`` whose one parameter is named ``intermediate_result`` gets an
# :class:`~scipy.optimize.OptimizeResult` after each iteration (any other
# callback gets the point alone, as SciPy does). Raising
# :class:`StopIteration` in it ends the solve with
# :attr:`~vornel.Status.User_Requested_Stop` and ``success=False``.
path = []


def record(intermediate_result):
    path.append(intermediate_result.x.copy())


vornel.minimize(
    rosen,
    np.array([-1.2, 1.0]),
    jac=rosen_der,
    hess=rosen_hess,
    constraints=NonlinearConstraint(
        lambda x: x @ x,
        -np.inf,
        1.5,
        jac=lambda x: 2.0 * x,
        hess=lambda x, v: 2.0 * v[0] * np.eye(2),
    ),
    callback=record,
)
path = np.array(path)

u, w = np.meshgrid(np.linspace(-1.5, 1.5, 200), np.linspace(-0.6, 1.6, 200))
fig, ax = plt.subplots(figsize=(6.0, 4.4))
ax.contour(
    u,
    w,
    rosen(np.array([u, w])),
    levels=np.geomspace(0.05, 500, 14),
    cmap="viridis",
    linewidths=0.8,
)
ax.add_patch(
    plt.Circle(
        (0, 0), np.sqrt(1.5), fill=False, color="black", linestyle="--", label="$x^T x = 1.5$"
    )
)
ax.plot(path[:, 0], path[:, 1], "o-", color="crimson", markersize=3, label="iterates")
ax.set_xlim(-1.5, 1.5)
ax.set_ylim(-0.6, 1.6)
ax.set_aspect("equal")
ax.set_xlabel("$x_0$")
ax.set_ylabel("$x_1$")
ax.legend(loc="lower right")
ax.set_title(f"{len(path)} iterates, the last at {np.round(path[-1], 3)}")
plt.show()

# %%
# A sparse problem
# ----------------
# Chained Rosenbrock with :math:`n - 2` equality constraints (Lukšan and
# Vlček's chained problem, as ``bench/`` states it) at :math:`n = 1000`. Each
# constraint involves three neighbouring variables, so its Jacobian is a
# banded :mod:`scipy.sparse` matrix. A matrix returned by ``jac`` keeps the
# pattern of its first evaluation, explicit zeros included; later values are
# read into that pattern by index arrays, never densified, and a nonzero
# outside it raises :class:`ValueError` naming the function and the position.
n = 1000
rows = np.repeat(np.arange(n - 2), 3)
cols = (np.arange(n - 2)[:, None] + np.arange(3)).ravel()


def chained_f(x):
    t = x[:-1] ** 2 - x[1:]
    return float(100.0 * (t @ t) + (x[:-1] - 1.0) @ (x[:-1] - 1.0))


def chained_grad(x):
    t = x[:-1] ** 2 - x[1:]
    g = np.zeros_like(x)
    g[:-1] = 400.0 * x[:-1] * t + 2.0 * (x[:-1] - 1.0)
    g[1:] -= 200.0 * t
    return g


def chained_c(x):
    a, b, c = x[:-2], x[1:-1], x[2:]
    # Far from the solution (at a trial point of a line search) exp may
    # overflow: the infinite value tells Ipopt to take a shorter step.
    with np.errstate(over="ignore"):
        return (
            3.0 * b**3
            + 2.0 * c
            - 5.0
            + np.sin(b - c) * np.sin(b + c)
            + 4.0 * b
            - a * np.exp(a - b)
            - 3.0
        )


def chained_jac(x):
    a, b, c = x[:-2], x[1:-1], x[2:]
    e = np.exp(a - b)
    values = np.stack(
        [-(1.0 + a) * e, 9.0 * b * b + np.sin(2.0 * b) + 4.0 + a * e, 2.0 - np.sin(2.0 * c)], axis=1
    )
    return scipy.sparse.csr_array((values.ravel(), (rows, cols)), shape=(n - 2, n))


x0 = np.where(np.arange(n) % 2 == 0, -1.2, 1.0)
chain = NonlinearConstraint(chained_c, 0.0, 0.0, jac=chained_jac)
exact = vornel.minimize(chained_f, x0, jac=chained_grad, constraints=chain)
print(exact.status.name, f"f = {exact.fun:.9g} in {exact.nit} iterations")
print(
    "Jacobian evaluations:", exact.constr_njev[0], " constraint evaluations:", exact.constr_nfev[0]
)

# %%
# Finite differences, grouped
# ---------------------------
# Without ``jac``, a constraint's Jacobian is estimated by finite differences.
# Given its sparsity, ``finite_diff_jac_sparsity``, columns that share no row
# are perturbed together: this Jacobian has three groups, so one estimate costs
# three evaluations of the constraints beside the one at the point itself,
# where SciPy's dense differences would take a thousand.
sparsity = chained_jac(x0) != 0
grouped = vornel.minimize(
    chained_f,
    x0,
    jac=chained_grad,
    constraints=NonlinearConstraint(chained_c, 0.0, 0.0, finite_diff_jac_sparsity=sparsity),
)
print(grouped.status.name, f"f = {grouped.fun:.9g} in {grouped.nit} iterations")
# Ipopt's own counts: the constraint values it asked for, and the Jacobians.
counts = grouped.solve_result.evaluations
values, jacobians = counts["n_eval_g_eq"], counts["n_eval_jac_g_eq"]
per_jacobian = (grouped.constr_nfev[0] - values) / jacobians
print(f"{grouped.constr_nfev[0]} evaluations of the constraints: {values} for their values,")
print(f"{per_jacobian:g} for each of the {jacobians} Jacobians (n = {n})")

# %%
# Starting warm
# -------------
# A previous result passed as ``x0`` starts from its point and its multipliers,
# with Ipopt's warm-start options (``options`` override them). Here the
# problem is solved again after a small change of the constraints' right-hand
# side: the warm start needs a fraction of the iterations.
shifted = NonlinearConstraint(lambda x: chained_c(x) - 0.01, 0.0, 0.0, jac=chained_jac)
cold = vornel.minimize(chained_f, x0, jac=chained_grad, constraints=shifted)
warm = vornel.minimize(chained_f, exact, jac=chained_grad, constraints=shifted)
print("cold:", cold.nit, "iterations; warm from the previous result:", warm.nit, "iterations")
print("same solution:", np.allclose(cold.x, warm.x, atol=1e-6))

# %%
# Options and output
# ------------------
# ``options`` takes Ipopt's options by Ipopt's names beside SciPy's ``maxiter``
# and ``disp``. Nothing is printed unless ``disp=True`` (Ipopt's
# ``print_level`` 5) or a ``print_level`` is given; ``tol`` is Ipopt's.
capped = vornel.minimize(chained_f, x0, jac=chained_grad, constraints=chain, options={"maxiter": 3})
print(capped.success, capped.status.name, capped.message)
