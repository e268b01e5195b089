"""How Python callbacks are called and what their results and exceptions do
to a solve."""

import gc
import itertools
import os
import signal
import tracemalloc
import warnings

import numpy as np
import pytest
from child import run_child

import problems
import vornel

USER_REQUESTED_STOP = 5


def assert_solves_hs071(problem):
    x, obj, status = problem.solve(problems.x0())
    assert status == 0
    np.testing.assert_allclose(x, problems.X_OPT, rtol=1e-6)
    assert obj == pytest.approx(problems.F_OPT)


class Failing:
    """Wraps a callback so that its `fail_at`-th call (1-based) raises
    `error`, or returns `result` instead of the real one. Switched off again
    with `fail_at = None`, so the same problem can be solved once more."""

    def __init__(self, function, fail_at=1, error=None, result=None):
        self.function = function
        self.fail_at = fail_at
        self.error = error
        self.result = result
        self.calls = 0
        # Called at the failing call; what it returns is kept as at_failure.
        self.on_fail = lambda: None
        self.at_failure = None

    def __call__(self, *args):
        self.calls += 1
        if self.calls == self.fail_at:
            self.at_failure = self.on_fail()
            if self.error is not None:
                raise self.error
            return self.result
        return self.function(*args)

    def reset(self):
        self.fail_at = None


class Iterations:
    """An intermediate_callback that goes on and records the iterations it saw."""

    def __init__(self):
        self.seen = []

    def __call__(self, mode, iteration, *rest):
        self.seen.append(iteration)
        return True


# --- arguments ---------------------------------------------------------------


def test_callbacks_receive_float64_views_of_the_documented_lengths():
    seen = {}

    def record(name, function):
        def callback(*args):
            seen.setdefault(name, args)
            return function(*args)

        return callback

    problem = problems.make_hs071(
        eval_f=record("f", problems.eval_f),
        eval_grad_f=record("grad_f", problems.eval_grad_f),
        eval_g=record("g", problems.eval_g),
        eval_jac_g=record("jac_g", problems.eval_jac_g),
        eval_h=record("h", problems.eval_h),
        intermediate_callback=record("intermediate", lambda *args: True),
        ipopt_options=problems.QUIET,
    )
    assert_solves_hs071(problem)

    def shapes(args):
        return [a.shape if isinstance(a, np.ndarray) else type(a) for a in args]

    assert shapes(seen["f"]) == [(4,)]
    assert shapes(seen["grad_f"]) == [(4,), (4,)]
    assert shapes(seen["g"]) == [(4,), (2,)]
    assert shapes(seen["jac_g"]) == [(4,), (8,)]
    assert shapes(seen["h"]) == [(4,), (2,), float, (10,)]
    assert shapes(seen["intermediate"]) == [int, int] + [float] * 8 + [int]
    for args in seen.values():
        for array in args:
            if isinstance(array, np.ndarray):
                assert array.dtype == np.float64 and array.flags.c_contiguous
    # The first iteration is iteration 0 in regular (not restoration) mode.
    assert seen["intermediate"][:2] == (0, 0)


SCRATCH_WRITES = {
    "x in place": lambda args: np.clip(args[0], 1.0, 2.0, out=args[0]),
    "x by item": lambda args: args[0].__setitem__(0, 3.0),
    "lagrange": lambda args: args[1].fill(0.0),
}


@pytest.mark.parametrize(
    "name, write",
    [
        (name, write)
        for name in ["eval_f", "eval_grad_f", "eval_g", "eval_jac_g", "eval_h"]
        for write in SCRATCH_WRITES
        if write != "lagrange" or name == "eval_h"
    ],
)
def test_a_callback_writing_into_its_point_or_multipliers_makes_solve_raise(name, write):
    # Once used as scratch space after the output is made, they gave the
    # solver and the next callbacks another point: status 0 at a wrong optimum.
    function = getattr(problems, name)
    write = SCRATCH_WRITES[write]

    def callback(*args):
        returned = function(*args)
        write(args[:2] if name == "eval_h" else args)
        return returned

    problem = problems.make_hs071(**{name: callback}, ipopt_options=problems.QUIET)
    with pytest.raises(ValueError, match=f"^{name} wrote into a read-only array") as raised:
        problem.solve(problems.x0())
    assert "read-only" in str(raised.value.__cause__)


