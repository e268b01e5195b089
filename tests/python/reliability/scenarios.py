"""What the soak test repeats: a full life cycle (construction, solve,
destruction) per callback form, and every failure path of construction,
solve, set and set_problem_scaling, with the arguments whose reference
counts must not change.

Each failure path is a `Failure`: calling `run()` makes one call that must
raise `expected`; `watched()` gives the argument objects to count
references of. Arguments are built once per path, so that the same objects
are passed on every repetition.
"""

import dataclasses
import gc
import inspect
import os
import sys
import time
import tracemalloc
from collections.abc import Callable
from typing import Any

import numpy as np

import problems
import vornel
from problems import QUIET, hs071_args, make_hs071, x0
from reliability import compiled
from reliability.faults import Injected, PyFaults, raise_injected, returns

FORMS = ("python", "capsule", "llc")


def life_cycle(form):
    """A function that builds HS071 with callbacks of `form`, solves it and
    drops it, checking the result."""
    if form == "python":
        extra = {}
    else:
        extra = compiled.callbacks(form)

    def cycle():
        problem = vornel.Problem(**hs071_args(**extra, ipopt_options=QUIET))
        status = problem.solve(x0())[2]
        if status != 0:
            raise AssertionError(f"{form}: status {status}")

    return cycle


@dataclasses.dataclass
class Failure:
    name: str
    call: Callable[..., Any]
    args: tuple
    kwargs: dict
    expected: type

    def run(self):
        try:
            self.call(*self.args, **self.kwargs)
        except self.expected as e:
            if not str(e):
                raise AssertionError(f"{self.name}: {type(e).__name__} without a message") from None
            return
        raise AssertionError(f"{self.name}: no {self.expected.__name__} raised")

    def watched(self):
        """The argument objects, and the items of tuples and dicts among
        them, whose reference counts are meaningful (not shared singletons
        such as small ints or interned strings)."""
        # Iterative, so that no closure cycle keeps the list (and with it a
        # reference to every argument) alive until the next collection.
        found = []
        pending = list(self.args) + list(self.kwargs.values())
        while pending:
            obj = pending.pop()
            if isinstance(obj, (int, float, str, bytes, type(None))):
                continue
            if any(obj is seen for seen in found):
                continue
            found.append(obj)
            if isinstance(obj, (tuple, list)):
                pending.extend(obj)
            elif isinstance(obj, dict):
                pending.extend(obj.values())
        return found

    def refcounts(self):
        return [sys.getrefcount(obj) for obj in self.watched()]


def _construct(name, expected, drop=(), **overrides):
    kwargs = hs071_args(**overrides)
    for key in drop:
        del kwargs[key]
    return Failure(f"Problem: {name}", vornel.Problem, (), kwargs, expected)


def construction_failures():
    jac = ([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3])
    return [
        _construct("n negative", ValueError, n=-1),
        _construct("m negative", ValueError, m=-1),
        _construct("x_l too long", ValueError, x_l=np.ones(5)),
        _construct("x_u too short", ValueError, x_u=np.ones(3)),
        _construct("g_l too long", ValueError, g_l=np.ones(3)),
        _construct("g_u empty", ValueError, g_u=np.ones(0)),
        _construct("x_l a list", TypeError, x_l=[1.0] * 4),
        _construct("x_u two-dimensional", ValueError, x_u=np.ones((2, 2))),
        _construct("g_l complex", TypeError, g_l=np.ones(2, dtype=complex)),
        _construct("jacobian sparsity a list", TypeError, sparsity_indices_jac_g=list(jac)),
        _construct("jacobian sparsity of three", TypeError, sparsity_indices_jac_g=(*jac, [0])),
        _construct("jacobian sparsity not iterable", TypeError, sparsity_indices_jac_g=(1, 2)),
        _construct("jacobian index a float", TypeError, sparsity_indices_jac_g=([0.0], [0])),
        _construct("jacobian index huge", ValueError, sparsity_indices_jac_g=([2**40], [0])),
        _construct("jacobian lengths differ", ValueError, sparsity_indices_jac_g=([0, 1], [0])),
        _construct("jacobian index out of range", ValueError, sparsity_indices_jac_g=([2], [0])),
        _construct("hessian lengths differ", ValueError, sparsity_indices_h=([0], [0, 1])),
        _construct("eval_f an int", ValueError, eval_f=3),
        _construct("eval_f None", ValueError, eval_f=None),
        _construct("eval_grad_f a 3-tuple", ValueError, eval_grad_f=(1, 2, 3)),
        _construct("eval_h a list", ValueError, eval_h=[problems.eval_h]),
        _construct("ipopt_options a list", TypeError, ipopt_options=[("tol", 1e-3)]),
        _construct("unknown option", ValueError, ipopt_options={**QUIET, "no_such_option": 1}),
        _construct("option of type None", TypeError, ipopt_options={**QUIET, "tol": None}),
        _construct("option name not str", TypeError, ipopt_options={**QUIET, 1: 2}),
        _construct("option int too big", ValueError, ipopt_options={**QUIET, "max_iter": 2**40}),
        _construct("x_scaling too long", ValueError, x_scaling=np.ones(5)),
        _construct("g_scaling too short", ValueError, g_scaling=np.ones(1)),
        _construct("eval_f missing", TypeError, drop=("eval_f",)),
        _construct("unknown keyword", TypeError, no_such_argument=1),
        _construct("n a str", TypeError, n="4"),
        _construct("n beyond int", OverflowError, n=2**40),
        _construct("obj_scaling a str", TypeError, obj_scaling="1"),
    ]


