"""User scaling: the constructor's scaling arguments and Problem.set_problem_scaling."""

import re

import numpy as np
import pytest

from problems import QUIET, make_hs071, x0

PREFIX = "vornel.Problem.set_problem_scaling(): "
USER = dict(QUIET, nlp_scaling_method="user-scaling")
X_SCALING = np.array([1.0, 10.0, 2.0, 1.0])
G_SCALING = np.array([0.01, 10.0])


def trace(problem):
    """Everything a run leaves behind; two runs agree only if they took the same path."""
    x = x0()
    _, f, status = problem.solve(x)
    assert status == 0
    return x.tobytes(), f, problem.stats


def objective_scaling_seen(problem, capfd):
    """The factor between the solver's scaled and unscaled final objective."""
    problem.set(print_level=5)
    capfd.readouterr()
    problem.solve(x0())
    out = capfd.readouterr().out
    problem.set(print_level=0)
    scaled, unscaled = map(float, re.search(r"^Objective\.+:\s+(\S+)\s+(\S+)", out, re.M).groups())
    return scaled / unscaled


@pytest.fixture(scope="module")
def unscaled():
    return trace(make_hs071(ipopt_options=USER))


# ---------------------------------------------------------------- effect


@pytest.mark.parametrize(
    "scaling",
    [dict(obj_scaling=100.0), dict(x_scaling=X_SCALING), dict(g_scaling=G_SCALING)],
    ids=["objective", "variables", "constraints"],
)
def test_each_scaling_changes_the_run_under_user_scaling(scaling, unscaled):
    assert trace(make_hs071(ipopt_options=USER, **scaling)) != unscaled


@pytest.mark.parametrize("method", ["none", "gradient-based"])
def test_scaling_has_no_effect_under_other_methods(method):
    options = dict(QUIET, nlp_scaling_method=method)
    plain = trace(make_hs071(ipopt_options=options))
    scaled = make_hs071(
        ipopt_options=options, obj_scaling=100.0, x_scaling=X_SCALING, g_scaling=G_SCALING
    )
    assert trace(scaled) == plain
    scaled.set_problem_scaling(3.0, X_SCALING, G_SCALING)
    assert trace(scaled) == plain


def test_objective_factor_reaches_the_solver(capfd):
    problem = make_hs071(ipopt_options=USER, obj_scaling=4.0)
    assert objective_scaling_seen(problem, capfd) == pytest.approx(4.0, rel=1e-12)
    problem.set_problem_scaling(2.0)
    assert objective_scaling_seen(problem, capfd) == pytest.approx(2.0, rel=1e-12)


def test_scaling_stored_earlier_takes_effect_once_user_scaling_is_chosen(capfd):
    problem = make_hs071(ipopt_options=dict(QUIET, nlp_scaling_method="none"))
    problem.set_problem_scaling(5.0)
    assert objective_scaling_seen(problem, capfd) == 1.0
    problem.set(nlp_scaling_method="user-scaling")
    assert objective_scaling_seen(problem, capfd) == pytest.approx(5.0, rel=1e-12)


# ---------------------------------------------------------------- set_problem_scaling


def test_set_problem_scaling_returns_none():
    assert make_hs071().set_problem_scaling(1.0) is None


def test_scaling_set_later_matches_scaling_given_at_construction():
    given = trace(
        make_hs071(ipopt_options=USER, obj_scaling=3.0, x_scaling=X_SCALING, g_scaling=G_SCALING)
    )
    problem = make_hs071(ipopt_options=USER)
    problem.set_problem_scaling(3.0, X_SCALING, G_SCALING)
    assert trace(problem) == given
    problem = make_hs071(ipopt_options=USER)
    problem.set_problem_scaling(g_scaling=G_SCALING, x_scaling=X_SCALING, obj_scaling=3.0)
    assert trace(problem) == given


def test_objective_alone_clears_variable_and_constraint_scaling(unscaled):
    problem = make_hs071(
        ipopt_options=USER, obj_scaling=7.0, x_scaling=X_SCALING, g_scaling=G_SCALING
    )
    problem.set_problem_scaling(1.0)
    assert trace(problem) == unscaled


@pytest.mark.parametrize("empty", [None, np.empty(0)], ids=["None", "empty-array"])
def test_none_or_empty_arrays_mean_no_scaling(empty, unscaled):
    problem = make_hs071(ipopt_options=USER, x_scaling=X_SCALING, g_scaling=G_SCALING)
    problem.set_problem_scaling(1.0, x_scaling=empty, g_scaling=empty)
    assert trace(problem) == unscaled