def test_eval_g_of_a_problem_without_constraints_gets_an_empty_array():
    # A fixed variable turned into a constraint makes the solver evaluate the
    # (empty) user constraints too.
    out_shapes = []

    def eval_g(x, out):
        out_shapes.append(out.shape)

    problem = vornel.Problem(
        n=2,
        x_l=np.array([-10.0, 3.0]),
        x_u=np.array([10.0, 3.0]),
        m=0,
        g_l=np.zeros(0),
        g_u=np.zeros(0),
        sparsity_indices_jac_g=([], []),
        sparsity_indices_h=([0, 1], [0, 1]),
        eval_f=lambda x: (x[0] - 1) ** 2 + (x[1] - 2) ** 2,
        eval_grad_f=lambda x, out: out.__setitem__(slice(None), (2 * (x[0] - 1), 2 * (x[1] - 2))),
        eval_g=eval_g,
        eval_jac_g=lambda x, out: None,
        eval_h=lambda x, lagrange, obj_factor, out: out.__setitem__(slice(None), 2 * obj_factor),
        ipopt_options=dict(problems.QUIET, fixed_variable_treatment="make_constraint"),
    )
    x, _, status = problem.solve(np.zeros(2))
    assert status == 0
    np.testing.assert_allclose(x, [1.0, 3.0])
    assert out_shapes and set(out_shapes) == {(0,)}


# --- results -----------------------------------------------------------------


class FloatLike:
    def __float__(self):
        return 3.25


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (np.float64(2.5), 2.5), (np.int64(7), 7.0), (FloatLike(), 3.25)],
    ids=["int", "numpy.float64", "numpy.int64", "__float__"],
)
def test_eval_f_may_return_anything_float_accepts(value, expected):
    # A constant objective: the solver only has to reach feasibility, and the
    # objective it reports is the converted value.
    problem = problems.make_hs071(
        eval_f=lambda x: value,
        eval_grad_f=lambda x, out: out.fill(0.0),
        eval_h=lambda x, lagrange, obj_factor, out: problems.eval_h(x, lagrange, 0.0, out),
        ipopt_options=problems.QUIET,
    )
    _, obj, status = problem.solve(problems.x0())
    assert status == 0
    assert type(obj) is float and obj == expected


@pytest.mark.parametrize("value", [None, "17.0", [17.0], 1j], ids=repr)
def test_eval_f_returning_a_non_number_makes_solve_raise(value):
    eval_f = Failing(problems.eval_f, result=value)
    problem = problems.make_hs071(eval_f=eval_f, ipopt_options=problems.QUIET)
    with pytest.raises(RuntimeError, match="^Python function eval_f returns non-PyFloat$"):
        problem.solve(problems.x0())
    assert eval_f.calls == 1
    eval_f.reset()
    assert_solves_hs071(problem)


@pytest.mark.parametrize("write", ["slice assignment", "rebinding"])
def test_only_writes_into_out_reach_the_solver(write):
    # The true gradient is written first; then either the buffer is zeroed
    # through the view, or the name is merely rebound to a zero array.
    def eval_grad_f(x, out):
        problems.eval_grad_f(x, out)
        if write == "slice assignment":
            out[:] = 0.0
        else:
            out = np.zeros(4)

    problem = problems.make_hs071(eval_grad_f=eval_grad_f, ipopt_options=problems.QUIET)
    x, _, _ = problem.solve(problems.x0())
    reaches_optimum = np.allclose(x, problems.X_OPT, rtol=1e-6)
    assert reaches_optimum == (write == "rebinding")


# --- intermediate_callback ---------------------------------------------------


