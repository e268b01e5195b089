"""Problem.solve: its arguments, the arrays it writes into and what it returns."""

import ctypes
import threading

import numpy as np
import pytest
from child import run_child

import problems
import vornel
from problems import F_OPT, QUIET, X_OPT, make_hs071, x0

FRESH_STATS = dict.fromkeys(
    [
        "n_eval_f",
        "n_eval_grad_f",
        "n_eval_g_eq",
        "n_eval_jac_g_eq",
        "n_eval_g_ineq",
        "n_eval_jac_g_ineq",
        "n_eval_h",
        "n_iter",
    ],
    -1,
)

WRITABLE = "must be a C-contiguous, aligned, writeable numpy.ndarray of native float64"


@pytest.fixture
def problem():
    return make_hs071(ipopt_options=QUIET)


def parabola(**options):
    """min (x - 2)^2 over 0 <= x <= 5, without constraints."""
    return vornel.Problem(
        n=1,
        x_l=np.zeros(1),
        x_u=np.full(1, 5.0),
        m=0,
        g_l=np.empty(0),
        g_u=np.empty(0),
        sparsity_indices_jac_g=([], []),
        sparsity_indices_h=([0], [0]),
        eval_f=lambda x: (x[0] - 2.0) ** 2,
        eval_grad_f=lambda x, out: out.__setitem__(0, 2.0 * (x[0] - 2.0)),
        eval_g=lambda x, out: None,
        eval_jac_g=lambda x, out: None,
        eval_h=lambda x, lagrange, obj_factor, out: out.__setitem__(0, 2.0 * obj_factor),
        ipopt_options=dict(QUIET, **options),
    )


# ---------------------------------------------------------------- results


def test_returns_x0_itself_holding_the_solution(problem):
    x = x0()
    result = problem.solve(x)
    assert type(result) is tuple and len(result) == 3
    assert result[0] is x
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)
    assert type(result[1]) is float and result[1] == pytest.approx(F_OPT, rel=1e-7)
    assert type(result[2]) is int and result[2] == 0


def test_x0_may_be_given_by_keyword(problem):
    x = x0()
    assert problem.solve(x0=x)[0] is x
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)


class Point(np.ndarray):
    pass


def test_x0_may_be_an_ndarray_subclass(problem):
    x = x0().view(Point)
    result = problem.solve(x)
    assert result[0] is x and type(result[0]) is Point
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)


def test_all_multipliers_receive_the_final_values(problem):
    x, mult_g, mult_x_L, mult_x_U = x0(), np.zeros(2), np.zeros(4), np.zeros(4)
    assert problem.solve(x, mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U)[2] == 0
    # x[0] sits at its lower bound; the equality constraint and the active
    # inequality carry non-zero multipliers.
    assert mult_x_L[0] > 0.5
    assert np.all(np.abs(mult_x_U) < 1e-6)
    assert np.all(np.abs(mult_g) > 0.1)


def test_only_mult_x_L_given_receives_the_same_values(problem):
    full = np.zeros(4)
    problem.solve(x0(), mult_g=np.zeros(2), mult_x_L=full, mult_x_U=np.zeros(4))
    alone = np.zeros(4)
    x = x0()
    assert problem.solve(x, mult_x_L=alone)[2] == 0
    np.testing.assert_array_equal(alone, full)
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)


def test_warm_start_with_only_mult_x_L_fails_inside_the_solver(problem):
    # The solver asks for both bound multipliers and only one can be given:
    # a failed run, reported through the status, not an exception.
    problem.set(warm_start_init_point="yes")
    mult_x_L = np.full(4, 7.0)
    x = x0()
    status = problem.solve(x, mult_x_L=mult_x_L)[2]
    assert status < 0
    np.testing.assert_array_equal(mult_x_L, 7.0)


def test_multipliers_of_one_call_are_not_used_by_the_next(problem):
    problem.solve(x0(), mult_x_L=np.zeros(4), mult_x_U=np.zeros(4))
    problem.set(warm_start_init_point="yes")
    # With the earlier arrays forgotten, the warm start has nothing to read.
    assert problem.solve(x0())[2] < 0


