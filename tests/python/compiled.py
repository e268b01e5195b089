"""HS071 as compiled C callbacks: building the library and wrapping its
functions into the two compiled callback forms, a PyCapsule and a
scipy.LowLevelCallable."""

import ctypes
import os
import pathlib
import subprocess

import scipy

SOURCE = pathlib.Path(__file__).parent / "compiled" / "hs071.c"

NAMES = ("f", "grad_f", "g", "jac_g", "h", "intermediate_callback")

# The constructor keyword each C function serves.
KEYWORDS = dict(
    zip(
        NAMES,
        ("eval_f", "eval_grad_f", "eval_g", "eval_jac_g", "eval_h", "intermediate_callback"),
        strict=True,
    )
)

_int, _dbl, _ptr = ctypes.c_int, ctypes.c_double, ctypes.c_void_p
_dbl_p = ctypes.POINTER(ctypes.c_double)
# Typed prototypes, so scipy.LowLevelCallable can derive each signature.
PROTOTYPES = {
    "f": (ctypes.c_bool, [_int, _dbl_p, _dbl_p, _ptr]),
    "grad_f": (ctypes.c_bool, [_int, _dbl_p, _dbl_p, _ptr]),
    "g": (ctypes.c_bool, [_int, _dbl_p, _int, _dbl_p, _ptr]),
    "jac_g": (ctypes.c_bool, [_int, _dbl_p, _int, _int, _dbl_p, _ptr]),
    "h": (ctypes.c_bool, [_int, _dbl_p, _dbl, _int, _dbl_p, _int, _dbl_p, _ptr]),
    "intermediate_callback": (
        ctypes.c_bool,
        [_int, _int] + [_dbl] * 8 + [_int, _ptr, _ptr, _ptr],
    ),
}


class UserData(ctypes.Structure):
    """Mirror of `struct user_data` in hs071.c."""

    _fields_ = [
        ("magic", ctypes.c_uint),
        ("calls", ctypes.c_long),
        ("stop_after", ctypes.c_long),
        ("last_iter", ctypes.c_long),
        ("delay_us", ctypes.c_long),
    ]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_set_context = ctypes.pythonapi.PyCapsule_SetContext
_capsule_set_context.restype = ctypes.c_int
_capsule_set_context.argtypes = [ctypes.py_object, ctypes.c_void_p]


def build(folder):
    """Compiles hs071.c into a shared library in `folder` and returns its path."""
    library = pathlib.Path(folder) / "libhs071.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O2", "-o", str(library), str(SOURCE)],
        check=True,
        capture_output=True,
    )
    return library


class Library:
    """The loaded library. Capsules and LowLevelCallables made here hold raw
    pointers into it and into a UserData, so both must outlive every problem
    built from them: the library lives for the session, and each UserData is
    kept by the CompiledCallbacks that made it."""

    def __init__(self, path):
        self.cdll = ctypes.CDLL(str(path))
        self.cdll.hs071_magic.restype = ctypes.c_uint
        self.magic = self.cdll.hs071_magic()
        self.cdll.hs071_most_running.restype = ctypes.c_int
        self.functions = {}
        for name in NAMES:
            function = getattr(self.cdll, name)
            function.restype, function.argtypes = PROTOTYPES[name]
            self.functions[name] = function

    def most_running(self):
        """The most slowed-down calls that ran at once since the last ask."""
        return self.cdll.hs071_most_running()

    def user_data(self, stop_after=-1, delay_us=0):
        return UserData(
            magic=self.magic, calls=0, stop_after=stop_after, last_iter=-1, delay_us=delay_us
        )

    def address(self, name):
        return ctypes.cast(self.functions[name], ctypes.c_void_p).value

    def capsule(self, name, data):
        """A nameless capsule around the C function, its context the user data."""
        capsule = _capsule_new(self.address(name), None, None)
        if _capsule_set_context(capsule, ctypes.addressof(data)) != 0:
            raise RuntimeError("PyCapsule_SetContext failed")
        return capsule

    def low_level_callable(self, name, data):
        return scipy.LowLevelCallable(self.functions[name], ctypes.c_void_p(ctypes.addressof(data)))

    def callbacks(self, stop_after=-1, delay_us=0):
        return CompiledCallbacks(self, stop_after, delay_us)


class CompiledCallbacks:
    """One user data per C function, and the callback objects made over them.

    `form(name, "capsule" | "llc")` gives the object to pass for that
    function; `calls(name)` how often the function ran. `stop_after` is the
    iteration at which the C intermediate_callback asks for a stop; `delay_us`
    slows down the objective."""

    def __init__(self, library, stop_after, delay_us):
        self.library = library
        self.data = {name: library.user_data() for name in NAMES}
        self.data["intermediate_callback"].stop_after = stop_after
        self.data["f"].delay_us = delay_us

    def form(self, name, kind):
        if kind == "capsule":
            return self.library.capsule(name, self.data[name])
        if kind == "llc":
            return self.library.low_level_callable(name, self.data[name])
        raise ValueError(kind)

    def kwargs(self, kind, names=NAMES):
        return {KEYWORDS[name]: self.form(name, kind) for name in names}

    def calls(self, name):
        return self.data[name].calls


REGISTRY_SOURCE = pathlib.Path(__file__).parent / "compiled" / "option_registry.cpp"
_VALUE_TYPES = {"float": float, "int": int, "str": str, "none": None}


def linked_ipopt():
    """The folder of the libipopt the loaded module runs on."""
    import vornel._core  # noqa: F401  (maps the library)

    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if pathlib.Path(path).name.startswith("libipopt"):
                return pathlib.Path(path).resolve().parent
    raise RuntimeError("vornel._core is loaded but no libipopt is mapped")


def registered_options(folder):
    """What the Ipopt the loaded module links registers, as Ipopt itself
    reports it to a small program built against that same library: {name:
    {"type", "category", "description_short", "description_long"}}. None when
    no pkg-config file describes that library (a wheel, whose bundled copy
    has none)."""
    libdir = linked_ipopt()
    env = dict(os.environ)
    # A private prefix has its .pc file beside the library; the system's is
    # found by pkg-config's own search, and a copy bundled elsewhere (a
    # wheel's) is described by none.
    if (libdir / "pkgconfig" / "ipopt.pc").is_file():
        env["PKG_CONFIG_PATH"] = str(libdir / "pkgconfig")
    elif not libdir.is_relative_to("/usr"):
        return None
    found = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "ipopt"], capture_output=True, text=True, env=env
    )
    if found.returncode != 0:
        return None
    # Warnings inside Ipopt's headers are not this program's.
    flags = ["-isystem" + f[2:] if f.startswith("-I") else f for f in found.stdout.split()]
    flags.append(f"-Wl,-rpath,{libdir}")
    program = pathlib.Path(folder) / "option_registry"
    subprocess.run(
        ["c++", "-std=c++17", "-o", str(program), str(REGISTRY_SOURCE), *flags],
        check=True,
        capture_output=True,
    )
    fields = subprocess.run([str(program)], check=True, capture_output=True).stdout.split(b"\0")
    assert fields.pop() == b"" and len(fields) % 5 == 0
    options = {}
    for i in range(0, len(fields), 5):
        name, value_type, category, short, long = (f.decode() for f in fields[i : i + 5])
        options[name] = {
            "type": _VALUE_TYPES[value_type],
            "category": category,
            "description_short": short,
            "description_long": long,
        }
    return options
