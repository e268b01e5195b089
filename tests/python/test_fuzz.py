"""Generated bad input for the constructor, solve, set, set_problem_scaling
and get_ipopt_options: every call either succeeds or raises an exception of
a documented type with a message; nothing crashes.

The profile comes from VORNEL_HYPOTHESIS_PROFILE: "ci" (default, bounded)
or "long" (tools/fuzz.sh)."""

import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, note, settings
from hypothesis import strategies as st
from hypothesis.database import DirectoryBasedExampleDatabase
from hypothesis.extra import numpy as hnp

import problems
import vornel
from problems import HESS, JAC_G, QUIET, hs071_args, make_hs071, x0

settings.register_profile(
    "ci",
    max_examples=150,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "long",
    max_examples=4000,
    deadline=None,
    # Failing examples are replayed first on the next long run; build/ is
    # ignored by git.
    database=DirectoryBasedExampleDatabase(
        os.path.join(os.path.dirname(__file__), "..", "..", "build", "hypothesis")
    ),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
# Applied per test rather than loaded globally, so that other modules'
# Hypothesis tests keep their own settings.
PROFILE = settings.get_profile(os.environ.get("VORNEL_HYPOTHESIS_PROFILE", "ci"))


class Hostile(Exception):
    """Raised by the generated objects' own methods; the module must pass it
    on (or replace it with its own message), not swallow or mangle it."""


DOCUMENTED = (TypeError, ValueError, RuntimeError, OverflowError, Hostile)


def outcome(call):
    """The call's result, or None after a documented exception with a
    message; any other exception fails the example."""
    try:
        result = call()
    except DOCUMENTED as e:
        assert str(e).strip(), f"{type(e).__name__} without a message"
        note(f"{type(e).__name__}: {e}")
        event(type(e).__name__)
        return None
    event("succeeded")
    return result


# --- objects of every kind -----------------------------------------------------


class ArraySub(np.ndarray):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class IntSub(int):
    pass


class RaisingIndex:
    def __index__(self):
        raise Hostile("__index__")

    def __float__(self):
        raise Hostile("__float__")


class RaisingIter:
    def __iter__(self):
        raise Hostile("__iter__")

    def __len__(self):
        raise Hostile("__len__")


class HugeLen:
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 3:
            return 0
        raise IndexError(i)


DTYPES = st.sampled_from(
    ["<f8", ">f8", "<f4", ">f4", "<i4", ">i8", "u1", "?", "<c16", "f2", "U3", "O", "M8[s]"]
)


@st.composite
def arrays(draw, lengths=st.integers(0, 7), ndims=st.integers(0, 3)):
    """NumPy arrays of any dtype, byte order, shape, stride, subclass and
    writeability, with NaN, infinite and huge values among them."""
    dtype = np.dtype(draw(DTYPES))
    ndim = draw(ndims)
    shape = tuple(draw(lengths) for _ in range(ndim))
    if dtype.kind in "fc":
        elements = st.floats(
            allow_nan=True,
            allow_infinity=True,
            width=min(64, dtype.itemsize * 8 // (2 if dtype.kind == "c" else 1)),
        )
    elif dtype.kind in "iu":
        info = np.iinfo(dtype)
        elements = st.integers(int(info.min), int(info.max))
    elif dtype.kind == "b":
        elements = st.booleans()
    elif dtype.kind == "U":
        # NumPy strings cannot hold NUL: it would silently end the element.
        elements = st.text(st.characters(exclude_characters="\x00"), max_size=3)
    elif dtype.kind == "M":
        elements = st.integers(0, 2**31).map(lambda s: np.datetime64(s, "s"))
    else:
        elements = st.one_of(st.none(), st.floats(), st.text(max_size=2))
    array = draw(hnp.arrays(dtype, shape, elements=elements))
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "sub", "readonly", "fortran"]))
    if layout == "reversed" and ndim >= 1:
        array = array[::-1]
    elif layout == "strided" and ndim >= 1:
        array = np.repeat(array, 2, axis=0)[::2]
    elif layout == "sub":
        array = array.view(ArraySub)
    elif layout == "readonly":
        array.flags.writeable = False
    elif layout == "fortran" and ndim >= 2:
        array = np.asfortranarray(array)
    return array


