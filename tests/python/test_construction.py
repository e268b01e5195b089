"""Construction of vornel.Problem: what it accepts, and how each failure is reported."""

import sys

import numpy as np
import pytest

import problems
import vornel
from problems import JAC_G, QUIET, X_OPT, hs071_args, make_hs071, x0

PREFIX = "vornel.Problem(): "


def without(name, **overrides):
    args = hs071_args(**overrides)
    del args[name]
    return args


def solve(problem):
    x = x0()
    _, f, status = problem.solve(x)
    return x, f, status


def empty_problem(**overrides):
    args = dict(
        n=0,
        x_l=np.empty(0),
        x_u=np.empty(0),
        m=0,
        g_l=np.empty(0),
        g_u=np.empty(0),
        sparsity_indices_jac_g=([], []),
        sparsity_indices_h=([], []),
        eval_f=lambda x: 0.0,
        eval_grad_f=lambda x, out: None,
        eval_g=lambda x, out: None,
        eval_jac_g=lambda x, out: None,
        ipopt_options=QUIET,
    )
    args.update(overrides)
    return vornel.Problem(**args)


# ---------------------------------------------------------------- accepted


def test_zero_variables_and_constraints_build_and_solve():
    problem = empty_problem()
    assert isinstance(problem, vornel.Problem)
    x, f, status = problem.solve(np.empty(0))
    assert x.shape == (0,)
    assert status == 0


@pytest.mark.parametrize("given", ["omitted", "None"])
@pytest.mark.parametrize("kind", ["python", "capsule", "llc"])
def test_an_unconstrained_problem_needs_no_constraint_arguments(given, kind, c_callbacks):
    if kind == "python":
        callbacks = dict(eval_f=problems.eval_f, eval_grad_f=problems.eval_grad_f)
    else:
        callbacks = c_callbacks.kwargs(kind, names=("f", "grad_f"))
    names = ("sparsity_indices_jac_g", "eval_g", "eval_jac_g")
    absent = {} if given == "omitted" else dict.fromkeys(names, None)
    problem = vornel.Problem(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=0,
        g_l=np.empty(0),
        g_u=np.empty(0),
        sparsity_indices_h=None,
        **callbacks,
        **absent,
        ipopt_options=QUIET,
    )
    # HS071's objective grows in every variable: its minimum over the box is
    # at the lower bounds.
    x, f, status = solve(problem)
    assert status == 0
    np.testing.assert_allclose(x, np.ones(4), atol=1e-7)
    assert f == pytest.approx(4.0)
    assert problem.result.g.shape == problem.result.mult_g.shape == (0,)
    assert problem.check(x0()).ok


def test_all_eighteen_arguments_by_position():
    a = hs071_args()
    problem = vornel.Problem(
        a["n"],
        a["x_l"],
        a["x_u"],
        a["m"],
        a["g_l"],
        a["g_u"],
        a["sparsity_indices_jac_g"],
        a["sparsity_indices_h"],
        a["eval_f"],
        a["eval_grad_f"],
        a["eval_g"],
        a["eval_jac_g"],
        a["eval_h"],
        None,
        1.0,
        None,
        None,
        QUIET,
    )
    x, f, status = solve(problem)
    assert status == 0
    np.testing.assert_allclose(x, X_OPT, rtol=1e-6)


class DictSubclass(dict):
    pass


@pytest.mark.parametrize(
    "options",
    [None, {}, QUIET, DictSubclass(QUIET)],
    ids=["None", "empty", "dict", "dict-subclass"],
)
def test_ipopt_options_may_be_none_or_any_dict(options):
    assert isinstance(make_hs071(ipopt_options=options), vornel.Problem)


def test_options_of_a_dict_subclass_are_applied():
    problem = make_hs071(ipopt_options=DictSubclass(QUIET, max_iter=1))
    assert solve(problem)[2] == -1  # Maximum_Iterations_Exceeded


@pytest.mark.parametrize(
    "sparsity_h",
    [None, (), 5, "anything", ([9, 9], [9]), ([100], [-3])],
    ids=["None", "empty-tuple", "int", "str", "unequal", "out-of-range"],
)
def test_without_eval_h_sparsity_h_is_ignored_and_hessian_is_approximated(sparsity_h):
    problem = make_hs071(eval_h=None, sparsity_indices_h=sparsity_h, ipopt_options=QUIET)
    x, f, status = solve(problem)
    assert status == 0
    assert problem.stats["n_eval_h"] == 0
    np.testing.assert_allclose(x, X_OPT, rtol=1e-5)


