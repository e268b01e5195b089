"""HS071 as C callbacks with switchable faults, compiled on first use.

The library is built with the system C compiler into a private temporary
directory, once per process, and loaded with ctypes. Each routine can be
handed to vornel as a PyCapsule (user data in the capsule's context) or as a
scipy.LowLevelCallable (user data as its second item).
"""

import atexit
import ctypes
import functools
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hs071_faults.c")

ROUTINES = ("eval_f", "eval_grad_f", "eval_g", "eval_jac_g", "eval_h", "intermediate_callback")
SYMBOLS = ("rel_f", "rel_grad_f", "rel_g", "rel_jac_g", "rel_h", "rel_intermediate")

# FAIL_ONCE fails the armed call alone, the others fail every call from it on.
NORMAL, FAIL, WRITE_NOTHING, WRITE_NAN, WRITE_INF, FAIL_ONCE = range(6)


class Faults(ctypes.Structure):
    """The C `struct faults`: per routine, the calls so far and a fault mode
    that applies from a given call on."""

    _fields_ = [
        ("calls", ctypes.c_int * 6),
        ("from_call", ctypes.c_int * 6),
        ("mode", ctypes.c_int * 6),
    ]

    def arm(self, routine, from_call, mode):
        i = ROUTINES.index(routine)
        self.from_call[i] = from_call
        self.mode[i] = mode

    def reset(self):
        for i in range(6):
            self.calls[i] = self.from_call[i] = self.mode[i] = 0

    def count(self, routine):
        return self.calls[ROUTINES.index(routine)]


class CompilerMissing(RuntimeError):
    pass


@functools.cache
def library():
    cc = os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc"
    cc = cc.split()[0]
    if shutil.which(cc) is None:
        raise CompilerMissing(f"no C compiler ({cc}) to build {SOURCE}")
    tmp = tempfile.mkdtemp(prefix="vornel-rel-")
    atexit.register(shutil.rmtree, tmp, True)
    out = os.path.join(tmp, "libhs071_faults.so")
    subprocess.run(
        [cc, "-shared", "-fPIC", "-O1", "-o", out, SOURCE, "-lm"],
        check=True,
        capture_output=True,
    )
    return ctypes.CDLL(out)


def _address(symbol):
    return ctypes.cast(getattr(library(), symbol), ctypes.c_void_p).value


_PyCapsule_New = ctypes.pythonapi.PyCapsule_New
_PyCapsule_New.restype = ctypes.py_object
_PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_PyCapsule_SetContext = ctypes.pythonapi.PyCapsule_SetContext
_PyCapsule_SetContext.restype = ctypes.c_int
_PyCapsule_SetContext.argtypes = [ctypes.py_object, ctypes.c_void_p]


def capsule(routine, faults=None):
    cap = _PyCapsule_New(_address(SYMBOLS[ROUTINES.index(routine)]), None, None)
    if faults is not None:
        _PyCapsule_SetContext(cap, ctypes.addressof(faults))
    return cap


def low_level_callable(routine, faults=None):
    import scipy

    cap = _PyCapsule_New(_address(SYMBOLS[ROUTINES.index(routine)]), None, None)
    user_data = ctypes.c_void_p(ctypes.addressof(faults)) if faults is not None else None
    return scipy.LowLevelCallable(cap, user_data)


FORMS = {"capsule": capsule, "llc": low_level_callable}


def callbacks(form, faults=None, routines=ROUTINES):
    """The routines as keyword arguments of vornel.Problem, in `form`."""
    make = FORMS[form]
    return {r: make(r, faults) for r in routines}


def available():
    try:
        library()
    except (CompilerMissing, subprocess.CalledProcessError, OSError):
        return False
    return True


if __name__ == "__main__":
    print(library()._name, file=sys.stderr)