def generator_of(items):
    return (item for item in items)


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**70), 2**70),
    st.sampled_from([0, 1, -1, 4, 2, 2**31 - 1, 2**31, -(2**31) - 1, 2**63, IntSub(4)]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=5),
    st.binary(max_size=5),
    st.sampled_from(
        [RaisingIndex(), RaisingIter(), HugeLen(), object(), 1j, np.float64(4), np.int32(2)]
    ),
)
index_lists = st.lists(
    st.one_of(
        st.integers(-3, 12),
        st.sampled_from([2**31, -(2**40), 0.0, None, "1", RaisingIndex(), np.int64(1)]),
    ),
    max_size=12,
)
sequences = st.one_of(
    index_lists,
    index_lists.map(tuple),
    index_lists.map(generator_of),
    st.lists(st.integers(0, 5), max_size=12).map(lambda xs: np.array(xs, dtype=np.int64)),
    arrays(),
    scalars,
)
sparsities = st.one_of(
    st.tuples(sequences, sequences),
    st.tuples(sequences, sequences).map(TupleSub),
    st.tuples(sequences, sequences).map(list),
    st.tuples(sequences),
    st.tuples(sequences, sequences, sequences),
    # Well formed, in or out of range, equal or unequal lengths.
    st.integers(0, 12).flatmap(
        lambda k: st.tuples(
            st.lists(st.integers(-1, 5), min_size=k, max_size=k),
            st.lists(st.integers(-1, 5), min_size=k, max_size=k),
        )
    ),
    st.just(JAC_G),
    st.just(HESS),
    st.just(((), ())),
    scalars,
)
anything = st.one_of(
    scalars,
    arrays(),
    st.lists(scalars, max_size=4),
    st.dictionaries(st.text(max_size=4), scalars, max_size=3),
    sparsities,
)


# --- dimension-agnostic callbacks: any n, m and number of nonzeros ------------


def gen_f(x):
    return float(np.dot(x, x))


def gen_grad_f(x, out):
    out[:] = 2.0 * x


def gen_g(x, out):
    out[:] = x.sum()


def gen_jac_g(x, out):
    out[:] = 1.0


def gen_h(x, lagrange, obj_factor, out):
    out[:] = 2.0 * obj_factor


def gen_intermediate(*args):
    return True


GENERIC = dict(
    eval_f=gen_f, eval_grad_f=gen_grad_f, eval_g=gen_g, eval_jac_g=gen_jac_g, eval_h=gen_h
)
BOUNDED_RUN = {**QUIET, "max_iter": 5}


def bound_values():
    # Float bounds including NaN, infinities and the solver's 1e19 limits.
    return st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
        [1e19, -1e19, 2e19, 0.0]
    )


@st.composite
def constructor_arguments(draw):
    n = draw(st.integers(0, 6))
    m = draw(st.integers(0, 4))
    floats = bound_values()
    args = dict(
        n=n,
        x_l=np.array(draw(st.lists(floats, min_size=n, max_size=n)), dtype=float),
        x_u=np.array(draw(st.lists(floats, min_size=n, max_size=n)), dtype=float),
        m=m,
        g_l=np.array(draw(st.lists(floats, min_size=m, max_size=m)), dtype=float),
        g_u=np.array(draw(st.lists(floats, min_size=m, max_size=m)), dtype=float),
        sparsity_indices_jac_g=draw(
            st.lists(
                st.tuples(st.integers(0, max(m - 1, 0)), st.integers(0, max(n - 1, 0))),
                max_size=8 if m and n else 0,
            ).map(lambda pairs: ([p[0] for p in pairs], [p[1] for p in pairs]))
        ),
        sparsity_indices_h=draw(
            st.lists(
                st.tuples(st.integers(0, max(n - 1, 0)), st.integers(0, max(n - 1, 0))),
                max_size=8 if n else 0,
            ).map(lambda pairs: ([p[0] for p in pairs], [p[1] for p in pairs]))
        ),
        **GENERIC,
        ipopt_options=dict(BOUNDED_RUN),
    )
    if draw(st.booleans()):
        args["intermediate_callback"] = gen_intermediate
    if draw(st.booleans()):
        args["eval_h"] = None
    # Replace some arguments by anything at all, or drop them, or add
    # unknown ones.
    names = list(args)
    # Mostly near-valid arguments, so that construction gets past the
    # parser often enough to reach the later checks and the solver.
    replaced = draw(st.sampled_from([0, 0, 0, 1, 1, 2, 3]))
    for name in draw(
        st.lists(
            st.sampled_from(names + ["obj_scaling", "x_scaling", "g_scaling"]),
            min_size=replaced,
            max_size=replaced,
            unique=True,
        )
    ):
        args[name] = draw(
            st.one_of(anything, arrays(), sparsities)
            if name.startswith("sparsity")
            else st.one_of(anything, arrays())
        )
    if draw(st.integers(0, 9)) == 0:
        del args[draw(st.sampled_from(names))]
    if draw(st.integers(0, 20)) == 0:
        args["no_such_argument"] = 1
    return args


