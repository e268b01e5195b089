"""Solver options: the ipopt_options argument and Problem.set."""

import numpy as np
import pytest

from problems import QUIET, make_hs071, x0

MAX_ITER_EXCEEDED = -1


@pytest.fixture
def problem():
    return make_hs071(ipopt_options=QUIET)


def status_of(problem):
    return problem.solve(x0())[2]


# ---------------------------------------------------------------- set: calling


def test_set_without_keywords_returns_none_and_changes_nothing(problem):
    reference = make_hs071(ipopt_options=QUIET)
    reference.solve(x0())
    assert problem.set() is None
    x = x0()
    assert problem.solve(x)[2] == 0
    assert problem.stats == reference.stats


def test_set_returns_none(problem):
    assert problem.set(max_iter=100, tol=1e-8, mu_strategy="monotone") is None


@pytest.mark.parametrize(
    "args, message",
    [
        ((1,), "set() takes 0 positional arguments but 1 was given"),
        ((1, 2), "set() takes 0 positional arguments but 2 were given"),
        (("max_iter", 1), "set() takes 0 positional arguments but 2 were given"),
    ],
    ids=["one", "two", "name-and-value"],
)
def test_set_refuses_positional_arguments(problem, args, message):
    with pytest.raises(TypeError) as info:
        problem.set(*args)
    assert str(info.value) == message


def test_positional_refusal_applies_no_keyword(problem):
    with pytest.raises(TypeError):
        problem.set(1, max_iter=1)
    assert status_of(problem) == 0


# ---------------------------------------------------------------- set: effect


def test_set_between_solves_changes_the_next_run(problem):
    assert status_of(problem) == 0
    problem.set(max_iter=1)
    assert status_of(problem) == MAX_ITER_EXCEEDED
    assert problem.stats["n_iter"] == 1
    # Options stay in force until set again.
    assert status_of(problem) == MAX_ITER_EXCEEDED
    problem.set(max_iter=3000)
    assert status_of(problem) == 0


def test_construction_options_apply_and_set_replaces_them():
    problem = make_hs071(ipopt_options=dict(QUIET, max_iter=2))
    assert status_of(problem) == MAX_ITER_EXCEEDED
    assert problem.stats["n_iter"] == 2
    problem.set(max_iter=50)
    assert status_of(problem) == 0


@pytest.mark.parametrize("flag, iterations", [(True, 1), (False, 0)])
def test_bool_goes_to_the_integer_setter(problem, flag, iterations):
    problem.set(max_iter=flag)
    assert status_of(problem) == MAX_ITER_EXCEEDED
    assert problem.stats["n_iter"] == iterations


def test_numpy_float64_is_a_float(problem):
    loose = make_hs071(ipopt_options=dict(QUIET, tol=1e-1, acceptable_tol=1e-1))
    loose.solve(x0())
    problem.set(tol=np.float64(1e-1), acceptable_tol=np.float64(1e-1))
    problem.solve(x0())
    assert problem.stats == loose.stats
    default = make_hs071(ipopt_options=QUIET)
    default.solve(x0())
    assert problem.stats["n_iter"] < default.stats["n_iter"]


def test_string_options_are_applied(problem):
    problem.set(hessian_approximation="limited-memory")
    assert status_of(problem) == 0
    assert problem.stats["n_eval_h"] == 0


def test_set_overrides_an_option_given_at_construction(capfd, problem):
    problem.set(print_level=5)
    problem.solve(x0())
    assert "Number of Iterations" in capfd.readouterr().out


def test_largest_32_bit_integer_is_accepted(problem):
    assert problem.set(max_iter=2**31 - 1) is None
    assert status_of(problem) == 0