@pytest.mark.parametrize("value", [True, 1, -3, np.int64(2)], ids=repr)
def test_intermediate_callback_returning_non_zero_goes_on(value):
    problem = problems.make_hs071(
        intermediate_callback=lambda *args: value, ipopt_options=problems.QUIET
    )
    assert_solves_hs071(problem)


@pytest.mark.parametrize("value", [False, 0], ids=repr)
def test_intermediate_callback_returning_zero_stops_the_solver(value):
    callback = Failing(lambda *args: True, result=value)
    problem = problems.make_hs071(intermediate_callback=callback, ipopt_options=problems.QUIET)
    x0 = problems.x0()
    x, _, status = problem.solve(x0)
    assert status == USER_REQUESTED_STOP
    assert x is x0
    assert callback.calls == 1
    assert problem.stats["n_iter"] == 0


def test_intermediate_callback_stops_after_the_iteration_it_chooses():
    seen = []

    def callback(mode, iteration, *rest):
        seen.append(iteration)
        return iteration < 3

    problem = problems.make_hs071(intermediate_callback=callback, ipopt_options=problems.QUIET)
    _, _, status = problem.solve(problems.x0())
    assert status == USER_REQUESTED_STOP
    assert seen == [0, 1, 2, 3]
    assert problem.stats["n_iter"] == 3


def test_compiled_intermediate_callback_stops_after_the_iteration_its_user_data_says(
    hs071_library,
):
    callbacks = hs071_library.callbacks(stop_after=2)
    for form in ("capsule", "llc"):
        callbacks.data["intermediate_callback"].calls = 0
        problem = problems.make_hs071(
            intermediate_callback=callbacks.form("intermediate_callback", form),
            ipopt_options=problems.QUIET,
        )
        _, _, status = problem.solve(problems.x0())
        assert status == USER_REQUESTED_STOP
        assert callbacks.data["intermediate_callback"].last_iter == 2
        assert callbacks.calls("intermediate_callback") == 3
        assert problem.stats["n_iter"] == 2


@pytest.mark.parametrize("value", [None, 1.5, "yes", 2**100], ids=repr)
def test_intermediate_callback_returning_a_non_integer_makes_solve_raise(value):
    callback = Failing(lambda *args: True, result=value)
    problem = problems.make_hs071(intermediate_callback=callback, ipopt_options=problems.QUIET)
    with pytest.raises(
        RuntimeError, match="^Python function intermediate_callback returned non bool$"
    ):
        problem.solve(problems.x0())
    assert callback.calls == 1
    callback.reset()
    assert_solves_hs071(problem)


def test_intermediate_callback_raising_is_printed_and_stops_the_solver(capsys):
    callback = Failing(lambda *args: True, fail_at=2, error=ValueError("no more iterations"))
    problem = problems.make_hs071(intermediate_callback=callback, ipopt_options=problems.QUIET)
    x0 = problems.x0()
    x, _, status = problem.solve(x0)
    assert x is x0
    assert status == USER_REQUESTED_STOP
    assert callback.calls == 2
    err = capsys.readouterr().err
    assert "Traceback" in err and "ValueError: no more iterations" in err
    callback.reset()
    assert_solves_hs071(problem)


# --- exceptions from evaluation callbacks ------------------------------------


class Boom(Exception):
    pass


EVALUATIONS = {
    "eval_f": problems.eval_f,
    "eval_grad_f": problems.eval_grad_f,
    "eval_g": problems.eval_g,
    "eval_jac_g": problems.eval_jac_g,
    "eval_h": problems.eval_h,
}


@pytest.mark.parametrize("fail_at", [1, 3], ids=["first call", "third call"])
@pytest.mark.parametrize("name", EVALUATIONS)
def test_evaluation_callback_raising_ends_the_run_and_solve_raises_it(name, fail_at):
    error = Boom(name)
    iterations = Iterations()
    failing = Failing(EVALUATIONS[name], fail_at=fail_at, error=error)
    failing.on_fail = lambda: iterations.seen.copy()
    problem = problems.make_hs071(
        **{name: failing}, intermediate_callback=iterations, ipopt_options=problems.QUIET
    )
    with pytest.raises(Boom) as raised:
        problem.solve(problems.x0())
    assert raised.value is error
    # Neither the failed callback nor any other Python callback ran again:
    # the run ended before the next iteration.
    assert failing.calls == fail_at
    assert iterations.seen == failing.at_failure
    failing.reset()
    iterations.seen.clear()
    assert_solves_hs071(problem)
    assert iterations.seen[0] == 0