def is_safe_to_solve(args):
    """Generated capsules or foreign callables are never run: nothing can
    check a C function's signature, and arbitrary callables may do
    anything. Only problems with the generic Python callbacks are solved."""
    callbacks = ("eval_f", "eval_grad_f", "eval_g", "eval_jac_g", "eval_h", "intermediate_callback")
    allowed = {gen_f, gen_grad_f, gen_g, gen_jac_g, gen_h, gen_intermediate, None}
    return all(args.get(name) in allowed for name in callbacks)


# Generated points overflow in the callbacks' arithmetic; NumPy warns.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@PROFILE
@given(constructor_arguments(), st.booleans())
def test_constructor(args, positional):
    order = [
        "n",
        "x_l",
        "x_u",
        "m",
        "g_l",
        "g_u",
        "sparsity_indices_jac_g",
        "sparsity_indices_h",
        "eval_f",
        "eval_grad_f",
        "eval_g",
        "eval_jac_g",
    ]
    if positional and all(k in args for k in order):
        rest = {k: v for k, v in args.items() if k not in order}
        problem = outcome(lambda: vornel.Problem(*(args[k] for k in order), **rest))
    else:
        problem = outcome(lambda: vornel.Problem(**args))
    if problem is None:
        return
    assert set(problem.stats.values()) == {-1}
    if not is_safe_to_solve(args):
        return
    n = args["n"] if isinstance(args.get("n"), int) else 0
    x = np.zeros(n)
    result = outcome(lambda: problem.solve(x))
    if result is not None:
        assert result[0] is x
        assert isinstance(result[2], int)


@pytest.fixture(scope="module")
def problem():
    return make_hs071(ipopt_options=BOUNDED_RUN)


def float64_vectors(length):
    return hnp.arrays(np.float64, length, elements=bound_values())


solve_arrays = st.one_of(
    float64_vectors(4),
    float64_vectors(2),
    arrays(lengths=st.sampled_from([0, 1, 2, 3, 4, 5, 8])),
    arrays(lengths=st.just(4), ndims=st.just(1)),
    arrays(lengths=st.just(2), ndims=st.just(1)),
    anything,
)


# Generated points overflow in the callbacks' arithmetic; NumPy warns.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@PROFILE
@given(
    x=solve_arrays,
    multipliers=st.dictionaries(
        st.sampled_from(["mult_g", "mult_x_L", "mult_x_U", "x0", "x", "mult"]),
        solve_arrays,
        max_size=3,
    ),
    extra_positional=st.one_of(
        st.just([]), st.just([]), st.lists(solve_arrays, min_size=1, max_size=2)
    ),
)
def test_solve(problem, x, multipliers, extra_positional):
    if "x0" in multipliers:
        call = lambda: problem.solve(*extra_positional, **multipliers)  # noqa: E731
    else:
        call = lambda: problem.solve(x, *extra_positional, **multipliers)  # noqa: E731
    result = outcome(call)
    if result is not None:
        given_x = multipliers.get("x0", x)
        assert result[0] is given_x
        assert isinstance(result[1], float) and isinstance(result[2], int)


