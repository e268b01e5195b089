r"""
A scipy.sparse Jacobian
=======================

Large problems have sparse derivatives: each constraint depends on a few
variables. The sparsity pattern can then be given as a :mod:`scipy.sparse`
matrix (any object with a ``tocoo()`` method) instead of two index lists. This
tutorial builds such a problem and shows the one rule to follow: **the callback
writes the values in the order of the pattern's coordinate form**,
``coo = pattern.tocoo()``, entry ``k`` at ``(coo.row[k], coo.col[k])``.

The problem: :math:`n` variables, each of which multiplies with the next but one
to one,

.. math::

    \min_x \sum_{j} (x_j - j/n)^2
    \quad\text{subject to}\quad
    x_i x_{i+2} = 1,\quad i = 0, \dots, n-3,

whose Jacobian has two nonzeros a row, on the diagonal and two places to its
right.
"""

# %%
# The pattern as a sparse matrix
# ------------------------------
# Only the positions matter, not the values: the pattern is the set of
# stored entries of the matrix, explicit zeros included.
import numpy as np
import scipy.sparse

import vornel

n = 8
m = n - 2
jac = scipy.sparse.diags_array([np.ones(m), np.ones(m)], offsets=[0, 2], shape=(m, n)).tocsr()
coo = jac.tocoo()
print("rows:   ", coo.row)
print("columns:", coo.col)

# %%
# Values in the pattern's order
# -----------------------------
# :math:`\partial (x_i x_{i+2}) / \partial x_i = x_{i+2}` and
# :math:`\partial (x_i x_{i+2}) / \partial x_{i+2} = x_i`: the entry at
# ``(i, j)`` is the *other* variable of row ``i``, ``x[2 i + 2 - j]``. Written
# with the coordinate form's own index arrays, the values are in its order
# whatever the format of the matrix, and the callback is one vectorised line.

rows, cols = coo.row, coo.col
target = np.arange(n) / n


def eval_f(x):
    return float(np.sum((x - target) ** 2))


def eval_grad_f(x, out):
    out[:] = 2.0 * (x - target)


def eval_g(x, out):
    out[:] = x[:-2] * x[2:]


def eval_jac_g(x, out):
    out[:] = x[2 * rows + 2 - cols]


# %%
# The Hessian's pattern is a sparse matrix too: its lower triangle. The
# objective contributes 2 on the diagonal, constraint ``i`` contributes its
# multiplier at ``(i + 2, i)``.

hess = scipy.sparse.tril(
    scipy.sparse.diags_array([np.ones(n), np.ones(m)], offsets=[0, -2], shape=(n, n)), format="coo"
)
diagonal = hess.row == hess.col


def eval_h(x, lagrange, obj_factor, out):
    out[diagonal] = 2.0 * obj_factor
    out[~diagonal] = lagrange[hess.col[~diagonal]]


problem = vornel.Problem(
    n=n,
    x_l=np.full(n, 0.1),
    x_u=np.full(n, 10.0),
    m=m,
    g_l=np.ones(m),
    g_u=np.ones(m),
    sparsity_indices_jac_g=jac,
    sparsity_indices_h=hess,
    eval_f=eval_f,
    eval_grad_f=eval_grad_f,
    eval_g=eval_g,
    eval_jac_g=eval_jac_g,
    eval_h=eval_h,
    ipopt_options={"print_level": 0, "sb": "yes"},
)
start = np.full(n, 2.0)
print(problem.check(start))
x, objective, status = problem.solve(start.copy())
print(vornel.Status(status).name, x.round(4))

# %%
# Another order is another matrix
# -------------------------------
# The same matrix in CSC format has the same nonzeros in another order
# (column by column: ``(0, 0), (1, 1), (0, 2), (2, 2), ...``). Values written
# for the CSR order are then in the wrong places: :meth:`~vornel.Problem.check`
# compares them with finite differences and lists each entry that disagrees,
# with its position in the pattern.

wrong = vornel.Problem(
    n=n,
    x_l=np.full(n, 0.1),
    x_u=np.full(n, 10.0),
    m=m,
    g_l=np.ones(m),
    g_u=np.ones(m),
    sparsity_indices_jac_g=jac.tocsc(),
    sparsity_indices_h=None,
    eval_f=eval_f,
    eval_grad_f=eval_grad_f,
    eval_g=eval_g,
    eval_jac_g=eval_jac_g,  # still in the CSR order
)
report = wrong.check(np.linspace(1.0, 2.0, n))
print(report)

# %%
# The cure is to take ``row`` and ``col`` from the very object passed as the
# pattern (``jac.tocsc().tocoo()`` here), or to pass the COO matrix itself.
# Writing ``out[:] = dense[coo.row, coo.col]`` from a dense Jacobian works
# too, at the cost of forming the dense matrix.