@pytest.mark.parametrize("name", ["eval_f", "eval_jac_g", "intermediate_callback"])
def test_keyboard_interrupt_in_a_python_callback_propagates(name, capsys):
    function = EVALUATIONS.get(name, lambda *args: True)
    failing = Failing(function, fail_at=2, error=KeyboardInterrupt())
    problem = problems.make_hs071(**{name: failing}, ipopt_options=problems.QUIET)
    with pytest.raises(KeyboardInterrupt):
        problem.solve(problems.x0())
    assert failing.calls == 2
    # Not treated as the callback's own error: nothing printed.
    assert "Traceback" not in capsys.readouterr().err
    failing.reset()
    assert_solves_hs071(problem)


def test_signal_stops_a_solve_with_compiled_callbacks(hs071_library):
    # No Python code runs during this solve, so only the solver's per
    # iteration check can notice the signal. A slow objective (50 ms a call)
    # makes the full run take about half a second; the timer fires after
    # 0.12 s.
    reference = hs071_library.callbacks()
    problems.make_hs071(**reference.kwargs("capsule"), ipopt_options=problems.QUIET).solve(
        problems.x0()
    )
    full_run_calls = reference.calls("f")

    slow = hs071_library.callbacks(delay_us=50_000)
    problem = problems.make_hs071(**slow.kwargs("llc"), ipopt_options=problems.QUIET)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.12)
        with pytest.raises(KeyboardInterrupt):
            problem.solve(problems.x0())
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert 0 < slow.calls("f") < full_run_calls
    slow.data["f"].delay_us = 0
    assert_solves_hs071(problem)


# --- arrays kept beyond the call ---------------------------------------------


def test_kept_argument_arrays_keep_the_values_of_their_call():
    xs, x_values = [], []
    grads, grad_values = [], []
    lagranges, lagrange_values = [], []

    def eval_f(x):
        xs.append(x)
        x_values.append(x.copy())
        return problems.eval_f(x)

    def eval_grad_f(x, out):
        problems.eval_grad_f(x, out)
        grads.append(out)
        grad_values.append(out.copy())

    def eval_h(x, lagrange, obj_factor, out):
        problems.eval_h(x, lagrange, obj_factor, out)
        lagranges.append(lagrange)
        lagrange_values.append(lagrange.copy())

    problem = problems.make_hs071(
        eval_f=eval_f, eval_grad_f=eval_grad_f, eval_h=eval_h, ipopt_options=problems.QUIET
    )
    assert_solves_hs071(problem)

    def check():
        for kept, values in ((xs, x_values), (grads, grad_values), (lagranges, lagrange_values)):
            assert len(kept) > 2
            for array, expected in zip(kept, values, strict=True):
                np.testing.assert_array_equal(array, expected)

    # The solver evaluates at many different points, so views into its
    # buffers would by now show later values.
    assert len({tuple(v) for v in x_values}) > 2
    check()
    del problem
    gc.collect()
    check()
    # Each kept array has memory of its own.
    assert not any(np.shares_memory(a, b) for a, b in itertools.pairwise(xs))


# How a callback changes an argument array before keeping it: given other
# memory (which must then be left alone) or a new shape over the same memory
# (which must be detached with all of it).
REPLACED = {
    "__setstate__, own memory": "a.__setstate__(np.arange(float(len(a))).__reduce__()[2])",
    "__setstate__, a new base": (
        "a.__setstate__((1, a.shape, a.dtype, False, np.arange(float(len(a))).tobytes()))"
    ),
    "reshaped": "a.shape = (2, 2)",
    "strides reversed": "a.shape = (2, 2); a.strides = (8, 16)",
    "made read-only": "a.flags.writeable = False",
}