OPTION_NAMES = sorted(o["name"] for o in vornel.get_ipopt_options())
# Options that make a solve write files or read them; set is fuzzed, but a
# generated file name must not reach the file system.
FILE_OPTIONS = {n for n in OPTION_NAMES if "file" in n}
option_values = st.one_of(
    scalars,
    st.sampled_from(["yes", "no", "mumps", "limited-memory", "exact", "adaptive", "none", ""]),
    st.floats(-10, 10),
    st.integers(-5, 3000),
)
option_names = st.one_of(st.sampled_from(OPTION_NAMES), st.text(max_size=12))


# Generated points overflow in the callbacks' arithmetic; NumPy warns.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@PROFILE
@given(
    options=st.dictionaries(option_names, option_values, max_size=4),
    positional=st.lists(scalars, max_size=2),
)
def test_set(options, positional):
    assume(not FILE_OPTIONS & set(options))
    problem = make_hs071(ipopt_options=BOUNDED_RUN)
    assert outcome(lambda: problem.set(*positional, **options)) is None
    if positional:
        return
    # Whatever was accepted, a later solve runs to some status.
    problem.set(**BOUNDED_RUN)
    result = outcome(lambda: problem.solve(x0()))
    if result is not None:
        assert isinstance(result[2], int)


# Generated points overflow in the callbacks' arithmetic; NumPy warns.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@PROFILE
@given(
    args=st.lists(st.one_of(scalars, arrays(lengths=st.sampled_from([0, 2, 4, 5]))), max_size=4),
    kwargs=st.dictionaries(
        st.sampled_from(["obj_scaling", "x_scaling", "g_scaling", "h_scaling"]),
        st.one_of(scalars, arrays(lengths=st.sampled_from([0, 2, 4, 5]))),
        max_size=2,
    ),
)
def test_set_problem_scaling(args, kwargs):
    problem = make_hs071(ipopt_options={**BOUNDED_RUN, "nlp_scaling_method": "user-scaling"})
    if outcome(lambda: problem.set_problem_scaling(*args, **kwargs)) is not None:
        pytest.fail("set_problem_scaling returned something other than None")
    # Accepted scaling factors (zero and negative ones included) reach
    # the solver on the next run.
    result = outcome(lambda: problem.solve(x0()))
    if result is not None:
        assert isinstance(result[2], int)


@PROFILE
@given(
    args=st.lists(anything, max_size=2),
    kwargs=st.dictionaries(st.text(max_size=5), scalars, max_size=2),
)
def test_get_ipopt_options(args, kwargs):
    result = outcome(lambda: vornel.get_ipopt_options(*args, **kwargs))
    if result is not None:
        assert not args and not kwargs
        assert [o["name"] for o in result] == OPTION_NAMES


# --- arrays that share memory or change during the run -------------------------

RESULT_ARRAYS = {"x0": 4, "mult_g": 2, "mult_x_L": 4, "mult_x_U": 4}


@PROFILE
@given(
    offsets=st.fixed_dictionaries(
        {name: st.one_of(st.none(), st.integers(0, 12)) for name in RESULT_ARRAYS}
    ).filter(lambda offsets: offsets["x0"] is not None)
)
def test_solve_with_views_of_one_buffer(problem, offsets):
    buffer = np.zeros(16)
    arrays = {
        name: buffer[offset : offset + RESULT_ARRAYS[name]]
        for name, offset in offsets.items()
        if offset is not None
    }
    arrays["x0"][:] = x0()
    names = [name for name in RESULT_ARRAYS if name in arrays]
    overlapping = [
        (a, b)
        for i, a in enumerate(names)
        for b in names[i + 1 :]
        if offsets[a] < offsets[b] + RESULT_ARRAYS[b] and offsets[b] < offsets[a] + RESULT_ARRAYS[a]
    ]
    before = buffer.copy()
    if overlapping:
        with pytest.raises(ValueError, match=f"^{overlapping[0][0]} and {overlapping[0][1]} share"):
            problem.solve(**arrays)
        np.testing.assert_array_equal(buffer, before)
    else:
        outcome(lambda: problem.solve(**arrays))


def _in_place(attribute, value):
    # Changing shape or dtype in place is what a hostile callback may still do, though
    # NumPy 2.5 deprecates it.
    def change(a):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            setattr(a, attribute, value(a))

    return change


