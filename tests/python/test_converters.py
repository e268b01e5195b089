"""Conversion of constructor arguments: callbacks, bound arrays and sparsity patterns."""

import ctypes
import functools

import numpy as np
import pytest

import problems
import vornel
from problems import HESS, JAC_G, QUIET, hs071_args, make_hs071, x0

PREFIX = "vornel.Problem(): "
UNION = "must be Union[Callable, PyCapsule, scipy.LowLevelCallable], not "


def solve(problem):
    x = x0()
    _, f, status = problem.solve(x)
    return x, f, status


@pytest.fixture(scope="module")
def reference():
    """The HS071 run with plain float64 bounds and list sparsity."""
    return solve(make_hs071(ipopt_options=QUIET))


# ---------------------------------------------------------------- callbacks


class Objective:
    def value(self, x):
        return problems.eval_f(x)

    def __call__(self, x):
        return problems.eval_f(x)


class ObjectiveValue(float):
    """A class as callback: calling it builds a float from x."""

    def __new__(cls, x):
        return super().__new__(cls, problems.eval_f(x))


class GradientWriter:
    """A class whose construction writes the gradient; the instance is ignored."""

    def __init__(self, x, out):
        problems.eval_grad_f(x, out)


CALLABLE_FORMS = {
    "function": dict(eval_f=problems.eval_f),
    "lambda": dict(eval_f=lambda x: problems.eval_f(x)),
    "bound-method": dict(eval_f=Objective().value),
    "callable-instance": dict(eval_f=Objective()),
    "class": dict(eval_f=ObjectiveValue, eval_grad_f=GradientWriter),
    "partial": dict(eval_g=functools.partial(problems.eval_g)),
}


@pytest.mark.parametrize("overrides", CALLABLE_FORMS.values(), ids=CALLABLE_FORMS.keys())
@pytest.mark.filterwarnings("ignore:eval_grad_f returned a value:RuntimeWarning")
def test_every_kind_of_python_callable_is_a_callback(overrides, reference):
    x, f, status = solve(make_hs071(ipopt_options=QUIET, **overrides))
    assert status == 0
    np.testing.assert_allclose(x, reference[0], rtol=1e-9)
    assert f == pytest.approx(reference[1], rel=1e-12)


@pytest.mark.parametrize("name", ["eval_h", "intermediate_callback"])
def test_optional_callbacks_accept_none(name):
    assert isinstance(make_hs071(**{name: None}), vornel.Problem)


@pytest.mark.parametrize("name", ["eval_f", "eval_grad_f", "eval_g", "eval_jac_g"])
def test_required_callbacks_refuse_none(name):
    with pytest.raises(ValueError) as info:
        make_hs071(**{name: None})
    assert str(info.value) == f"{PREFIX}argument '{name}': {UNION}NoneType"


@pytest.mark.parametrize(
    "value, type_name",
    [
        (5, "int"),
        ("eval_f", "str"),
        ([problems.eval_f], "list"),
        ((problems.eval_f,), "tuple"),
        ((problems.eval_f, problems.eval_f), "tuple"),
        ((1, 2, 3, 4), "tuple"),
    ],
    ids=["int", "str", "list", "1-tuple", "2-tuple", "4-tuple"],
)
@pytest.mark.parametrize("name", ["eval_f", "eval_h", "intermediate_callback"])
def test_non_callables_get_the_union_message(name, value, type_name):
    with pytest.raises(ValueError) as info:
        make_hs071(**{name: value})
    assert str(info.value) == f"{PREFIX}argument '{name}': {UNION}{type_name}"


@pytest.mark.parametrize(
    "value", [(1, 2, 3), (problems.eval_f, None, None)], ids=["ints", "callable-first"]
)
def test_a_three_tuple_is_taken_for_a_low_level_callable(value):
    # Even a callable first item does not make it a Python callback.
    with pytest.raises(ValueError) as info:
        make_hs071(eval_grad_f=value)
    assert str(info.value) == f"{PREFIX}argument eval_grad_f: invalid PyCapsule with name ''"


def _capsule(name):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    # Any non-null address will do: construction only reads the pointer.
    address = ctypes.cast(ctypes.pythonapi.Py_IncRef, ctypes.c_void_p).value
    return new(address, name, None)


@pytest.mark.parametrize(
    "name",
    [None, b"", b"double (double *, void *)", b"anything"],
    ids=["unnamed", "empty", "signature", "other"],
)
def test_capsules_of_any_name_are_accepted(name):
    capsule = _capsule(name)
    assert isinstance(make_hs071(eval_f=capsule), vornel.Problem)
    assert isinstance(make_hs071(eval_h=(capsule, None, None)), vornel.Problem)