# One options dict may serve problems with and without eval_h: without it,
# construction replaces any hessian_approximation by the approximation.
@pytest.mark.parametrize(
    "name, value",
    [
        ("hessian_approximation", "limited-memory"),
        ("hessian_approximation", "Limited-Memory"),
        ("hessian_approximation", "exact"),
        ("resto.hessian_approximation", "exact"),
    ],
)
@pytest.mark.parametrize("kind", ["python", "capsule"])
def test_without_eval_h_the_approximation_overrides_the_options(name, value, kind, c_callbacks):
    names = ("f", "grad_f", "g", "jac_g")
    callbacks = {} if kind == "python" else c_callbacks.kwargs(kind, names=names)
    problem = make_hs071(eval_h=None, ipopt_options={**QUIET, name: value}, **callbacks)
    assert solve(problem)[2] == 0
    assert problem.stats["n_eval_h"] == 0
    # Later requests for the exact Hessian are still refused.
    with pytest.raises(ValueError, match="eval_h"):
        problem.set(**{name: "exact"})


def test_with_eval_h_the_exact_hessian_is_used():
    problem = make_hs071(ipopt_options=QUIET)
    solve(problem)
    assert problem.stats["n_eval_h"] > 0


def test_empty_x_scaling_means_no_variable_scaling():
    problem = make_hs071(x_scaling=np.empty(0), g_scaling=np.empty(0), ipopt_options=QUIET)
    assert solve(problem)[2] == 0


def test_obj_scaling_defaults_to_one():
    # Under user scaling a factor of 0 would flatten the objective; the
    # default must leave the problem as it is.
    options = dict(QUIET, nlp_scaling_method="user-scaling")
    default = make_hs071(ipopt_options=options)
    explicit = make_hs071(ipopt_options=options, obj_scaling=1.0)
    x_default, f_default, status = solve(default)
    x_explicit, f_explicit, _ = solve(explicit)
    assert status == 0
    assert f_default == f_explicit
    np.testing.assert_array_equal(x_default, x_explicit)
    assert default.stats == explicit.stats


# ---------------------------------------------------------------- failures

