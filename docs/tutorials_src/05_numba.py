"""
Compiled callbacks: Numba ``cfunc``
===================================

`Numba <https://numba.readthedocs.io>`_ compiles a Python function with a C
signature into machine code (``numba.cfunc``); its ``ctypes`` attribute is a
function pointer that :class:`scipy.LowLevelCallable` wraps. The callbacks stay
Python source, the solver calls them as C functions.

Each callback receives raw pointers; ``numba.carray`` views them as arrays of
the given length. The signatures are those of :doc:`/reference/callbacks`.
"""

# %%
# The C signatures in Numba's types
# ---------------------------------
import time

import numpy as np
from numba import cfunc, types
from numba.np.numpy_support import carray
from scipy import LowLevelCallable

import vornel

double_p = types.CPointer(types.double)
f_sig = types.boolean(types.intc, double_p, double_p, types.voidptr)
grad_f_sig = types.boolean(types.intc, double_p, double_p, types.voidptr)
g_sig = types.boolean(types.intc, double_p, types.intc, double_p, types.voidptr)
jac_g_sig = types.boolean(types.intc, double_p, types.intc, types.intc, double_p, types.voidptr)

# %%
# The callbacks
# -------------
# HS071 again (see :doc:`01_hs071`), without the Hessian.


@cfunc(f_sig)
def eval_f(n, x_, obj_value, user_data):
    x = carray(x_, (n,))
    obj_value[0] = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]
    return True


@cfunc(grad_f_sig)
def eval_grad_f(n, x_, out_, user_data):
    x = carray(x_, (n,))
    out = carray(out_, (n,))
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2])
    out[1] = x[0] * x[3]
    out[2] = x[0] * x[3] + 1.0
    out[3] = x[0] * (x[0] + x[1] + x[2])
    return True


@cfunc(g_sig)
def eval_g(n, x_, m, out_, user_data):
    x = carray(x_, (n,))
    out = carray(out_, (m,))
    out[0] = x[0] * x[1] * x[2] * x[3]
    out[1] = x[0] ** 2 + x[1] ** 2 + x[2] ** 2 + x[3] ** 2
    return True


@cfunc(jac_g_sig)
def eval_jac_g(n, x_, m, nele_jac, out_, user_data):
    x = carray(x_, (n,))
    out = carray(out_, (nele_jac,))
    out[0] = x[1] * x[2] * x[3]
    out[1] = x[0] * x[2] * x[3]
    out[2] = x[0] * x[1] * x[3]
    out[3] = x[0] * x[1] * x[2]
    for i in range(4):
        out[4 + i] = 2.0 * x[i]
    return True


# %%
# The problem
# -----------
# Each callback is a :class:`scipy.LowLevelCallable` over the compiled
# function. Since every callback is compiled, :meth:`~vornel.Problem.solve`
# lets other Python threads run while Ipopt works (see :doc:`07_threads`).


def make(**callbacks):
    return vornel.Problem(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=2,
        g_l=np.array([25.0, 40.0]),
        g_u=np.array([np.inf, 40.0]),
        sparsity_indices_jac_g=([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3]),
        sparsity_indices_h=None,
        ipopt_options={"print_level": 0, "sb": "yes"},
        **callbacks,
    )


compiled = make(
    eval_f=LowLevelCallable(eval_f.ctypes),
    eval_grad_f=LowLevelCallable(eval_grad_f.ctypes),
    eval_g=LowLevelCallable(eval_g.ctypes),
    eval_jac_g=LowLevelCallable(eval_jac_g.ctypes),
)
print(compiled.check(np.array([1.0, 5.0, 5.0, 1.0])))
x, objective, status = compiled.solve(np.array([1.0, 5.0, 5.0, 1.0]))
print(vornel.Status(status).name, x.round(6), round(objective, 6))

# %%
# Against Python callbacks
# ------------------------
# The same functions as Python callables: ``cfunc`` objects are still
# callable from Python, but here plain NumPy code is the fair comparison.
# For a problem this small, most of a solve is Ipopt's own work, so the
# difference is small; it grows with the number of evaluations and with the
# cost of each in Python.


def py_f(x):
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


def py_grad_f(x, out):
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2])
    out[1] = x[0] * x[3]
    out[2] = x[0] * x[3] + 1.0
    out[3] = x[0] * (x[0] + x[1] + x[2])


def py_g(x, out):
    out[0] = np.prod(x)
    out[1] = x @ x


def py_jac_g(x, out):
    out[:4] = np.prod(x) / x
    out[4:] = 2.0 * x


python = make(eval_f=py_f, eval_grad_f=py_grad_f, eval_g=py_g, eval_jac_g=py_jac_g)


def per_solve(problem, repeats=30):
    start = time.perf_counter()
    for _ in range(repeats):
        problem.solve(np.array([1.0, 5.0, 5.0, 1.0]))
    return (time.perf_counter() - start) / repeats


print(f"Python callbacks: {per_solve(python) * 1e3:.2f} ms per solve")
print(f"Numba callbacks:  {per_solve(compiled) * 1e3:.2f} ms per solve")
