"""The compiled form: the C functions of bench/compiled/problems.c as
PyCapsules, their user data as the capsules' context."""

import ctypes

from python_problems import ALPHA, ROLES, c_prefix

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
_set_context = ctypes.pythonapi.PyCapsule_SetContext
_set_context.restype = ctypes.c_int
_set_context.argtypes = (ctypes.py_object, ctypes.c_void_p)


class BenchParams(ctypes.Structure):
    _fields_ = [("alpha", ctypes.c_double)]


# The capsules point at this; it lives as long as the module.
PARAMS = BenchParams(ALPHA)


def capsule(lib, symbol, user_data=None):
    address = ctypes.cast(getattr(lib, symbol), ctypes.c_void_p).value
    cap = _capsule_new(address, None, None)
    if user_data is not None:
        if _set_context(cap, ctypes.addressof(user_data)) != 0:
            raise RuntimeError("PyCapsule_SetContext failed")
    return cap


def callbacks(lib, name, roles=ROLES):
    """The eval_* keyword arguments with C functions of `lib` (a ctypes.CDLL)."""
    prefix = name if name == "zero" else c_prefix(name)
    user_data = None if prefix in ("hs071", "zero", "heavy") else PARAMS
    return {f"eval_{role}": capsule(lib, f"{prefix}_{role}", user_data) for role in roles}