def test_scipy_low_level_callable_is_accepted_by_its_shape():
    scipy = pytest.importorskip("scipy")
    callable_ = scipy.LowLevelCallable(_capsule(b"anything"))
    assert isinstance(
        make_hs071(eval_grad_f=callable_, intermediate_callback=callable_), vornel.Problem
    )


# ---------------------------------------------------------------- bound arrays

BOUNDS = hs071_args()


class Bounds(np.ndarray):
    pass


def _strided(values):
    # Every other element; the ones in between would change the bounds if
    # they were read.
    spread = np.full(2 * len(values), 123.0)
    spread[::2] = values
    return spread[::2]


def _reversed(values):
    return np.ascontiguousarray(values[::-1])[::-1]


def _unaligned(values):
    buffer = bytearray(8 * len(values) + 1)
    array = np.frombuffer(buffer, dtype=np.float64, offset=1, count=len(values))
    array[:] = values
    assert not array.flags.aligned
    return array


ARRAY_FORMS = {
    "subclass": lambda v: v.view(Bounds),
    "int32": lambda v: v.astype(np.int32),
    "int64": lambda v: v.astype(np.int64),
    "uint16": lambda v: v.astype(np.uint16),
    "float32": lambda v: v.astype(np.float32),
    "float16": lambda v: v.astype(np.float16),
    "byte-swapped": lambda v: v.astype(">f8" if np.little_endian else "<f8"),
    "strided": _strided,
    "negative-stride": _reversed,
    "unaligned": _unaligned,
    "read-only": lambda v: np.frombuffer(v.tobytes(), dtype=np.float64),
}

# The upper bound 2e19 of the first constraint stands for infinity and has no
# integer or half-precision representation.
ARRAY_CASES = [
    pytest.param(name, form, id=f"{name}-{form_id}")
    for name in ("x_l", "x_u", "g_l", "g_u")
    for form_id, form in ARRAY_FORMS.items()
    if not (name == "g_u" and form_id in ("int32", "int64", "uint16", "float16"))
]


@pytest.mark.parametrize("name, form", ARRAY_CASES)
def test_other_numeric_arrays_convert_to_the_same_bounds(name, form, reference):
    converted = form(BOUNDS[name].copy())
    x, f, status = solve(make_hs071(ipopt_options=QUIET, **{name: converted}))
    assert status == 0
    np.testing.assert_array_equal(x, reference[0])
    assert f == reference[1]


def test_bool_bounds_convert_to_zero_and_one(reference):
    # Lower bounds of 1 given as True must solve like 1.0.
    x, f, status = solve(make_hs071(x_l=np.ones(4, dtype=bool), ipopt_options=QUIET))
    assert status == 0
    np.testing.assert_array_equal(x, reference[0])


def test_converted_bounds_are_copies():
    x_l = np.ones(4)
    problem = make_hs071(x_l=x_l, ipopt_options=QUIET)
    x_l[:] = 4.9  # would make the problem infeasible if it were still read
    assert solve(problem)[2] == 0


@pytest.mark.parametrize(
    "dtype",
    [np.complex128, object, "U3", "S3", "datetime64[s]"],
    ids=["complex", "object", "str", "bytes", "datetime"],
)
@pytest.mark.parametrize("name", ["x_l", "g_u", "x_scaling", "g_scaling"])
def test_arrays_that_do_not_cast_safely_are_refused(name, dtype):
    size = 4 if name.startswith("x") else 2
    array = np.zeros(size, dtype=dtype)
    with pytest.raises(TypeError) as info:
        make_hs071(**{name: array})
    assert str(info.value) == (
        f"{PREFIX}argument '{name}': numpy.ndarray dtype must cast safely to float64, "
        f"not {array.dtype}"
    )


@pytest.mark.parametrize(
    "value, type_name",
    [([1.0] * 4, "list"), ((1.0,) * 4, "tuple"), (None, "NoneType"), (1.0, "float")],
    ids=["list", "tuple", "None", "float"],
)
@pytest.mark.parametrize("name", ["x_l", "x_u", "g_l", "g_u"])
def test_bounds_must_be_arrays(name, value, type_name):
    with pytest.raises(TypeError) as info:
        make_hs071(**{name: value})
    assert str(info.value) == f"{PREFIX}argument '{name}' must be numpy.ndarray, not {type_name}"


@pytest.mark.parametrize("name", ["x_scaling", "g_scaling"])
def test_scaling_arrays_must_be_arrays_or_none(name):
    assert isinstance(make_hs071(**{name: None}), vornel.Problem)
    with pytest.raises(TypeError) as info:
        make_hs071(**{name: [1.0]})
    assert str(info.value) == f"{PREFIX}argument '{name}' must be numpy.ndarray, not list"