@pytest.mark.parametrize("change", REPLACED.values(), ids=REPLACED.keys())
def test_kept_arrays_changed_by_the_callback_keep_what_they_showed(change):
    # In a child: detaching an array with other memory freed it twice.
    result = run_child(
        f"""
        import gc
        import numpy as np
        import problems
        kept = []

        def eval_grad_f(x, out):
            problems.eval_grad_f(x, out)
            for a in (x, out):
                {change}
                kept.append((a, a.copy()))

        p = problems.make_hs071(eval_grad_f=eval_grad_f, ipopt_options=problems.QUIET)
        x, f, status = p.solve(problems.x0())
        del p
        gc.collect()
        assert status == 0, status
        assert len(kept) > 4
        for array, expected in kept:
            assert np.array_equal(array, expected)
        print("KEPT", len(kept))
        """
    )
    assert result.returncode == 0 and "KEPT" in result.stdout, result.stdout


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves the address space"
)
def test_a_kept_array_that_cannot_be_copied_is_emptied():
    # The address space is capped just above what the child uses before the
    # callback returns, so the copy that detaches x cannot be made: x used
    # to go on viewing the solver's buffer after it was freed.
    result = run_child(
        """
        import ctypes, resource
        import numpy as np
        import vornel

        # Large blocks always mapped anew (M_MMAP_THRESHOLD fixed), never
        # taken from memory that earlier temporaries freed.
        ctypes.CDLL(None).mallopt(-3, 2**17)
        n = 500_000
        kept = []

        def eval_f(x):
            value = float(np.sum((x - 1.0) ** 2))
            if not kept:
                kept.append(x)
                with open("/proc/self/statm") as statm:
                    used = int(statm.read().split()[0]) * resource.getpagesize()
                limit = used + 2 * 2**20
                resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
            return value

        def eval_grad_f(x, out):
            out[:] = 2.0 * (x - 1.0)

        p = vornel.Problem(n=n, x_l=np.zeros(n), x_u=np.full(n, 2.0), m=0, g_l=np.zeros(0),
                           g_u=np.zeros(0), sparsity_indices_h=None, eval_f=eval_f,
                           eval_grad_f=eval_grad_f,
                           ipopt_options={"print_level": 0, "sb": "yes"})
        try:
            p.solve(np.zeros(n))
            print("NO ERROR")
        except MemoryError:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
            del p
            junk = [np.full(n, 7.0) for _ in range(20)]
            a = kept[0]
            print("KEPT", a.size, float(a.sum()), a.flags.writeable)
        """
    )
    assert result.returncode == 0, result.stdout
    assert "KEPT 0 0.0 False" in result.stdout, result.stdout


RETURNS_OUT = {
    "a ufunc with out=": lambda x, out: np.multiply(x, 2.0, out=out),
    "out itself": lambda x, out: (np.multiply(x, 2.0, out=out), out)[1],
    "a tuple holding out": lambda x, out: (np.multiply(x, 2.0, out=out), out),
}


@pytest.mark.parametrize("eval_grad_f", RETURNS_OUT.values(), ids=RETURNS_OUT.keys())
@pytest.mark.filterwarnings("ignore:eval_grad_f returned a value \\(tuple\\):RuntimeWarning")
def test_an_out_array_returned_by_the_callback_is_not_copied(eval_grad_f):
    n = 20_000

    def eval_g(x, out):
        pass

    problem = vornel.Problem(
        n=n,
        x_l=np.full(n, -10.0),
        x_u=np.full(n, 10.0),
        m=0,
        g_l=np.zeros(0),
        g_u=np.zeros(0),
        sparsity_indices_jac_g=([], []),
        sparsity_indices_h=None,
        eval_f=lambda x: float(np.dot(x, x)),
        eval_grad_f=eval_grad_f,
        eval_g=eval_g,
        eval_jac_g=eval_g,
        ipopt_options={**problems.QUIET, "max_iter": 3},
    )
    x = np.ones(n)
    tracemalloc.start()
    try:
        problem.solve(x)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert problem.stats["n_eval_grad_f"] > 1
    # One copy of the gradient is 8 n bytes.
    assert peak < 2 * n


