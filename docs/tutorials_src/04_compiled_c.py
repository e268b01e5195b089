r"""
Compiled callbacks: C functions in a capsule
============================================

A callback can be a C function instead of a Python callable. The solver then
calls the machine code directly: no Python call, no interpreter lock held while
Ipopt runs, the speed of a C++ program against Ipopt. vornel accepts the
function in a :class:`~types.CapsuleType` (a ``PyCapsule``: its pointer is the
function, its context the user data passed as the last argument) or in a
:class:`scipy.LowLevelCallable`.

This tutorial compiles HS071's callbacks from C at run time with the system's C
compiler (``cc``), loads them with :mod:`ctypes`, and passes them both ways.
"""

# %%
# The C source
# ------------
# Each function has the signature vornel documents for its role (see
# :doc:`/reference/callbacks`) and returns ``true`` on success. The user data
# here is a struct of call counters.
import ctypes
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np

import vornel

C_SOURCE = r"""
#include <stdbool.h>

typedef struct { long f, grad_f, g, jac_g; } counters;

bool eval_f(int n, const double* x, double* obj_value, void* user_data) {
    ((counters*)user_data)->f++;
    *obj_value = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
    return true;
}

bool eval_grad_f(int n, const double* x, double* out, void* user_data) {
    ((counters*)user_data)->grad_f++;
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2]);
    out[1] = x[0] * x[3];
    out[2] = x[0] * x[3] + 1.0;
    out[3] = x[0] * (x[0] + x[1] + x[2]);
    return true;
}

bool eval_g(int n, const double* x, int m, double* out, void* user_data) {
    ((counters*)user_data)->g++;
    out[0] = x[0] * x[1] * x[2] * x[3];
    out[1] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3];
    return true;
}

bool eval_jac_g(int n, const double* x, int m, int nele_jac, double* out,
                void* user_data) {
    ((counters*)user_data)->jac_g++;
    out[0] = x[1] * x[2] * x[3];
    out[1] = x[0] * x[2] * x[3];
    out[2] = x[0] * x[1] * x[3];
    out[3] = x[0] * x[1] * x[2];
    for (int i = 0; i < 4; ++i) out[4 + i] = 2.0 * x[i];
    return true;
}
"""

# %%
# Compile and load
# ----------------
# Into a shared library in a temporary folder; :class:`ctypes.CDLL` keeps the
# library loaded after the folder is gone.

compiler = shutil.which("cc")
assert compiler is not None, "a C compiler (cc) is needed: apt-get install gcc"
with tempfile.TemporaryDirectory() as folder:
    source = Path(folder) / "hs071.c"
    source.write_text(C_SOURCE)
    library = Path(folder) / "libhs071.so"
    subprocess.run(
        [compiler, "-O2", "-shared", "-fPIC", str(source), "-o", str(library)], check=True
    )
    lib = ctypes.CDLL(str(library))


class Counters(ctypes.Structure):
    _fields_ = [(name, ctypes.c_long) for name in ("f", "grad_f", "g", "jac_g")]


# %%
# Capsules
# --------
# The C API makes a capsule from a pointer (``PyCapsule_New``) and sets its
# context (``PyCapsule_SetContext``); ``ctypes.pythonapi`` calls both.
# Any capsule name is accepted. Nothing can check a C function's signature:
# it must be the documented one.

PyCapsule_New = ctypes.pythonapi.PyCapsule_New
PyCapsule_New.restype = ctypes.py_object
PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
PyCapsule_SetContext = ctypes.pythonapi.PyCapsule_SetContext
PyCapsule_SetContext.argtypes = [ctypes.py_object, ctypes.c_void_p]


def capsule(function, user_data):
    pointer = ctypes.cast(function, ctypes.c_void_p).value
    result = PyCapsule_New(pointer, None, None)
    PyCapsule_SetContext(result, ctypes.addressof(user_data))
    return result


counters = Counters()  # must outlive the problem: the C code writes into it
problem = vornel.Problem(
    n=4,
    x_l=np.ones(4),
    x_u=np.full(4, 5.0),
    m=2,
    g_l=np.array([25.0, 40.0]),
    g_u=np.array([np.inf, 40.0]),
    sparsity_indices_jac_g=([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3]),
    sparsity_indices_h=None,
    eval_f=capsule(lib.eval_f, counters),
    eval_grad_f=capsule(lib.eval_grad_f, counters),
    eval_g=capsule(lib.eval_g, counters),
    eval_jac_g=capsule(lib.eval_jac_g, counters),
    ipopt_options={"print_level": 0, "sb": "yes"},
)
print(problem.check(np.array([1.0, 5.0, 5.0, 1.0])))
x, objective, status = problem.solve(np.array([1.0, 5.0, 5.0, 1.0]))
print(vornel.Status(status).name, x.round(6), round(objective, 6))
print(
    "calls counted by the C code, the check's included:",
    {name: getattr(counters, name) for name, _ in Counters._fields_},
)

# %%
# scipy.LowLevelCallable
# ----------------------
# A :class:`scipy.LowLevelCallable` wraps a ctypes function pointer and its
# user data; vornel takes its capsule and user data as they are. Declaring
# the ctypes prototype lets SciPy record the signature.

from scipy import LowLevelCallable  # noqa: E402

double_p = ctypes.POINTER(ctypes.c_double)
f_type = ctypes.CFUNCTYPE(ctypes.c_bool, ctypes.c_int, double_p, double_p, ctypes.c_void_p)
grad_type = ctypes.CFUNCTYPE(ctypes.c_bool, ctypes.c_int, double_p, double_p, ctypes.c_void_p)
g_type = ctypes.CFUNCTYPE(
    ctypes.c_bool, ctypes.c_int, double_p, ctypes.c_int, double_p, ctypes.c_void_p
)
jac_type = ctypes.CFUNCTYPE(
    ctypes.c_bool, ctypes.c_int, double_p, ctypes.c_int, ctypes.c_int, double_p, ctypes.c_void_p
)
other = Counters()
data = ctypes.cast(ctypes.pointer(other), ctypes.c_void_p)


def low_level(name, prototype):
    return LowLevelCallable(ctypes.cast(getattr(lib, name), prototype), data)


problem = vornel.Problem(
    n=4,
    x_l=np.ones(4),
    x_u=np.full(4, 5.0),
    m=2,
    g_l=np.array([25.0, 40.0]),
    g_u=np.array([np.inf, 40.0]),
    sparsity_indices_jac_g=([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3]),
    sparsity_indices_h=None,
    eval_f=low_level("eval_f", f_type),
    eval_grad_f=low_level("eval_grad_f", grad_type),
    eval_g=low_level("eval_g", g_type),
    eval_jac_g=low_level("eval_jac_g", jac_type),
    ipopt_options={"print_level": 0, "sb": "yes"},
)
x, objective, status = problem.solve(np.array([1.0, 5.0, 5.0, 1.0]))
print(vornel.Status(status).name, round(objective, 6), "f evaluated", other.f, "times")