@pytest.mark.parametrize(
    "array, ndim",
    [(np.ones((4, 1)), 2), (np.ones((1, 1, 4)), 3), (np.array(1.0), 0)],
    ids=["2-D", "3-D", "0-D"],
)
@pytest.mark.parametrize("name", ["x_l", "x_u", "g_l", "g_u", "x_scaling", "g_scaling"])
def test_arrays_must_be_one_dimensional(name, array, ndim):
    with pytest.raises(ValueError) as info:
        make_hs071(**{name: array})
    assert str(info.value) == (
        f"{PREFIX}argument '{name}': numpy.ndarray dimension must be 1, not {ndim}"
    )


# ---------------------------------------------------------------- sparsity


class Pair(tuple):
    pass


class IndexArray(np.ndarray):
    pass


SPARSITY_FORMS = {
    "tuple-of-tuples": lambda rows, cols: (tuple(rows), tuple(cols)),
    "generators": lambda rows, cols: ((r for r in rows), (c for c in cols)),
    "int32-arrays": lambda rows, cols: (np.array(rows, np.int32), np.array(cols, np.int32)),
    "int64-arrays": lambda rows, cols: (np.array(rows, np.int64), np.array(cols, np.int64)),
    "uint8-arrays": lambda rows, cols: (np.array(rows, np.uint8), np.array(cols, np.uint8)),
    "uint64-arrays": lambda rows, cols: (np.array(rows, np.uint64), np.array(cols, np.uint64)),
    "strided-int16-arrays": lambda rows, cols: (
        np.repeat(np.array(rows, np.int16), 2)[::2],
        np.array(cols, ">i8"),
    ),
    "array-subclass": lambda rows, cols: (np.array(rows).view(IndexArray), np.array(cols)),
    "numpy-scalars": lambda rows, cols: ([np.int16(r) for r in rows], list(cols)),
    "tuple-subclass": lambda rows, cols: Pair((rows, cols)),
    "iterators": lambda rows, cols: (iter(rows), map(int, cols)),
}


@pytest.mark.parametrize("form", SPARSITY_FORMS.values(), ids=SPARSITY_FORMS.keys())
def test_any_iterable_of_integers_is_a_sparsity_sequence(form, reference):
    problem = make_hs071(
        sparsity_indices_jac_g=form(*JAC_G), sparsity_indices_h=form(*HESS), ipopt_options=QUIET
    )
    x, f, status = solve(problem)
    assert status == 0
    np.testing.assert_array_equal(x, reference[0])


@pytest.mark.parametrize(
    "sparsity",
    [(range(3), range(3)), ((i for i in range(3)), [0, 0, 0]), ([0, 1, True + 1], [0] * 3)],
    ids=["range", "generator", "bool"],
)
def test_sparsity_values_are_read_from_the_iterable(sparsity):
    # The third row index, 2, lies beyond m = 2: the check sees what was read.
    with pytest.raises(ValueError) as info:
        make_hs071(sparsity_indices_jac_g=sparsity)
    assert str(info.value) == (
        f"{PREFIX}sparsity_indices_jac_g: row index 2 at position 2 is out of range [0, 2)"
    )


def test_empty_sparsity_patterns_are_valid():
    assert isinstance(
        make_hs071(sparsity_indices_jac_g=((), []), sparsity_indices_h=([], ())), vornel.Problem
    )


def _failing_generator():
    yield 0
    raise RuntimeError("broken")