def test_without_constraints_mult_g_is_empty():
    problem = parabola()
    x, mult_g, mult_x_L, mult_x_U = np.full(1, 4.0), np.empty(0), np.zeros(1), np.zeros(1)
    result = problem.solve(x, mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U)
    assert result[2] == 0
    assert x[0] == pytest.approx(2.0, abs=1e-7)
    assert result[1] == pytest.approx(0.0, abs=1e-12)


def test_solving_again_starts_from_the_given_point(problem):
    x = x0()
    problem.solve(x)
    first = problem.stats["n_iter"]
    problem.solve(x)  # already at the solution
    assert problem.stats["n_iter"] < first
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)


# ---------------------------------------------------------------- refused arguments


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.solve(),
        lambda p: p.solve(x=x0()),
        lambda p: p.solve(None),
        lambda p: p.solve([1.0, 5.0, 5.0, 1.0]),
        lambda p: p.solve(x0(), np.zeros(2)),
        lambda p: p.solve(x0(), mult_g=None),
        lambda p: p.solve(x0(), mult_x_L=None),
        lambda p: p.solve(x0(), mult_x_U=[0.0] * 4),
        lambda p: p.solve(x0(), mult_x=np.zeros(4)),
        lambda p: p.solve(x0(), x0=x0()),
    ],
    ids=[
        "nothing",
        "keyword-x",
        "None",
        "list",
        "multiplier-by-position",
        "mult_g-None",
        "mult_x_L-None",
        "mult_x_U-list",
        "unknown-keyword",
        "x0-twice",
    ],
)
def test_parser_refuses_with_type_error(problem, call):
    with pytest.raises(TypeError):
        call(problem)
    assert problem.stats == FRESH_STATS


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(x0=np.ones((4, 1))), "x0 has wrong number of dimensions. Expected 1, got 2"),
        (dict(x0=np.array(1.0)), "x0 has wrong number of dimensions. Expected 1, got 0"),
        (dict(x0=np.ones(5)), "x0 has wrong shape. Expected (4,), found (5,)"),
        (dict(x0=np.ones(0)), "x0 has wrong shape. Expected (4,), found (0,)"),
        (dict(x0=x0(), mult_g=np.zeros(4)), "mult_g has wrong shape. Expected (2,), found (4,)"),
        (
            dict(x0=x0(), mult_g=np.zeros((2, 1))),
            "mult_g has wrong number of dimensions. Expected 1, got 2",
        ),
        (
            dict(x0=x0(), mult_x_L=np.zeros(2)),
            "mult_x_L has wrong shape. Expected (4,), found (2,)",
        ),
        (
            dict(x0=x0(), mult_x_U=np.zeros((1, 4))),
            "mult_x_U has wrong number of dimensions. Expected 1, got 2",
        ),
    ],
    ids=[
        "x0-2d",
        "x0-0d",
        "x0-long",
        "x0-empty",
        "mult_g-long",
        "mult_g-2d",
        "mult_x_L-short",
        "mult_x_U-2d",
    ],
)
def test_shapes_are_checked(problem, kwargs, message):
    with pytest.raises(ValueError) as info:
        problem.solve(**kwargs)
    assert str(info.value) == message


def test_a_bad_last_multiplier_stops_everything(problem):
    x, mult_g, mult_x_L = x0(), np.full(2, 3.0), np.full(4, 3.0)
    mult_x_U = np.full(5, 3.0)
    with pytest.raises(ValueError) as info:
        problem.solve(x, mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U)
    assert str(info.value) == "mult_x_U has wrong shape. Expected (4,), found (5,)"
    np.testing.assert_array_equal(x, x0())
    for array in (mult_g, mult_x_L, mult_x_U):
        np.testing.assert_array_equal(array, 3.0)
    assert problem.stats == FRESH_STATS


def _unaligned(n):
    array = np.frombuffer(bytearray(8 * n + 1), dtype=np.float64, offset=1, count=n)
    array[:] = 1.0
    return array


def _read_only(n):
    array = np.ones(n)
    array.flags.writeable = False
    return array