# ---------------------------------------------------------------- set: refusals


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(no_such_option=1), ValueError, "Failed to set the Ipopt option 'no_such_option'"),
        (dict(max_iter=1.0), ValueError, "Failed to set the Ipopt option 'max_iter'"),
        (dict(tol=1), ValueError, "Failed to set the Ipopt option 'tol'"),
        (dict(mu_strategy=1), ValueError, "Failed to set the Ipopt option 'mu_strategy'"),
        (dict(mu_strategy="nonsense"), ValueError, "Failed to set the Ipopt option 'mu_strategy'"),
        (dict(max_iter=-1), ValueError, "Failed to set the Ipopt option 'max_iter'"),
        (dict(tol=-1.0), ValueError, "Failed to set the Ipopt option 'tol'"),
        (
            dict(max_iter=np.int64(1)),
            TypeError,
            "The value for option max_iter has unsupported type",
        ),
        (dict(max_iter=None), TypeError, "The value for option max_iter has unsupported type"),
        (
            dict(linear_solver=b"mumps"),
            TypeError,
            "The value for option linear_solver has unsupported type",
        ),
        (dict(tol=[1e-3]), TypeError, "The value for option tol has unsupported type"),
        (dict(tol=np.float32(1e-3)), TypeError, "The value for option tol has unsupported type"),
        (
            dict(max_iter=2**31),
            ValueError,
            "The value for option max_iter does not fit a 32-bit signed integer",
        ),
        (
            dict(max_iter=2**40),
            ValueError,
            "The value for option max_iter does not fit a 32-bit signed integer",
        ),
        (
            dict(print_level=-(2**31) - 1),
            ValueError,
            "The value for option print_level does not fit a 32-bit signed integer",
        ),
        (
            dict(max_iter=2**100),
            ValueError,
            "The value for option max_iter does not fit a 32-bit signed integer",
        ),
    ],
    ids=[
        "unknown",
        "float-for-int",
        "int-for-float",
        "int-for-str",
        "bad-choice",
        "int-out-of-range",
        "float-out-of-range",
        "numpy-int64",
        "None",
        "bytes",
        "list",
        "numpy-float32",
        "int-2**31",
        "int-2**40",
        "int-below-32-bits",
        "int-beyond-64-bits",
    ],
)
def test_refused_values_raise_without_prefix(problem, kwargs, error, message):
    with pytest.raises(error) as info:
        problem.set(**kwargs)
    assert type(info.value) is error
    assert str(info.value) == message


def test_a_refused_option_leaves_the_current_value(problem):
    problem.set(max_iter=1)
    with pytest.raises(ValueError):
        problem.set(max_iter=2**40)
    assert status_of(problem) == MAX_ITER_EXCEEDED
    assert problem.stats["n_iter"] == 1


def test_first_of_two_refused_applies_neither(problem):
    with pytest.raises(ValueError, match="'no_such_option'"):
        problem.set(no_such_option=1, max_iter=1)
    assert status_of(problem) == 0


def test_second_of_three_refused_keeps_the_first_and_skips_the_third(capfd, problem):
    capfd.readouterr()
    with pytest.raises(ValueError, match="^Failed to set the Ipopt option 'no_such_option'$"):
        problem.set(max_iter=1, no_such_option=1, print_level=5)
    capfd.readouterr()
    assert status_of(problem) == MAX_ITER_EXCEEDED
    # print_level=5 would have printed the iteration log.
    assert "iter" not in capfd.readouterr().out


def test_second_of_two_with_unsupported_type_keeps_the_first(problem):
    with pytest.raises(TypeError, match="max_cpu_time"):
        problem.set(max_iter=1, max_cpu_time=np.int64(5))
    assert status_of(problem) == MAX_ITER_EXCEEDED


@pytest.mark.parametrize(
    "kwargs", [{"\udc80": 1}, {"linear_solver": "\udc80"}], ids=["name", "value"]
)
def test_names_and_values_that_are_not_utf8_are_refused(problem, kwargs):
    with pytest.raises(UnicodeEncodeError):
        problem.set(**kwargs)
    assert status_of(problem) == 0


# ---------------------------------------------------------------- ipopt_options


def test_ipopt_options_key_must_be_str():
    with pytest.raises(TypeError) as info:
        make_hs071(ipopt_options={b"max_iter": 1})
    assert str(info.value) == (
        "vornel.Problem(): The name of an option must be str, not bytes (option b'max_iter')"
    )


def test_ipopt_options_with_a_refused_entry_build_nothing():
    with pytest.raises(ValueError) as info:
        make_hs071(ipopt_options={"max_iter": 1, "tol": "small", "print_level": 0})
    assert str(info.value) == "vornel.Problem(): Failed to set the Ipopt option 'tol'"