FAILURES = {
    **{
        f"{name}-nan": (
            hs071_args(**{name: np.array(values)}),
            ValueError,
            f"argument {label}[1] is nan; a bound must be a number, or an infinity for none",
        )
        for name, label, values in [
            ("x_l", "x_L", [1.0, np.nan, 1.0, 1.0]),
            ("x_u", "x_U", [5.0, np.nan, 5.0, 5.0]),
            ("g_l", "g_L", [25.0, np.nan]),
            ("g_u", "g_U", [2e19, np.nan]),
        ]
    },
    "obj_scaling-nan": (
        hs071_args(obj_scaling=np.nan),
        ValueError,
        "argument obj_scaling is nan; a scaling factor must be finite",
    ),
    "x_scaling-inf": (
        hs071_args(x_scaling=np.array([1.0, np.inf, 1.0, 1.0])),
        ValueError,
        "argument x_scaling[1] is inf; a scaling factor must be finite",
    ),
    "g_scaling-nan": (
        hs071_args(g_scaling=np.array([np.nan, 1.0])),
        ValueError,
        "argument g_scaling[0] is nan; a scaling factor must be finite",
    ),
    "misspelled-keyword": (
        hs071_args(eval_hess=None),
        TypeError,
        "'eval_hess'",
    ),
    "missing-argument": (without("eval_jac_g"), TypeError, "eval_jac_g"),
    # With constraints, the arguments that m = 0 may leave out stay required.
    "missing-sparsity-jac-g-with-constraints": (
        without("sparsity_indices_jac_g"),
        TypeError,
        "missing required argument 'sparsity_indices_jac_g' (pos 7)",
    ),
    "missing-eval-g-with-constraints": (
        without("eval_g"),
        TypeError,
        "missing required argument 'eval_g' (pos 11)",
    ),
    "sparsity-jac-g-none-with-constraints": (
        hs071_args(sparsity_indices_jac_g=None),
        TypeError,
        "sparsity_indices_jac_g: Sparsity info: a tuple is needed.",
    ),
    "eval-g-none-with-constraints": (
        hs071_args(eval_g=None),
        ValueError,
        "argument 'eval_g': must be Union[Callable, PyCapsule, scipy.LowLevelCallable], not "
        "NoneType",
    ),
    "missing-sparsity-h-without-eval-h": (
        without("sparsity_indices_h", eval_h=None),
        TypeError,
        "sparsity_indices_h",
    ),
    "n-not-int": (hs071_args(n="4"), TypeError, None),
    "n-beyond-int": (hs071_args(n=2**40), OverflowError, None),
    "obj-scaling-not-number": (hs071_args(obj_scaling="1"), TypeError, None),
    "too-many-positional": ((1,) * 19, TypeError, None),
    "eval-f-not-callable": (
        hs071_args(eval_f=5),
        ValueError,
        "argument 'eval_f': must be Union[Callable, PyCapsule, scipy.LowLevelCallable], not int",
    ),
    "x-l-list": (
        hs071_args(x_l=[1.0] * 4),
        TypeError,
        "argument 'x_l' must be numpy.ndarray, not list",
    ),
    "n-negative": (hs071_args(n=-1), ValueError, "n can't be negative"),
    "m-negative": (hs071_args(m=-1), ValueError, "m can't be negative"),
    "x-l-long": (
        hs071_args(x_l=np.ones(5)),
        ValueError,
        "argument x_L has wrong size 5 (expected: 4)",
    ),
    "x-u-short": (
        hs071_args(x_u=np.ones(3)),
        ValueError,
        "argument x_U has wrong size 3 (expected: 4)",
    ),
    "g-l-long": (
        hs071_args(g_l=np.ones(3)),
        ValueError,
        "argument g_L has wrong size 3 (expected: 2)",
    ),
    "g-u-empty": (
        hs071_args(g_u=np.ones(0)),
        ValueError,
        "argument g_U has wrong size 0 (expected: 2)",
    ),
    "jac-sparsity-list": (
        hs071_args(sparsity_indices_jac_g=list(JAC_G)),
        TypeError,
        "sparsity_indices_jac_g: Sparsity info: a tuple is needed.",
    ),
    "hess-sparsity-unequal": (
        hs071_args(sparsity_indices_h=([0, 1], [0])),
        ValueError,
        "sparsity_indices_h: Sparsity info: length of row indices (2) does not match lenth of "
        "column indices (1)",
    ),
    "jac-row-beyond-m": (
        hs071_args(sparsity_indices_jac_g=([0, 2], [0, 1])),
        ValueError,
        "sparsity_indices_jac_g: row index 2 at position 1 is out of range [0, 2)",
    ),
    "jac-column-beyond-n": (
        hs071_args(sparsity_indices_jac_g=([0, 1, 1], [0, 1, 4])),
        ValueError,
        "sparsity_indices_jac_g: column index 4 at position 2 is out of range [0, 4)",
    ),
    "jac-row-negative": (
        hs071_args(sparsity_indices_jac_g=([-1], [0])),
        ValueError,
        "sparsity_indices_jac_g: row index -1 at position 0 is out of range [0, 2)",
    ),
    "hess-row-beyond-n": (
        hs071_args(sparsity_indices_h=([0, 4], [0, 0])),
        ValueError,
        "sparsity_indices_h: row index 4 at position 1 is out of range [0, 4)",
    ),
    "hess-column-negative": (
        hs071_args(sparsity_indices_h=([0, 1, 2], [0, 0, -2])),
        ValueError,
        "sparsity_indices_h: column index -2 at position 2 is out of range [0, 4)",
    ),
    "index-beyond-32-bits": (
        hs071_args(sparsity_indices_jac_g=([0, 2**32 + 1], [0, 1])),
        ValueError,
        "sparsity_indices_jac_g: Sparsity info[1]: 4294967297 does not fit a 32-bit signed integer",
    ),
    "options-list": (
        hs071_args(ipopt_options=[("tol", 1e-3)]),
        TypeError,
        "Wrong type for ipopt_options. Required: Optional[dict]]",
    ),
    "option-refused": (
        hs071_args(ipopt_options={"no_such_option": 1}),
        ValueError,
        "Failed to set the Ipopt option 'no_such_option'",
    ),
    "second-option-refused": (
        hs071_args(ipopt_options={"print_level": 0, "max_iter": "many"}),
        ValueError,
        "Failed to set the Ipopt option 'max_iter'",
    ),
    "option-name-with-nul": (
        hs071_args(ipopt_options={"max_iter\0junk": 1}),
        ValueError,
        "The name of option 'max_iter\\x00junk' contains a NUL character",
    ),
    "option-value-type": (
        hs071_args(ipopt_options={"tol": b"1e-3"}),
        TypeError,
        "The value for option tol has unsupported type",
    ),
    "option-key-not-str": (
        hs071_args(ipopt_options={1: 2}),
        TypeError,
        "The name of an option must be str, not int (option 1)",
    ),
    "option-int-beyond-32-bits": (
        hs071_args(ipopt_options={"max_iter": 2**40}),
        ValueError,
        "The value for option max_iter does not fit a 32-bit signed integer",
    ),
    "x-scaling-size": (
        hs071_args(x_scaling=np.ones(3)),
        ValueError,
        "argument x_scaling has wrong size 3 (expected: 4)",
    ),
    "g-scaling-size": (
        hs071_args(g_scaling=np.ones(1)),
        ValueError,
        "argument g_scaling has wrong size 1 (expected: 2)",
    ),
}