def _solve_failure(name, expected, problem, *args, **kwargs):
    return Failure(f"solve: {name}", problem.solve, args, kwargs, expected)


def solve_failures():
    p = make_hs071(ipopt_options=QUIET)
    read_only = x0()
    read_only.flags.writeable = False
    # Each faulty problem keeps its own armed callbacks.
    faulty = []
    for routine, label, action, expected in (
        ("eval_f", "raises", raise_injected, Injected),
        ("eval_grad_f", "raises", raise_injected, Injected),
        ("eval_g", "raises", raise_injected, Injected),
        ("eval_jac_g", "raises", raise_injected, Injected),
        ("eval_h", "raises", raise_injected, Injected),
        ("eval_f", "returns None", returns(None), RuntimeError),
        ("intermediate_callback", "returns None", returns(None), RuntimeError),
    ):
        faults = PyFaults()
        faults.arm(routine, 2, action)
        problem = make_hs071(**faults.callbacks(), ipopt_options=QUIET)
        faulty.append((f"{routine} {label}", expected, problem, faults))

    def solve_faulty(problem, faults):
        def solve(x):
            faults.reset_counts()
            return problem.solve(x)

        return solve

    paths = [
        _solve_failure("x0 a list", TypeError, p, list(x0())),
        _solve_failure("x0 None", TypeError, p, None),
        _solve_failure("x0 two-dimensional", ValueError, p, np.ones((4, 1))),
        _solve_failure("x0 too long", ValueError, p, np.ones(5)),
        _solve_failure("mult_g too short", ValueError, p, x0(), mult_g=np.zeros(1)),
        _solve_failure("mult_x_L too long", ValueError, p, x0(), mult_x_L=np.zeros(5)),
        _solve_failure("mult_x_U 2-D", ValueError, p, x0(), mult_x_U=np.zeros((4, 1))),
        _solve_failure("x0 float32", TypeError, p, np.ones(4, dtype=np.float32)),
        _solve_failure("x0 read-only", TypeError, p, read_only),
        _solve_failure("x0 strided", TypeError, p, np.ones(8)[::2]),
        _solve_failure("x0 byte-swapped", TypeError, p, np.ones(4, dtype=">f8")),
        _solve_failure("keyword x", TypeError, p, x=x0()),
        _solve_failure("mult_g by position", TypeError, p, x0(), np.zeros(2)),
        _solve_failure("mult_g None", TypeError, p, x0(), mult_g=None),
    ]
    for name, expected, problem, faults in faulty:
        paths.append(
            Failure(f"solve: {name}", solve_faulty(problem, faults), (x0(),), {}, expected)
        )
    return paths


def set_failures():
    p = make_hs071(ipopt_options=QUIET)
    return [
        Failure("set: positional", p.set, (1,), {}, TypeError),
        Failure("set: unknown option", p.set, (), {"no_such_option": 1}, ValueError),
        Failure("set: value None", p.set, (), {"tol": None}, TypeError),
        Failure("set: value a list", p.set, (), {"tol": [1e-3]}, TypeError),
        Failure("set: str for a number", p.set, (), {"tol": "small"}, ValueError),
        Failure("set: float for an int", p.set, (), {"max_iter": 1.5}, ValueError),
        Failure("set: int too big", p.set, (), {"max_iter": 2**40}, ValueError),
        Failure("set: out of range", p.set, (), {"tol": -1.0}, ValueError),
    ]