# --- re-entrant solve --------------------------------------------------------


def test_solve_from_inside_a_callback_raises_and_the_outer_solve_goes_on():
    errors = []
    problem = None

    def eval_f(x):
        if not errors:
            inner_x0 = problems.x0()
            try:
                problem.solve(inner_x0)
            except RuntimeError as error:
                errors.append((error, inner_x0.copy()))
        return problems.eval_f(x)

    problem = problems.make_hs071(eval_f=eval_f, ipopt_options=problems.QUIET)
    assert_solves_hs071(problem)
    ((error, inner_x0),) = errors
    assert "being solved" in str(error)
    # The refused solve did not touch its own argument either.
    np.testing.assert_array_equal(inner_x0, problems.x0())


def test_uncaught_re_entrant_solve_fails_the_outer_one_and_leaves_the_problem_usable():
    calls = []
    problem = None

    def eval_grad_f(x, out):
        calls.append(x)
        if len(calls) == 1:
            problem.solve(problems.x0())
        problems.eval_grad_f(x, out)

    problem = problems.make_hs071(eval_grad_f=eval_grad_f, ipopt_options=problems.QUIET)
    with pytest.raises(RuntimeError, match="being solved"):
        problem.solve(problems.x0())
    assert len(calls) == 1
    assert_solves_hs071(problem)


# ------------------------------------------ the current iterate inside the callback


def test_current_iterate_inside_the_per_iteration_callback_only():
    seen = []

    def callback(*args):
        seen.append(problem.current_iterate())
        with pytest.raises(RuntimeError, match="not available while solve"):
            _ = problem.result
        return True

    # x[3] fixed by its bounds: the iterate is still given in the caller's order.
    problem = problems.make_hs071(
        x_l=np.array([1.0, 1.0, 1.0, 1.5]),
        x_u=np.array([5.0, 5.0, 5.0, 1.5]),
        eval_h=problems.eval_h,
        intermediate_callback=callback,
        ipopt_options=problems.QUIET,
    )
    x = problems.x0()
    x[3] = 1.5
    problem.solve(x)
    assert len(seen) == problem.stats["n_iter"] + 1
    last = seen[-1]
    # The result is projected into the original bounds; the iterate is not.
    np.testing.assert_allclose(last.x, problem.result.x, rtol=1e-7)
    assert all(it.x[3] == 1.5 for it in seen)
    g = np.empty(2)
    problems.eval_g(seen[0].x, g)
    np.testing.assert_allclose(seen[0].g, g, rtol=1e-12)
    violation = np.maximum(0.0, np.array([25.0, 40.0]) - g) + np.maximum(0.0, g - [2e19, 40.0])
    np.testing.assert_allclose(seen[0].g_violation, violation, rtol=1e-9, atol=1e-12)
    assert last.constraint_violation < 1e-6 < seen[0].constraint_violation
    with pytest.raises(RuntimeError, match="only while intermediate_callback runs"):
        problem.current_iterate()
    with pytest.raises(ValueError):
        last.x[0] = 0.0


# --- the contract at solve time ----------------------------------------------

OUT_LENGTHS = {"eval_grad_f": 4, "eval_g": 2, "eval_jac_g": 8, "eval_h": 10}


def contract_fault(routine, fault, first_call_only=False):
    """The routine with a fault of the out contract on every call (or on its
    first call only)."""
    normal = EVALUATIONS[routine]
    calls = []

    def callback(*args):
        calls.append(True)
        out = args[-1]
        if first_call_only and len(calls) > 1:
            return normal(*args)
        if fault == "nothing":
            return None
        scratch = np.empty_like(out)
        normal(*args[:-1], scratch)
        if fault == "last entry unwritten":
            out[:-1] = scratch[:-1]
            return None
        out[:] = scratch
        if fault == "nan written":
            out[0] = np.nan
            return None
        return {
            "returns a copy": out.copy(),
            "returns out": out,
            "returns out[:]": out[:],
            "returns out.reshape": out.reshape(-1, 1),
        }[fault]

    return callback