def construct(args):
    if isinstance(args, tuple):
        return vornel.Problem(*args)
    return vornel.Problem(**args)


# Worded by the interpreter's argument parser, so only the part naming the
# argument is checked.
PARSER_FAILURES = {
    "misspelled-keyword",
    "missing-argument",
    "missing-sparsity-h-without-eval-h",
    "missing-sparsity-jac-g-with-constraints",
    "missing-eval-g-with-constraints",
}
# Refused options: the solver's reason follows the message.
REASONED_FAILURES = {"option-refused", "second-option-refused"}


@pytest.mark.parametrize(
    "name, args, error, message", [(k, *v) for k, v in FAILURES.items()], ids=FAILURES.keys()
)
def test_failure_keeps_its_type_and_carries_the_context(name, args, error, message):
    with pytest.raises(error) as info:
        construct(args)
    assert type(info.value) is error
    text = str(info.value)
    assert text.startswith(PREFIX)
    if message is None:
        return
    if name in PARSER_FAILURES:
        assert message in text
    elif name in REASONED_FAILURES:
        assert text.startswith(PREFIX + message + ": ")
    else:
        assert text == PREFIX + message
    # Only the prefixed exception reaches the caller, not a chain.
    assert info.value.__cause__ is None and info.value.__context__ is None


def own_objects(values):
    # Small ints, interned strings and singletons are shared with the rest of
    # the interpreter; their counts move for reasons of their own.
    return [v for v in values if not isinstance(v, (int, float, str, type(None)))]


def reference_counts(objects):
    return [sys.getrefcount(v) for v in objects]


@pytest.mark.parametrize("args, error, message", FAILURES.values(), ids=FAILURES.keys())
def test_failure_leaves_reference_counts_of_arguments_unchanged(args, error, message):
    objects = own_objects(args if isinstance(args, tuple) else args.values())
    assert objects or isinstance(args, tuple)
    before = reference_counts(objects)
    try:
        construct(args)
    except error:
        pass
    else:
        pytest.fail("construction succeeded")
    after = reference_counts(objects)
    assert after == before


def test_reference_counts_unchanged_when_an_optional_callback_is_refused():
    # eval_h and the per-iteration callback are converted before the
    # failing argument; neither may keep a reference.
    def hess(*args):
        pass

    def step(*args):
        return True

    args = hs071_args(eval_h=hess, intermediate_callback=step, x_scaling=np.ones(3))
    objects = own_objects(args.values())
    before = reference_counts(objects)
    with pytest.raises(ValueError):
        vornel.Problem(**args)
    after = reference_counts(objects)
    assert after == before