def scaling_failures():
    p = make_hs071(ipopt_options=QUIET)
    f = p.set_problem_scaling
    return [
        Failure("scaling: nothing", f, (), {}, TypeError),
        Failure("scaling: obj a str", f, ("1",), {}, TypeError),
        Failure("scaling: x a list", f, (1.0, [1.0] * 4), {}, TypeError),
        Failure("scaling: x 2-D", f, (1.0, np.ones((2, 2))), {}, ValueError),
        Failure("scaling: x too short", f, (1.0, np.ones(3)), {}, ValueError),
        Failure("scaling: g too long", f, (1.0, None, np.ones(5)), {}, ValueError),
        Failure("scaling: g complex", f, (1.0, None, np.ones(2, dtype=complex)), {}, TypeError),
        Failure("scaling: unknown keyword", f, (1.0,), {"h_scaling": None}, TypeError),
        Failure("scaling: too many", f, (1.0, None, None, None), {}, TypeError),
    ]


def all_failures():
    return construction_failures() + solve_failures() + set_failures() + scaling_failures()


# --- measuring ---------------------------------------------------------------

PAGE = os.sysconf("SC_PAGE_SIZE")
HERE = os.path.dirname(os.path.abspath(__file__))
# The call sites through which every allocation of the module is made.
CALL_SITE_FILES = (os.path.join(os.path.dirname(HERE), "problems.py"),)


def _sanitized():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# AddressSanitizer holds freed memory in quarantine, so resident memory
# grows under it whether or not anything leaks.
UNDER_ASAN = _sanitized()


def rss():
    """Resident memory in bytes (second field of /proc/self/statm)."""
    fd = os.open("/proc/self/statm", os.O_RDONLY)
    try:
        return int(os.read(fd, 200).split()[1]) * PAGE
    finally:
        os.close(fd)


@dataclasses.dataclass
class Figures:
    name: str
    cycles: int
    rss_before: int
    rss_after: int
    traced_growth: int  # bytes, net, at the call sites; None when not traced
    traced_blocks: int
    refcounts_kept: bool
    seconds: float
    top_growth: str = ""  # the line whose traced blocks grew most

    @property
    def rss_growth(self):
        return self.rss_after - self.rss_before


def _call_site_filters():
    """The call sites, less this module's own measuring code, whose
    snapshots and bookkeeping are not the module's allocations."""
    filters = [tracemalloc.Filter(True, f) for f in (HERE + "/*",) + CALL_SITE_FILES]
    for own in (soak, rss):
        lines, first = inspect.getsourcelines(own)
        filters += [
            tracemalloc.Filter(False, __file__, lineno)
            for lineno in range(first, first + len(lines))
        ]
    return filters


def soak(name, run, cycles, warmup, refcounts=None, trace=False):
    """Runs `run` `warmup` times, then `cycles` times, measuring resident
    memory and (with `trace`, tracemalloc running) the net growth of the
    blocks allocated from the call sites across the measured cycles.
    `refcounts`, when given, is called before and after every cycle and
    must give equal results."""
    for _ in range(warmup):
        run()
    counts = None
    if trace:
        # Everything the comparison needs exists before the first snapshot,
        # so that none of it counts as growth.
        filters = _call_site_filters()
        tracemalloc.take_snapshot().filter_traces(filters)
    rss()
    gc.collect()
    # Resident memory is read inside the snapshots, which are large.
    snapshot = tracemalloc.take_snapshot().filter_traces(filters) if trace else None
    before = rss()
    kept = True
    started = time.perf_counter()
    for _ in range(cycles):
        if refcounts is None:
            run()
            continue
        counts = refcounts()
        run()
        kept = kept and refcounts() == counts
    seconds = time.perf_counter() - started
    counts = None
    gc.collect()
    after = rss()
    growth = blocks = None
    top_growth = ""
    if trace:
        later = tracemalloc.take_snapshot().filter_traces(filters)
        diff = later.compare_to(snapshot, "lineno")
        growth = sum(d.size_diff for d in diff)
        blocks = sum(d.count_diff for d in diff)
        top = max(diff, key=lambda d: d.size_diff, default=None)
        top_growth = str(top.traceback[0]) if top is not None and top.size_diff > 0 else ""
    return Figures(name, cycles, before, after, growth, blocks, kept, seconds, top_growth)