def runtime_warnings(problem, solves=1):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(solves):
            problem.solve(problems.x0())
    return [str(w.message) for w in caught if w.category is RuntimeWarning]


def contract_problem(routine, callback):
    # A broken routine may keep the solver from converging: a few iterations
    # make the point.
    options = {**problems.QUIET, "max_iter": 5}
    return problems.make_hs071(**{routine: callback}, ipopt_options=options)


@pytest.mark.parametrize("fault", ["nothing", "last entry unwritten", "returns a copy"])
@pytest.mark.parametrize("routine", OUT_LENGTHS)
def test_first_call_faults_are_warned_about_once_per_problem(routine, fault):
    length = OUT_LENGTHS[routine]
    expected = {
        "nothing": f"{routine} wrote nothing into its output array ({length} entries) on its "
        "first call in this solve; write the results into it (out[:] = ...): rebinding the "
        "name out does nothing",
        "last entry unwritten": f"{routine} left 1 of the {length} entries of its output "
        f"array unwritten on its first call in this solve, at {length - 1}; write every "
        "entry (out[:] = ...)",
        "returns a copy": f"{routine} returned a value (ndarray), which is ignored; write the "
        "results into out instead (out[:] = ...)",
    }[fault]
    callback = contract_fault(routine, fault)
    assert runtime_warnings(contract_problem(routine, callback), solves=2) == [expected]
    assert runtime_warnings(contract_problem(routine, callback)) == [expected]


@pytest.mark.parametrize(
    "fault", ["returns out", "returns out[:]", "returns out.reshape", "nan written"]
)
@pytest.mark.parametrize("routine", OUT_LENGTHS)
def test_returning_out_or_writing_nan_is_no_fault_of_the_contract(routine, fault):
    assert runtime_warnings(contract_problem(routine, contract_fault(routine, fault))) == []


def test_a_returned_value_is_ignored_and_the_solve_goes_on():
    problem = problems.make_hs071(
        eval_jac_g=contract_fault("eval_jac_g", "returns a copy"), ipopt_options=problems.QUIET
    )
    with pytest.warns(RuntimeWarning, match="^eval_jac_g returned a value"):
        assert_solves_hs071(problem)


def test_an_entry_left_unwritten_is_left_as_the_solver_had_it():
    # The check's marker does not reach the solver: as a NaN in the Jacobian
    # it would fail the evaluation.
    callback = contract_fault("eval_jac_g", "last entry unwritten", first_call_only=True)
    problem = problems.make_hs071(eval_jac_g=callback, ipopt_options=problems.QUIET)
    with pytest.warns(RuntimeWarning, match="^eval_jac_g left 1 of the 8 entries"):
        problem.solve(problems.x0())
    assert problem.result.evaluation_errors == 0


def test_a_warning_turned_into_an_error_is_raised_from_solve():
    problem = contract_problem("eval_g", contract_fault("eval_g", "nothing"))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="^eval_g wrote nothing"):
            problem.solve(problems.x0())


# ------------------------------------------------------ the check of the contract


def _hs071_check(**overrides):
    args = dict(eval_h=problems.eval_h)
    args.update(overrides)
    return problems.make_hs071(**args).check(problems.x0())


def _returns_gradient(x, out):
    return np.ones(4)


def _rebinds_out(x, out):
    out = np.ones(4)  # noqa: F841


def _partial_gradient(x, out):
    problems.eval_grad_f(x, out)
    out[2] = np.nan


def _jacobian_reversed(x, out):
    problems.eval_jac_g(x, out)
    out[:] = out[::-1].copy()


