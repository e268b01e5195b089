"""Faults injected into HS071's callbacks, in every callback form, from the
k-th call on: each run ends in its documented outcome and the same problem
solves correctly afterwards. Exceptions raised by Python callbacks, stop
requests and interrupts are test_callbacks.py's."""

import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import problems
import vornel
from problems import F_OPT, QUIET, X_OPT, make_hs071, x0
from reliability import compiled
from reliability.faults import (
    INF,
    NAN,
    ROUTINES,
    PyFaults,
    returns,
    write_nothing,
)

# Ipopt's ApplicationReturnStatus values that the outcomes below name.
SOLVE_SUCCEEDED = 0
INVALID_NUMBER_DETECTED = -13

EVALUATIONS = ROUTINES[:5]
# Every routine is called at least 8 times by an undisturbed HS071 solve, so
# each of these calls is reached.
KS = (1, 2, 5)

needs_cc = pytest.mark.skipif(
    not compiled.available(), reason="no C compiler for compiled callbacks"
)
COMPILED_FORMS = [pytest.param(f, marks=needs_cc) for f in compiled.FORMS]


def assert_recovers(problem, reset):
    reset()
    x = x0()
    x_out, obj, status = problem.solve(x)
    assert status == SOLVE_SUCCEEDED
    np.testing.assert_allclose(x_out, X_OPT, rtol=1e-6)
    assert obj == pytest.approx(F_OPT, rel=1e-6)


@pytest.fixture
def py_problem():
    faults = PyFaults()
    problem = make_hs071(**faults.callbacks(), ipopt_options=QUIET)
    return problem, faults


@pytest.fixture(params=COMPILED_FORMS)
def c_problem(request):
    faults = compiled.Faults()
    problem = make_hs071(**compiled.callbacks(request.param, faults), ipopt_options=QUIET)
    # The C routines read the record through a raw pointer: it must outlive
    # the problem, which the fixture's scope guarantees.
    return problem, faults


def test_every_routine_reaches_the_largest_k(py_problem):
    problem, faults = py_problem
    problem.solve(x0())
    assert min(faults.calls.values()) >= max(KS)


# --- Python callbacks -------------------------------------------------------


# A later call than the first: the run is under way when the value is refused.
@pytest.mark.parametrize("k", (3, 5))
@pytest.mark.parametrize("value", [None, "1.0", b"1", [1.0], (), object(), 1j], ids=repr)
def test_objective_of_wrong_type(py_problem, value, k):
    problem, faults = py_problem
    faults.arm("eval_f", k, returns(value))
    with pytest.raises(RuntimeError, match="^Python function eval_f returns non-PyFloat$"):
        problem.solve(x0())
    assert faults.calls["eval_f"] == k
    assert_recovers(problem, faults.reset)


@pytest.mark.parametrize("routine", EVALUATIONS[1:])
@pytest.mark.parametrize("value", ["junk", object(), 1j, np.zeros(3), False], ids=repr)
def test_return_values_of_output_callbacks_are_ignored(py_problem, routine, value):
    problem, faults = py_problem

    def writes_then_returns(*args):
        getattr(problems, routine)(*args)
        return value

    faults.arm(routine, 1, writes_then_returns)
    name = type(value).__name__
    with pytest.warns(RuntimeWarning, match=rf"^{routine} returned a value \({name}\), which is"):
        assert_recovers(problem, lambda: None)


@pytest.mark.parametrize("k", (3, 5))
@pytest.mark.parametrize("value", [None, "yes", 1.5, 2**70, -(2**70), object(), [1]], ids=repr)
def test_intermediate_of_wrong_type_raises(py_problem, value, k):
    problem, faults = py_problem
    faults.arm("intermediate_callback", k, returns(value))
    with pytest.raises(
        RuntimeError, match="^Python function intermediate_callback returned non bool$"
    ):
        problem.solve(x0())
    assert faults.calls["intermediate_callback"] == k
    assert_recovers(problem, faults.reset)


@pytest.mark.parametrize("k", KS)
@pytest.mark.parametrize("routine", EVALUATIONS)
@pytest.mark.parametrize("value", [NAN, INF], ids=["nan", "inf"])
def test_python_non_finite_values_end_in_invalid_number(py_problem, routine, value, k):
    problem, faults = py_problem
    faults.arm(routine, k, value)
    _, _, status = problem.solve(x0())
    assert status == INVALID_NUMBER_DETECTED
    assert_recovers(problem, faults.reset)