LAYOUTS = {
    "strided": lambda n: np.ones(2 * n)[::2],
    "reversed": lambda n: np.ones(n)[::-1],
    "read-only": _read_only,
    "float32": lambda n: np.ones(n, dtype=np.float32),
    "int64": lambda n: np.ones(n, dtype=np.int64),
    "byte-swapped": lambda n: np.ones(n, dtype=">f8" if np.little_endian else "<f8"),
    "unaligned": _unaligned,
    "object": lambda n: np.ones(n, dtype=object),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("name, size", [("x0", 4), ("mult_g", 2), ("mult_x_L", 4), ("mult_x_U", 4)])
def test_arrays_written_in_place_must_be_plain_float64(problem, name, size, layout):
    kwargs = dict(x0=x0(), mult_g=np.zeros(2), mult_x_L=np.zeros(4), mult_x_U=np.zeros(4))
    bad = layout(size)
    kwargs[name] = bad
    before = bad.copy()
    with pytest.raises(TypeError) as info:
        problem.solve(**kwargs)
    assert str(info.value).startswith(f"{name} {WRITABLE}, not of dtype ")
    assert problem.stats == FRESH_STATS
    np.testing.assert_array_equal(bad, before)


def test_shape_is_judged_before_layout(problem):
    with pytest.raises(ValueError, match="^x0 has wrong shape"):
        problem.solve(np.ones(5, dtype=np.float32))


# ---------------------------------------------------------------- re-entry


def test_solve_from_inside_a_callback_is_refused_and_the_run_goes_on():
    refused = []
    problem = None

    def objective(x):
        if not refused:
            try:
                problem.solve(x0())
            except RuntimeError as error:
                refused.append(str(error))
        return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]

    problem = make_hs071(eval_f=objective, ipopt_options=QUIET)
    x = x0()
    _, f, status = problem.solve(x)
    assert refused and "being solved" in refused[0]
    assert status == 0
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)
    # The guard is lifted once the run is over.
    assert problem.solve(x0())[2] == 0


# ------------------------------------------------- the record of the latest solve


def test_status_names_the_linked_ipopts_codes():
    from vornel import _core

    linked = dict(_core._return_statuses())
    assert {name: vornel.Status[name].value for name in linked} == linked
    # Codes of newer Ipopt releases only; none of them may clash with a linked one.
    assert set(vornel.Status.__members__) - set(linked) <= {"Maximum_WallTime_Exceeded"}
    assert len(set(int(s) for s in vornel.Status)) == len(vornel.Status)
    for status in vornel.Status:
        assert status.explanation and "\n" not in status.explanation


def test_result_records_the_latest_solve_whether_or_not_arrays_were_passed(problem):
    with pytest.raises(RuntimeError, match="not been solved yet"):
        _ = problem.result
    lam, zl, zu = np.zeros(2), np.zeros(4), np.zeros(4)
    x, obj, status = problem.solve(x0(), mult_g=lam, mult_x_L=zl, mult_x_U=zu)
    with_arrays = problem.result
    x, obj, status = problem.solve(x0())
    r = problem.result
    assert r.status is vornel.Status(status) is vornel.Status.Solve_Succeeded
    assert r.success and "Optimal" in r.message
    np.testing.assert_array_equal(r.x, x)
    assert r.objective == obj
    g = np.empty(2)
    problems_eval_g(x, g)
    np.testing.assert_allclose(r.g, g, rtol=1e-7)
    for name, given in (("mult_g", lam), ("mult_x_L", zl), ("mult_x_U", zu)):
        np.testing.assert_array_equal(getattr(with_arrays, name), given)
        np.testing.assert_allclose(getattr(r, name), given, rtol=1e-6, atol=1e-9)
    assert dict(r.evaluations) == problem.stats and r.iterations == problem.stats["n_iter"]
    assert 0 <= r.primal_infeasibility < 1e-8 and 0 <= r.dual_infeasibility < 1e-8
    assert 0 <= r.complementarity < 1e-8
    assert r.wall_time > 0 and r.cpu_time >= 0
    # A copy taken at the end of the solve, read-only.
    x[:] = 0
    assert r.x[0] != 0 and problem.result.x[0] != 0
    with pytest.raises(ValueError):
        r.x[0] = 1
    with pytest.raises(AttributeError):
        r.objective = 0.0  # type: ignore[misc]
    with pytest.raises(TypeError):
        r.evaluations["n_iter"] = 0  # type: ignore[index]
    assert "Solve_Succeeded" in str(r) and "objective" in repr(r)