# ---------------------------------------------------------------- order of checks


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        # Jacobian sparsity is converted before the dimensions are judged.
        (
            dict(n=-1, sparsity_indices_jac_g=5),
            TypeError,
            "sparsity_indices_jac_g: Sparsity info: a tuple is needed.",
        ),
        # Sign of n before the lengths of the arrays.
        (dict(n=-1, x_l=np.ones(7)), ValueError, "n can't be negative"),
        # Lengths before the range of the Jacobian indices.
        (
            dict(x_l=np.ones(7), sparsity_indices_jac_g=([5], [0])),
            ValueError,
            "argument x_L has wrong size 7",
        ),
        # Range of the Jacobian indices before the Hessian sparsity.
        (
            dict(sparsity_indices_jac_g=([5], [0]), sparsity_indices_h=5),
            ValueError,
            "sparsity_indices_jac_g: row index 5",
        ),
        # Hessian sparsity before the options type.
        (
            dict(sparsity_indices_h=[[], []], ipopt_options=[]),
            TypeError,
            "sparsity_indices_h: Sparsity info: a tuple is needed.",
        ),
        # Options type before the scaling sizes.
        (dict(ipopt_options=[], x_scaling=np.ones(2)), TypeError, "Wrong type for ipopt_options"),
        # Scaling sizes before any option is applied.
        (
            dict(x_scaling=np.ones(2), ipopt_options={"no_such_option": 1}),
            ValueError,
            "argument x_scaling",
        ),
        # The parser stops at the first argument that fails to convert.
        (dict(x_l=[1.0], eval_f=None), TypeError, "argument 'x_l'"),
    ],
    ids=[
        "sparsity-before-n",
        "n-before-lengths",
        "lengths-before-range",
        "jac-range-before-h",
        "h-before-options-type",
        "options-type-before-scaling",
        "scaling-before-options",
        "first-converter",
    ],
)
def test_checks_run_in_order(overrides, error, message):
    with pytest.raises(error) as info:
        make_hs071(**overrides)
    assert str(info.value).startswith(PREFIX + message)


def test_n_negative_is_reported_before_sparsity_range():
    # With n = -1 every column index is out of range; the sign comes first.
    with pytest.raises(ValueError, match="^vornel.Problem\\(\\): n can't be negative$"):
        make_hs071(n=-1, x_l=np.ones(0), x_u=np.ones(0))


# --- exceptions the context cannot be put in front of -------------------------


class TwoArguments(Exception):
    """A user's exception whose constructor does not take one message."""

    def __init__(self, code, detail):
        super().__init__(code, detail)
        self.code = code


class Raising:
    """Raises its exception from __index__ and __float__."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    __float__ = __index__


class FailingFinalize(np.ndarray):
    error = None

    def __array_finalize__(self, obj):
        if FailingFinalize.error is not None:
            raise FailingFinalize.error


def _failing_subclass(error, length):
    FailingFinalize.error = None
    array = np.ones(length, dtype=np.float32).view(FailingFinalize)
    FailingFinalize.error = error
    return array


UNUSUAL = {
    "two-argument class": lambda: TwoArguments(7, "detail"),
    "UnicodeEncodeError": lambda: UnicodeEncodeError("utf-8", "\udcff", 0, 1, "surrogates"),
    "OSError with errno": lambda: FileNotFoundError(2, "gone", "f"),
}
WHERE = {
    "n.__index__": lambda e: hs071_args(n=Raising(e)),
    "obj_scaling.__float__": lambda e: hs071_args(obj_scaling=Raising(e)),
    "x_l.__array_finalize__": lambda e: hs071_args(x_l=_failing_subclass(e, 4)),
    "set_problem_scaling x_scaling.__array_finalize__": lambda e: (1.0, _failing_subclass(e, 4)),
    "set_problem_scaling obj_scaling.__float__": lambda e: (Raising(e),),
}


@pytest.mark.parametrize("where", WHERE.values(), ids=WHERE.keys())
@pytest.mark.parametrize("make_error", UNUSUAL.values(), ids=UNUSUAL.keys())
def test_exceptions_that_cannot_take_the_prefix_reach_the_caller_with_a_note(make_error, where):
    error = make_error()
    args = where(error)
    try:
        if isinstance(args, tuple):
            context = "vornel.Problem.set_problem_scaling()"
            with pytest.raises(BaseException) as info:
                make_hs071().set_problem_scaling(*args)
        else:
            context = "vornel.Problem()"
            with pytest.raises(BaseException) as info:
                vornel.Problem(**args)
    finally:
        FailingFinalize.error = None
    assert info.value is error
    assert info.value.args == make_error().args
    assert any(context in note for note in info.value.__notes__)
    assert info.value.__traceback__ is not None