CHECK_FAULTS = {
    "gradient-returned": (
        dict(eval_grad_f=_returns_gradient),
        [("eval_grad_f", "returned a value"), ("eval_grad_f", "wrote nothing")],
    ),
    "out-rebound": (dict(eval_grad_f=_rebinds_out), [("eval_grad_f", "wrote nothing")]),
    "partly-written": (
        dict(eval_grad_f=_partial_gradient),
        [("eval_grad_f", "left entries of its output unwritten at 2")],
    ),
    "hessian-both-triangles": (
        dict(sparsity_indices_h=(problems.HESS[0] + [0], problems.HESS[1] + [1])),
        [("sparsity_indices_h", "both triangles"), ("sparsity_indices_h", "above the diagonal")],
    ),
    "jacobian-duplicate": (
        dict(sparsity_indices_jac_g=(problems.JAC_G[0] + [1], problems.JAC_G[1] + [3])),
        [("sparsity_indices_jac_g", "duplicate entries (their values are added) at 8")],
    ),
    "crossed-bounds": (
        dict(x_l=np.array([1.0, 1.0, 1.0, 6.0]), g_l=np.array([25.0, 41.0])),
        [("x_l, x_u", "lower bound above upper bound at 3"), ("g_l, g_u", "at 1")],
    ),
}


@pytest.mark.parametrize("overrides, expected", CHECK_FAULTS.values(), ids=CHECK_FAULTS.keys())
def test_check_names_each_broken_rule(overrides, expected):
    if "sparsity_indices_jac_g" in overrides:
        overrides["eval_jac_g"] = lambda x, out: problems.eval_jac_g(x, out[:8])
    report = _hs071_check(**overrides)
    assert not report.ok
    text = [str(finding) for finding in report.findings]
    for where, what in expected:
        assert any(t.startswith(where) and what in t for t in text), (where, what, text)
    assert str(report).startswith("check: ")


def test_check_finds_derivatives_in_the_wrong_order_with_their_positions():
    report = _hs071_check(eval_jac_g=_jacobian_reversed)
    assert not report.findings
    first = report.mismatches[0]
    assert (first.callback, first.row, first.column, first.index) == ("eval_jac_g", 0, 0, 0)
    assert first.value == 2.0  # 2 x[3], the last value, delivered first
    assert first.estimate == pytest.approx(25.0, rel=1e-6)
    assert "eval_jac_g (0, 0), pattern index 0" in str(report)


def test_check_finds_a_hessian_entry_missing_from_the_pattern():
    def h(x, lagrange, obj_factor, out):
        problems.eval_h(x, lagrange, obj_factor, out)
        out[3] = 0.0  # the (2, 0) entry

    report = _hs071_check(eval_h=h)
    assert [(m.callback, m.row, m.column, m.index) for m in report.mismatches] == [
        ("eval_h", 2, 0, 3)
    ]


@pytest.mark.parametrize("kind", ["python", "capsule", "llc"])
def test_check_of_a_correct_problem_is_clean_for_every_kind(kind, c_callbacks):
    if kind == "python":
        problem = problems.make_hs071(eval_h=problems.eval_h)
    else:
        problem = problems.make_hs071(**c_callbacks.kwargs(kind))
    report = problem.check(problems.x0())
    assert report.ok, str(report)
    assert problem.stats["n_iter"] == -1  # the solver did not run
    if kind != "python":
        assert c_callbacks.calls("h") > 0 and c_callbacks.calls("intermediate_callback") == 0


def test_check_sees_an_unwritten_output_of_a_compiled_callback(c_callbacks):
    # One pattern entry more than the C function expects: it refuses, writing nothing.
    jac_g = (problems.JAC_G[0] + [1], problems.JAC_G[1] + [2])
    problem = problems.make_hs071(**c_callbacks.kwargs("llc"), sparsity_indices_jac_g=jac_g)
    text = [str(finding) for finding in problem.check(problems.x0()).findings]
    assert "eval_jac_g: wrote nothing into its output array" in text
    assert any(t.startswith("eval_jac_g: reported failure") for t in text)