def test_result_of_a_solve_that_never_started_iterating():
    # Crossed bounds: the solver stops before its first iterate.
    problem = make_hs071(x_l=np.array([1.0, 1.0, 1.0, 6.0]), ipopt_options=QUIET)
    x, _, status = problem.solve(x0())
    r = problem.result
    assert r.status == status < 0 and not r.success
    np.testing.assert_array_equal(r.x, x0())
    assert np.isnan(r.objective) and np.isnan(r.g).all() and np.isnan(r.mult_x_L).all()
    assert r.iterations == -1 and set(r.evaluations.values()) == {-1}


def test_result_of_an_early_stop():
    problem = make_hs071(ipopt_options=dict(QUIET, max_iter=2))
    _, obj, status = problem.solve(x0())
    r = problem.result
    assert r.status is vornel.Status.Maximum_Iterations_Exceeded and not r.success
    assert r.iterations == 2 and r.objective == obj
    assert r.primal_infeasibility > 1e-8 or r.dual_infeasibility > 1e-8


def problems_eval_g(x, out):
    from problems import eval_g

    eval_g(x, out)


def test_another_thread_solving_the_problem_is_named_as_such():
    started = threading.Event()
    release = threading.Event()

    def eval_f(x):
        started.set()
        release.wait(10)  # releases the interpreter lock
        return problems.eval_f(x)

    problem = make_hs071(eval_f=eval_f, ipopt_options=QUIET)
    worker = threading.Thread(target=problem.solve, args=(x0(),))
    worker.start()
    try:
        assert started.wait(10)
        with pytest.raises(RuntimeError, match="another thread is solving") as info:
            problem.solve(x0())
        assert "callbacks" not in str(info.value)
    finally:
        release.set()
        worker.join()


# ---------------------------------------------------------------- shared memory


def _overlapping():
    # Each case: the solve's keyword arguments and the two names expected.
    a, buf = np.zeros(4), np.zeros(8)
    return {
        "one array for both bound multipliers": (
            {"mult_x_L": a, "mult_x_U": a},
            "mult_x_L",
            "mult_x_U",
        ),
        "x0 as a multiplier": ({"x0": a, "mult_x_U": a}, "x0", "mult_x_U"),
        "partly overlapping views": (
            {"mult_x_L": buf[:4], "mult_x_U": buf[3:7]},
            "mult_x_L",
            "mult_x_U",
        ),
        "mult_g inside x0": ({"x0": buf[:4], "mult_g": buf[2:4]}, "x0", "mult_g"),
        "same memory, other objects": (
            {"mult_g": buf[4:6], "mult_x_U": buf[2:6]},
            "mult_g",
            "mult_x_U",
        ),
    }


@pytest.mark.parametrize("case", _overlapping().values(), ids=_overlapping().keys())
def test_result_arrays_sharing_memory_are_refused_before_anything_runs(problem, case):
    kwargs, first, second = case
    kwargs = {"x0": x0(), **kwargs}
    before = {name: array.copy() for name, array in kwargs.items()}
    with pytest.raises(ValueError, match=f"^{first} and {second} share memory"):
        problem.solve(**kwargs)
    for name, array in kwargs.items():
        np.testing.assert_array_equal(array, before[name])
    assert problem.stats == FRESH_STATS


def test_adjacent_views_of_one_buffer_do_not_share_memory(problem):
    buf = np.zeros(10)
    x = buf[:4]
    x[:] = x0()
    status = problem.solve(x, mult_g=buf[4:6], mult_x_L=buf[6:10])[2]
    assert status == 0
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)


# ------------------------------------------------- arrays changed while solving