CHANGES = {
    "grow": lambda a: a.resize(len(a) * 50, refcheck=False),
    "shrink": lambda a: a.resize(max(len(a) - 1, 0), refcheck=False),
    "same size": lambda a: a.resize(len(a), refcheck=False),
    "setstate": lambda a: a.__setstate__(np.arange(len(a) + 1.0).__reduce__()[2]),
    "read-only": lambda a: setattr(a.flags, "writeable", False),
    "reshape": _in_place("shape", lambda a: (len(a), 1)),
    "dtype": _in_place("dtype", lambda a: np.int64),
    "nothing": lambda a: None,
}


@PROFILE
@given(
    name=st.sampled_from(sorted(RESULT_ARRAYS)),
    change=st.sampled_from(sorted(CHANGES)),
    at_call=st.integers(1, 12),
    callback=st.sampled_from(["eval_f", "eval_grad_f", "eval_g", "eval_jac_g", "eval_h"]),
)
def test_arrays_changed_during_the_solve(name, change, at_call, callback):
    arrays = {n: np.zeros(size) for n, size in RESULT_ARRAYS.items()}
    arrays["x0"][:] = x0()
    target = arrays[name]
    calls = []
    original = getattr(problems, callback)

    def changing(*args):
        calls.append(1)
        if len(calls) == at_call:
            CHANGES[change](target)
        return original(*args)

    p = make_hs071(**{callback: changing}, ipopt_options=BOUNDED_RUN)
    try:
        p.solve(**arrays)
    except RuntimeError as error:
        assert str(error).startswith(f"{name} was resized, given other memory or made read-only")
        event("refused")
    else:
        # Only changes that leave the array the same memory pass; so does
        # a change made after the results were written (a run shorter than
        # at_call calls).
        assert change in ("same size", "nothing") or len(calls) < at_call
        event("returned")


# --- exceptions with unusual constructors ----------------------------------------


def _exception_class(draw_args, base):
    class Unusual(base):
        def __init__(self, *args):
            if len(args) != draw_args:
                raise TypeError(f"takes {draw_args} arguments")
            super().__init__(*args)

    return Unusual


@PROFILE
@given(
    base=st.sampled_from([Exception, ValueError, TypeError, LookupError, ArithmeticError]),
    arity=st.integers(0, 4),
    where=st.sampled_from(["n", "m", "obj_scaling", "set_problem_scaling"]),
)
def test_exceptions_with_unusual_constructors_pass_through(base, arity, where):
    error = _exception_class(arity, base)(*range(arity))

    class Raising:
        def __index__(self):
            raise error

        __float__ = __index__

    with pytest.raises(base) as info:
        if where == "set_problem_scaling":
            make_hs071().set_problem_scaling(Raising())
        else:
            vornel.Problem(**hs071_args(**{where: Raising()}))
    assert info.value is error
    assert info.value.args == tuple(range(arity))
    assert len(info.value.__notes__) == 1


# --- non-finite values ---------------------------------------------------------

special = st.sampled_from([np.nan, np.inf, -np.inf, 2e19, -2e19, 0.0, 1.0, -1.0])


@PROFILE
@given(
    values=st.fixed_dictionaries(
        {
            "x_l": st.lists(special, min_size=4, max_size=4),
            "x_u": st.lists(special, min_size=4, max_size=4),
            "g_l": st.lists(special, min_size=2, max_size=2),
            "g_u": st.lists(special, min_size=2, max_size=2),
            "x_scaling": st.lists(special, min_size=4, max_size=4),
            "obj_scaling": special,
        }
    )
)
def test_nan_bounds_and_non_finite_scaling_are_refused(values):
    args = {k: np.array(v) if isinstance(v, list) else v for k, v in values.items()}
    bad_bound = [k for k in ("x_l", "x_u", "g_l", "g_u") if np.isnan(args[k]).any()]
    bad_scaling = not np.isfinite(args["obj_scaling"]) or not np.isfinite(args["x_scaling"]).all()
    result = outcome(lambda: vornel.Problem(**hs071_args(**args, ipopt_options=BOUNDED_RUN)))
    if bad_bound or bad_scaling:
        assert result is None
        with pytest.raises(ValueError, match="is (nan|inf|-inf); a"):
            vornel.Problem(**hs071_args(**args))
    else:
        assert result is not None
        outcome(lambda: result.solve(x0()))