def test_scaling_arrays_of_other_types_convert():
    reference = make_hs071(ipopt_options=USER)
    reference.set_problem_scaling(1.0, X_SCALING, G_SCALING)
    problem = make_hs071(ipopt_options=USER)
    problem.set_problem_scaling(
        np.float32(1.0), X_SCALING.astype(np.int32), np.repeat(G_SCALING.astype(">f8"), 2)[::2]
    )
    assert trace(problem) == trace(reference)


def test_scaling_arrays_are_copied():
    reference = make_hs071(ipopt_options=USER, x_scaling=X_SCALING)
    x_scaling = X_SCALING.copy()
    problem = make_hs071(ipopt_options=USER)
    problem.set_problem_scaling(1.0, x_scaling)
    x_scaling[:] = 1000.0
    assert trace(problem) == trace(reference)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((1.0, np.ones(3)), {}, ValueError, "argument x_scaling has wrong size 3 (expected: 4)"),
        (
            (1.0,),
            dict(x_scaling=np.ones(5)),
            ValueError,
            "argument x_scaling has wrong size 5 (expected: 4)",
        ),
        (
            (1.0, None, np.ones(3)),
            {},
            ValueError,
            "argument g_scaling has wrong size 3 (expected: 2)",
        ),
        (
            (1.0, np.ones(4), np.ones(1)),
            {},
            ValueError,
            "argument g_scaling has wrong size 1 (expected: 2)",
        ),
        ((1.0, [1.0] * 4), {}, TypeError, "argument 'x_scaling' must be numpy.ndarray, not list"),
        (
            (1.0, None, (1.0, 1.0)),
            {},
            TypeError,
            "argument 'g_scaling' must be numpy.ndarray, not tuple",
        ),
        (
            (1.0, np.ones((4, 1))),
            {},
            ValueError,
            "argument 'x_scaling': numpy.ndarray dimension must be 1, not 2",
        ),
        (
            (1.0, np.ones(4, dtype=complex)),
            {},
            TypeError,
            "argument 'x_scaling': numpy.ndarray dtype must cast safely to float64, not complex128",
        ),
        ((), {}, TypeError, None),
        (("2",), {}, TypeError, None),
        ((None,), {}, TypeError, None),
        ((1.0, None, None, None), {}, TypeError, None),
        ((1.0,), dict(obj_scaling=2.0), TypeError, None),
        ((1.0,), dict(scaling=np.ones(4)), TypeError, None),
        ((np.nan,), {}, ValueError, "argument obj_scaling is nan; a scaling factor must be finite"),
        (
            (-np.inf,),
            {},
            ValueError,
            "argument obj_scaling is -inf; a scaling factor must be finite",
        ),
        (
            (1.0, np.array([1.0, 1.0, np.nan, 1.0])),
            {},
            ValueError,
            "argument x_scaling[2] is nan; a scaling factor must be finite",
        ),
        (
            (1.0,),
            dict(g_scaling=np.array([1.0, np.inf])),
            ValueError,
            "argument g_scaling[1] is inf; a scaling factor must be finite",
        ),
    ],
    ids=[
        "x-short",
        "x-long-keyword",
        "g-long",
        "g-short",
        "x-list",
        "g-tuple",
        "x-2d",
        "x-complex",
        "missing",
        "obj-str",
        "obj-None",
        "too-many",
        "obj-twice",
        "unknown-keyword",
        "obj-nan",
        "obj-minus-inf",
        "x-nan",
        "g-inf",
    ],
)
def test_failures_carry_the_context_and_change_nothing(args, kwargs, error, message):
    before = make_hs071(
        ipopt_options=USER, obj_scaling=3.0, x_scaling=X_SCALING, g_scaling=G_SCALING
    )
    expected = trace(before)
    problem = make_hs071(ipopt_options=USER)
    problem.set_problem_scaling(3.0, X_SCALING, G_SCALING)
    with pytest.raises(error) as info:
        problem.set_problem_scaling(*args, **kwargs)
    assert type(info.value) is error
    text = str(info.value)
    assert text.startswith(PREFIX)
    if message is not None:
        assert text == PREFIX + message
    assert trace(problem) == expected
