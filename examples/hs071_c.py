"""HS071 with callbacks written in C, compiled at run time and passed as capsules.

The C functions below are compiled with the system compiler (``cc``) into a
shared library, loaded with ctypes, and each wrapped into a PyCapsule whose
pointer is the C function and whose context is the user data that vornel passes
as the last argument. Here the user data is a struct of evaluation counters that
the C code increments and Python reads back after the solve.
"""

import ctypes
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

import numpy as np

import vornel
from _hs071 import HESS, INF, JAC_G, x0

C_SOURCE = r"""
#include <stdbool.h>

typedef struct { long f, grad_f, g, jac_g, h; } counters;

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

/* The third argument is the factor of the objective's Hessian. */
bool eval_h(int n, const double* x, double obj_factor, int m,
            const double* lagrange, int nele_hess, double* out, void* user_data) {
    ((counters*)user_data)->h++;
    out[0] = obj_factor * 2 * x[3] + lagrange[1] * 2;
    out[1] = obj_factor * x[3] + lagrange[0] * x[2] * x[3];
    out[2] = lagrange[1] * 2;
    out[3] = obj_factor * x[3] + lagrange[0] * x[1] * x[3];
    out[4] = lagrange[0] * x[0] * x[3];
    out[5] = lagrange[1] * 2;
    out[6] = obj_factor * (2 * x[0] + x[1] + x[2]) + lagrange[0] * x[1] * x[2];
    out[7] = obj_factor * x[0] + lagrange[0] * x[0] * x[2];
    out[8] = obj_factor * x[0] + lagrange[0] * x[0] * x[1];
    out[9] = lagrange[1] * 2;
    return true;
}
"""


COUNTED = ("f", "grad_f", "g", "jac_g", "h")


class Counters(ctypes.Structure):
    _fields_ = [(name, ctypes.c_long) for name in COUNTED]


def compile_library(directory: Path) -> ctypes.CDLL:
    compiler = shutil.which("cc")
    if compiler is None:
        sys.exit("hs071_c: no C compiler 'cc' on the PATH")
    source = directory / "hs071.c"
    library = directory / "libhs071.so"
    source.write_text(C_SOURCE)
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O2", "-o", str(library), str(source)],
        check=True,
    )
    return ctypes.CDLL(str(library))


_PyCapsule_New = ctypes.pythonapi.PyCapsule_New
_PyCapsule_New.restype = ctypes.py_object
_PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_PyCapsule_SetContext = ctypes.pythonapi.PyCapsule_SetContext
_PyCapsule_SetContext.restype = ctypes.c_int
_PyCapsule_SetContext.argtypes = [ctypes.py_object, ctypes.c_void_p]


def capsule(function: Any, user_data: ctypes.Structure) -> Any:
    """A capsule holding the C function, with the address of user_data as its
    context. The caller keeps user_data alive as long as the capsule is used."""
    pointer = ctypes.cast(function, ctypes.c_void_p).value
    # vornel accepts capsules of any name; no destructor, the library owns the code.
    result = _PyCapsule_New(pointer, None, None)
    if _PyCapsule_SetContext(result, ctypes.addressof(user_data)) != 0:
        raise RuntimeError("PyCapsule_SetContext failed")
    return result


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        lib = compile_library(Path(tmp))
    counters = Counters()
    problem = vornel.Problem(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=2,
        g_l=np.array([25.0, 40.0]),
        g_u=np.array([INF, 40.0]),
        sparsity_indices_jac_g=JAC_G,
        sparsity_indices_h=HESS,
        eval_f=capsule(lib.eval_f, counters),
        eval_grad_f=capsule(lib.eval_grad_f, counters),
        eval_g=capsule(lib.eval_g, counters),
        eval_jac_g=capsule(lib.eval_jac_g, counters),
        eval_h=capsule(lib.eval_h, counters),
        ipopt_options={"print_level": 0, "sb": "yes"},
    )
    x, obj, status = problem.solve(x0())
    print("solution: ", np.array2string(x, precision=6))
    print(f"objective: {obj:.6f}")
    print("status:   ", status, "(0 means solved)")
    print("stats:    ", problem.stats)
    print(
        "C calls counted in the user data:",
        ", ".join(f"{name}={getattr(counters, name)}" for name in COUNTED),
    )


if __name__ == "__main__":
    main()