SPARSITY_FAILURES = {
    "list-outer": ([[0], [0]], TypeError, "Sparsity info: a tuple is needed."),
    "dict-outer": ({0: 0, 1: 0}, TypeError, "Sparsity info: a tuple is needed."),
    "none-outer": (None, TypeError, "Sparsity info: a tuple is needed."),
    "one-item": (
        ([0],),
        TypeError,
        "Sparsity info: a tuple of size 2 is needed. Found tuple of size 1",
    ),
    "three-items": (
        ([0], [0], [0]),
        TypeError,
        "Sparsity info: a tuple of size 2 is needed. Found tuple of size 3",
    ),
    "row-not-iterable": ((5, [0]), TypeError, "Sparsity info: a sequence is needed."),
    "column-not-iterable": (([0], None), TypeError, "Sparsity info: a sequence is needed."),
    "iteration-raises": (
        lambda: (_failing_generator(), [0, 0]),
        TypeError,
        "Sparsity info: a sequence is needed.",
    ),
    "float-first": (([0.0], [0]), TypeError, "Sparsity info[0]: invalid type. Expected int"),
    "float-later": (([0, 1], [0, 1.5]), TypeError, "Sparsity info[1]: invalid type. Expected int"),
    "float-array": (
        (np.zeros(2), [0, 1]),
        TypeError,
        "Sparsity info[0]: invalid type. Expected int",
    ),
    "string": (("01", [0, 1]), TypeError, "Sparsity info[0]: invalid type. Expected int"),
    "none-item": (([0, None], [0, 1]), TypeError, "Sparsity info[1]: invalid type. Expected int"),
    "unequal": (
        ([0, 1, 1], [0, 1]),
        ValueError,
        "Sparsity info: length of row indices (3) does not match lenth of column indices (2)",
    ),
    "unequal-empty-rows": (
        ([], [0]),
        ValueError,
        "Sparsity info: length of row indices (0) does not match lenth of column indices (1)",
    ),
    "beyond-int32": (
        ([2**31], [0]),
        ValueError,
        "Sparsity info[0]: 2147483648 does not fit a 32-bit signed integer",
    ),
    "below-int32": (
        ([-(2**31) - 1], [0]),
        ValueError,
        "Sparsity info[0]: -2147483649 does not fit a 32-bit signed integer",
    ),
    "beyond-32-bits-wrapping-to-valid": (
        ([0, 2**32], [0, 0]),
        ValueError,
        "Sparsity info[1]: 4294967296 does not fit a 32-bit signed integer",
    ),
    "int64-array-beyond-int32": (
        (np.array([0, 2**31]), [0, 0]),
        ValueError,
        "Sparsity info[1]: 2147483648 does not fit a 32-bit signed integer",
    ),
    "uint64-array-beyond-int64": (
        (np.array([2**63 + 1], np.uint64), [0]),
        ValueError,
        f"Sparsity info[0]: {2**63 + 1} does not fit a 32-bit signed integer",
    ),
    "bool-array": (
        (np.array([True, False]), [0, 0]),
        TypeError,
        "Sparsity info[0]: invalid type. Expected int",
    ),
    "beyond-int64": (
        ([2**70], [0]),
        ValueError,
        f"Sparsity info[0]: {2**70} does not fit a 32-bit signed integer",
    ),
}


@pytest.mark.parametrize(
    "sparsity, error, message", SPARSITY_FAILURES.values(), ids=SPARSITY_FAILURES.keys()
)
@pytest.mark.parametrize("name", ["sparsity_indices_jac_g", "sparsity_indices_h"])
def test_bad_sparsity_patterns_are_refused(name, sparsity, error, message):
    if callable(sparsity):
        sparsity = sparsity()  # a fresh generator for every run
    with pytest.raises(error) as info:
        make_hs071(**{name: sparsity})
    assert type(info.value) is error
    assert str(info.value) == f"{PREFIX}{name}: {message}"


@pytest.mark.parametrize("form", ["csr_matrix", "csc_array", "coo_array"])
def test_sparse_matrices_give_their_coordinate_pattern(form):
    sparse = pytest.importorskip("scipy.sparse")
    dense = np.array([[1.0, 1.0, 1.0, 1.0], [1.0, 1.0, 0.0, 1.0]])
    matrix = getattr(sparse, form)(dense)
    if form != "coo_array":
        matrix.data[:] = 0.0  # explicit zeros stay in the pattern
    coo = matrix.tocoo()
    order = list(zip(coo.row.tolist(), coo.col.tolist(), strict=True))
    seen = []

    def eval_jac_g(x, out):
        # The values in the coo form's order, from the dense Jacobian.
        full = np.empty((2, 4))
        eval_jac_g_dense(x, full)
        out[:] = [full[r, c] for r, c in order]
        seen.append(len(out))

    problem = make_hs071(
        sparsity_indices_jac_g=matrix,
        sparsity_indices_h=sparse.csr_array(np.tril(np.ones((4, 4)))),
        eval_jac_g=eval_jac_g,
    )
    report = problem.check(x0())
    assert seen[0] == 7
    # The third column of the second constraint is missing: found by the check.
    found = [(m.callback, m.row, m.column, m.index) for m in report.mismatches]
    assert found[0] == ("eval_jac_g", 1, 2, None)
    # The Hessian follows the given pattern; only the entry the wrong
    # Jacobian spoils differs.
    assert found[1:] == [("eval_h", 2, 2, 5)]


def eval_jac_g_dense(x, out):
    out[0] = [x[1] * x[2] * x[3], x[0] * x[2] * x[3], x[0] * x[1] * x[3], x[0] * x[1] * x[2]]
    out[1] = 2.0 * x


@pytest.mark.parametrize("name", ["sparsity_indices_jac_g", "sparsity_indices_h"])
def test_a_failing_tocoo_is_reported_with_the_argument_name(name):
    class Broken:
        def tocoo(self):
            raise ZeroDivisionError("no coo")

    with pytest.raises(ZeroDivisionError) as info:
        make_hs071(**{name: Broken()})
    assert str(info.value) == f"{PREFIX}{name}: no coo"