@pytest.mark.parametrize("k", KS)
@pytest.mark.parametrize("routine", EVALUATIONS[1:])
def test_python_writing_nothing_raises_nothing(py_problem, routine, k):
    # The solver goes on with whatever its buffer held: any status may come
    # out, but no exception, and nothing sticks to the problem.
    # Only a first call is checked, and warned about.
    problem, faults = py_problem
    problem.set(max_iter=50)  # stale values may keep it from converging
    faults.arm(routine, k, write_nothing)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, _, status = problem.solve(x0())
    assert isinstance(status, int)
    warned = [str(w.message).split(" into ")[0] for w in caught]
    assert warned == ([f"{routine} wrote nothing"] if k == 1 else [])
    assert_recovers(problem, faults.reset)


def evaluation_error(routine, once):
    """Raises EvaluationError (a subclass of it, to show that subclasses
    count) at the armed call, and at every later one unless `once`."""

    class PointOutsideTheDomain(vornel.EvaluationError):
        pass

    fired = []

    def action(*args):
        if once and fired:
            return getattr(problems, routine)(*args)
        fired.append(True)
        raise PointOutsideTheDomain(routine)

    return action


def outcome(problem):
    _, obj, status = problem.solve(x0())
    result = problem.result
    return status, result.iterations, result.evaluation_errors, round(obj, 6)


@pytest.mark.parametrize("once", [True, False], ids=["one call", "every call from it on"])
@pytest.mark.parametrize("k", KS)
@pytest.mark.parametrize("routine", EVALUATIONS)
def test_evaluation_error_fails_the_evaluation_as_a_compiled_false_does(
    py_problem, c_problem, routine, k, once
):
    # The solver sees the same failed evaluations either way: it cuts the
    # step, or ends with its own status; solve() raises nothing.
    problem, faults = py_problem
    faults.arm(routine, k, evaluation_error(routine, once))
    py_outcome = outcome(problem)
    c_problem_, c_faults = c_problem
    c_faults.arm(routine, k, compiled.FAIL_ONCE if once else compiled.FAIL)
    assert py_outcome == outcome(c_problem_)
    assert py_outcome[2] >= 1
    if once and routine == "eval_f" and k > 1:
        status, _, errors, obj = py_outcome
        assert (status, errors) == (SOLVE_SUCCEEDED, 1)
        assert obj == pytest.approx(F_OPT)
    assert_recovers(problem, faults.reset)
    assert problem.result.evaluation_errors == 0


# --- compiled callbacks -----------------------------------------------------


@pytest.mark.parametrize("k", KS)
@pytest.mark.parametrize("routine", EVALUATIONS)
def test_compiled_evaluation_failing_ends_in_a_failure_status(c_problem, routine, k):
    problem, faults = c_problem
    faults.arm(routine, k, compiled.FAIL)
    _, _, status = problem.solve(x0())
    assert status < 0
    assert_recovers(problem, faults.reset)


@pytest.mark.parametrize("k", KS)
@pytest.mark.parametrize("routine", EVALUATIONS)
@pytest.mark.parametrize("mode", [compiled.WRITE_NAN, compiled.WRITE_INF], ids=["nan", "inf"])
def test_compiled_non_finite_values_end_in_invalid_number(c_problem, routine, mode, k):
    problem, faults = c_problem
    faults.arm(routine, k, mode)
    _, _, status = problem.solve(x0())
    assert status == INVALID_NUMBER_DETECTED
    assert_recovers(problem, faults.reset)


@pytest.mark.parametrize("k", KS)
@pytest.mark.parametrize("routine", EVALUATIONS)
def test_compiled_writing_nothing_raises_nothing(c_problem, routine, k):
    problem, faults = c_problem
    problem.set(max_iter=50)
    faults.arm(routine, k, compiled.WRITE_NOTHING)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, _, status = problem.solve(x0())
    assert isinstance(status, int)
    assert not caught  # compiled routines are not checked
    assert_recovers(problem, faults.reset)


def test_non_finite_jacobian_does_not_crash_the_interpreter():
    # The linear solver's analysis used to crash the process on a Jacobian
    # holding NaN; in a child process so that a relapse fails this test
    # instead of ending the whole run.
    code = textwrap.dedent(
        """
        import numpy as np
        from problems import QUIET, make_hs071, x0
        def eval_jac_g(x, out):
            out[:] = np.nan
        print(make_hs071(eval_jac_g=eval_jac_g, ipopt_options=QUIET).solve(x0())[2])
        """
    )
    here = __file__.rsplit("/", 1)[0]
    done = subprocess.run(
        [sys.executable, "-c", code], cwd=here, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert int(done.stdout.split()[-1]) == INVALID_NUMBER_DETECTED