# How a callback (or another thread) changes a bound array during the run;
# `a` is the array, `keep` a list that keeps whatever must stay alive.
CHANGES = {
    "grown by resize": "a.resize(4000, refcheck=False)",
    "shrunk by resize": "a.resize(1, refcheck=False)",
    "__setstate__": "a.__setstate__(np.arange(5.0).__reduce__()[2])",
    "made read-only": "a.flags.writeable = False",
    "base resized": "keep[0].resize(4000, refcheck=False)",
    "ctypes buffer resized": "ctypes.resize(keep[1], 32000)",
    "reshaped": "a.shape = (len(a), 1)",
    "from another thread": "T",
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_an_array_changed_during_the_solve_receives_nothing(change):
    # In a child: before the check, the results went to freed memory.
    result = run_child(
        f"""
        import ctypes, threading
        import numpy as np
        import problems
        change = {change!r}

        def solve(name):
            keep = []
            base = np.zeros(8)
            keep.append(base)
            arrays = {{"x0": problems.x0(), "mult_g": np.zeros(2), "mult_x_L": np.zeros(4),
                      "mult_x_U": np.zeros(4)}}
            # The changed array views a larger one, so that the base can move.
            size = len(arrays[name])
            arrays[name] = base[:size]
            arrays[name][:] = problems.x0()[:size] if name == "x0" else 0.0
            a = arrays[name]
            other = "mult_x_U" if name != "mult_x_U" else "mult_x_L"
            other_before = arrays[other].copy()
            # A base that resize can move only when it owns its data: the
            # other changes act on the array itself, which must own its data.
            if "ctypes" in change:
                # Memory that its ctypes owner moves, seen through a memoryview.
                keep.append((ctypes.c_double * size)(*a))
                arrays[name] = a = np.ctypeslib.as_array(keep[1])
            elif "keep[0]" not in change:
                arrays[name] = a = np.array(a)
            done = []

            def act():
                if change == "T":
                    threading.Thread(target=lambda: a.resize(4000, refcheck=False)).start()
                    import time; time.sleep(0.05)
                else:
                    exec(change, {{"np": np, "a": a, "keep": keep, "ctypes": ctypes}})

            def eval_grad_f(x, out):
                if not done:
                    done.append(1)
                    act()
                problems.eval_grad_f(x, out)

            p = problems.make_hs071(eval_grad_f=eval_grad_f, ipopt_options=problems.QUIET)
            try:
                p.solve(**arrays)
            except RuntimeError as e:
                ok = str(e).startswith(name + " was resized")
                print(name, "RAISED" if ok else "OTHER", e)
            else:
                print(name, "RETURNED")
            assert np.array_equal(arrays[other], other_before), "results written"
            del keep, base

        for name in ("x0", "mult_g", "mult_x_L", "mult_x_U"):
            solve(name)
        """
    )
    assert result.returncode == 0, result.stdout
    raised = [line.split()[0] for line in result.stdout.splitlines() if " RAISED " in line]
    assert raised == ["x0", "mult_g", "mult_x_L", "mult_x_U"], result.stdout


class _Interface:
    """Exports an array's memory through __array_interface__ alone."""

    def __init__(self, array):
        self.array = array
        self.__array_interface__ = array.__array_interface__


# Memory that the solver can check for moves (its exporter is asked again).
CHECKABLE_X0 = {
    "ctypes": lambda: np.ctypeslib.as_array((ctypes.c_double * 4)(*problems.X0)),
    "bytearray": lambda: np.frombuffer(bytearray(x0().tobytes()), dtype=np.float64),
    "memoryview slice": lambda: np.asarray(memoryview(np.r_[0.0, x0()])[1:]),
    "ndarray slice": lambda: np.r_[0.0, x0(), 0.0][1:5],
}


@pytest.mark.parametrize("make", CHECKABLE_X0.values(), ids=CHECKABLE_X0.keys())
def test_x0_over_memory_other_objects_export_is_solved_in_place(make):
    x = make()
    assert make_hs071(ipopt_options=QUIET).solve(x)[2] == 0
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)


def test_x0_over_memory_that_cannot_be_checked_for_moves_is_refused():
    x = np.asarray(_Interface(x0()))
    with pytest.raises(RuntimeError, match="^x0 views memory of a _Interface object, which"):
        make_hs071(ipopt_options=QUIET).solve(x)


def test_dropping_the_callers_references_during_the_solve_is_harmless():
    # Keyword arrays live in the caller's dict; a callback that empties it
    # leaves the solver the only holder of their memory.
    kwargs = {"mult_g": np.zeros(2), "mult_x_L": np.zeros(4), "mult_x_U": np.zeros(4)}

    def eval_grad_f(x, out):
        kwargs.clear()
        problems.eval_grad_f(x, out)

    problem = make_hs071(eval_grad_f=eval_grad_f, ipopt_options=QUIET)
    x = x0()
    assert problem.solve(x, **kwargs)[2] == 0
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)
