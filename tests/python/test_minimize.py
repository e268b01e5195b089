"""vornel.minimize and vornel.ipopt: SciPy's constrained test problems
through both front doors, sparse patterns, grouped differences, results,
callbacks, warm starts and the errors a person reads."""

import re

import numpy as np
import pytest

scipy = pytest.importorskip("scipy")
import scipy.optimize as so  # noqa: E402
import scipy.sparse as sp  # noqa: E402
from scipy.sparse.linalg import aslinearoperator  # noqa: E402

import vornel  # noqa: E402
from vornel import _matrices  # noqa: E402

# SciPy's constrained test problems (scipy/optimize/tests/test_minimize_constrained.py),
# restated: objective, gradient, Hessian, constraints by kind of derivative,
# bounds, start and the known solution (x, and f where x is not unique).


def maratos_constraint(variant):
    jac = {"exact": lambda x: [[2 * x[0], 2 * x[1]]]}.get(variant, "2-point")
    hess = (lambda x, v: 2 * v[0] * np.eye(2)) if variant == "exact" else so.SR1()
    return so.NonlinearConstraint(lambda x: x[0] ** 2 + x[1] ** 2, 1, 1, jac, hess)


def hyperbolic_constraint(variant):
    jac = {"exact": lambda x: [[-1 / (x[0] + 1) ** 2, -1]]}.get(variant, "3-point")
    hess = (
        (lambda x, v: 2 * v[0] * np.array([[1 / (x[0] + 1) ** 3, 0], [0, 0]]))
        if variant == "exact"
        else so.BFGS()
    )
    return so.NonlinearConstraint(lambda x: 1 / (x[0] + 1) - x[1], 0.25, np.inf, jac, hess)


def rosen_start(n=2):
    return np.random.RandomState(0).uniform(-1, 1, n)


def elec(n_e):
    """Electrons on a sphere (COPS 2): the potential, its derivatives and
    the sphere as one NonlinearConstraint with a sparse Jacobian."""

    def deltas(x):
        c = x.reshape(3, n_e)
        return [c[k][:, None] - c[k] for k in range(3)]

    def fun(x):
        d2 = sum(d**2 for d in deltas(x))
        np.fill_diagonal(d2, np.inf)
        return 0.5 * np.sum(d2**-0.5)

    def grad(x):
        ds = deltas(x)
        d2 = sum(d**2 for d in ds)
        np.fill_diagonal(d2, np.inf)
        return np.hstack([-np.sum(d * d2**-1.5, axis=1) for d in ds])

    def hess(x):
        ds = deltas(x)
        d2 = sum(d**2 for d in ds)
        np.fill_diagonal(d2, np.inf)
        dm3, dm5 = d2**-1.5, d2**-2.5
        blocks = [
            [(dm3 if a == b else 0) - 3 * ds[a] * ds[b] * dm5 for b in range(3)] for a in range(3)
        ]
        for row in blocks:
            for block in row:
                np.fill_diagonal(block, 0)
                np.fill_diagonal(block, -block.sum(axis=1))
        return np.block(blocks)

    def constraint(variant):
        def c(x):
            return np.sum(x.reshape(3, n_e) ** 2, axis=0) - 1

        def jac(x):
            return sp.csc_array(np.hstack([2 * np.diag(v) for v in x.reshape(3, n_e)]))

        def chess(x, v):
            return sp.csr_array(np.diag(np.tile(2 * v, 3)))

        if variant == "exact":
            return so.NonlinearConstraint(c, -np.inf, 0, jac, chess)
        if variant == "quasi-newton":
            return so.NonlinearConstraint(c, -np.inf, 0, jac, so.SR1())
        return so.NonlinearConstraint(c, -np.inf, 0, "3-point", so.SR1())

    rng = np.random.RandomState(0)
    phi, theta = rng.uniform(0, 2 * np.pi, n_e), rng.uniform(-np.pi, np.pi, n_e)
    x0 = np.hstack([np.cos(theta) * np.cos(phi), np.cos(theta) * np.sin(phi), np.sin(theta)])
    return fun, grad, hess, constraint, x0


def maratos_f(x):
    return 2 * (x[0] ** 2 + x[1] ** 2 - 1) - x[0]


def maratos_g(x):
    return np.array([4 * x[0] - 1, 4 * x[1]])


def hyperbolic_f(x):
    return 0.5 * (x[0] - 2) ** 2 + 0.5 * (x[1] - 0.5) ** 2


def hyperbolic_g(x):
    return [x[0] - 2, x[1] - 0.5]


elec_f, elec_g, elec_h, elec_c, elec_x0 = elec(2)
maratos_x0 = [np.cos(np.pi / 3), np.sin(np.pi / 3)]

# name: fun, grad, hess, constraints(variant), bounds, x0, x_opt, f_opt
PROBLEMS = {
    "Maratos": (
        maratos_f,
        maratos_g,
        lambda x: 4 * np.eye(2),
        maratos_constraint,
        None,
        maratos_x0,
        [1.0, 0.0],
        None,
    ),
    "HyperbolicIneq": (
        hyperbolic_f,
        hyperbolic_g,
        lambda x: np.eye(2),
        hyperbolic_constraint,
        so.Bounds(0, np.inf),
        [0, 0],
        [1.952823, 0.088659],
        None,
    ),
    "Rosenbrock": (
        so.rosen,
        so.rosen_der,
        so.rosen_hess,
        lambda variant: (),
        None,
        rosen_start(),
        [1.0, 1.0],
        None,
    ),
    "IneqRosenbrock": (
        so.rosen,
        so.rosen_der,
        so.rosen_hess,
        lambda variant: so.LinearConstraint([[1, 2]], -np.inf, 1),
        None,
        [-1, -0.5],
        [0.5022, 0.2489],
        None,
    ),
    "EqIneqRosenbrock": (
        so.rosen,
        so.rosen_der,
        so.rosen_hess,
        lambda variant: (
            so.LinearConstraint([[1, 2]], -np.inf, 1),
            so.LinearConstraint(sp.csr_array([[2.0, 1.0]]), 1, 1),
        ),
        None,
        [-1, -0.5],
        [0.41494, 0.17011],
        None,
    ),
    "BoundedRosenbrock": (
        so.rosen,
        so.rosen_der,
        so.rosen_hess,
        lambda variant: (),
        so.Bounds([-2, 0], [0, 2]),
        [-0.2, 0.2],
        [0.0, 0.0],
        1.0,
    ),
    "Elec": (elec_f, elec_g, elec_h, elec_c, None, elec_x0, None, 0.5),
}
# How the derivatives are given: all exact; exact first derivatives with the
# quasi-Newton approximation; finite differences (objective and constraints).
VARIANTS = ("exact", "quasi-newton", "finite-differences")


def scipy_door(fun, x0, **kwargs):
    options = kwargs.pop("options", None) or {}
    return so.minimize(fun, x0, method=vornel.ipopt, options=options, **kwargs)


DOORS = {"vornel.minimize": vornel.minimize, "scipy method=vornel.ipopt": scipy_door}


@pytest.mark.parametrize("door", DOORS.values(), ids=DOORS.keys())
@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("name", PROBLEMS)
def test_scipys_constrained_problems_reach_their_solutions(name, variant, door):
    fun, grad, hess, constraints, bounds, x0, x_opt, f_opt = PROBLEMS[name]
    jac = {"exact": grad, "quasi-newton": grad}.get(variant, "3-point")
    res = door(
        fun,
        x0,
        jac=jac,
        hess=hess if variant == "exact" else None,
        bounds=bounds,
        constraints=constraints(variant),
    )
    assert res.success, res.message
    assert isinstance(res.status, vornel.Status)
    # SciPy turns jac='3-point' into None, forward differences, for a method
    # of its own: their noise bounds the accuracy.
    forward = variant == "finite-differences" and door is scipy_door
    if x_opt is not None:
        np.testing.assert_array_almost_equal(res.x, x_opt, decimal=4)
    if f_opt is not None:
        assert res.fun == pytest.approx(f_opt, abs=1e-4 if forward else 1e-7)
    assert res.fun == pytest.approx(fun(res.x), rel=1e-12, abs=1e-14)
    assert res.maxcv < 1e-7
    exact_hessian = variant == "exact"
    assert (res.nhev > 0) == exact_hessian
    assert res.njev == (0 if variant == "finite-differences" else res.njev) and res.nfev > 0


@pytest.mark.parametrize("door", DOORS.values(), ids=DOORS.keys())
def test_args_and_a_pair_of_value_and_gradient_reach_the_functions(door):
    seen = []

    def fun(x, a, b):
        seen.append((a, b))
        return maratos_f(x), maratos_g(x)

    res = door(fun, maratos_x0, args=("a", 234), jac=True, constraints=maratos_constraint("exact"))
    np.testing.assert_allclose(res.x, [1.0, 0.0], atol=1e-6)
    assert set(seen) == {("a", 234)}
    # One call of fun serves the value and the gradient at a point.
    assert res.nfev == len(seen) <= res.solve_result.evaluations["n_eval_f"] + 1


def test_old_style_dicts_mix_with_constraint_objects():
    # SciPy's SLSQP example (Nocedal and Wright, Example 16.4), with one
    # constraint as a LinearConstraint and one with args.
    cons = [
        {"type": "ineq", "fun": lambda x: x[0] - 2 * x[1] + 2},
        {
            "type": "ineq",
            "fun": lambda x, c: -x[0] - 2 * x[1] + c,
            "args": (6,),
            "jac": lambda x, c: np.array([-1.0, -2.0]),
        },
        so.LinearConstraint([[-1, 2]], -2, np.inf),
    ]
    res = vornel.minimize(
        lambda x: (x[0] - 1) ** 2 + (x[1] - 2.5) ** 2,
        (2, 0),
        bounds=((0, None), (0, None)),
        constraints=cons,
    )
    np.testing.assert_allclose(res.x, [1.4, 1.7], atol=1e-6)
    # The active first constraint (fun >= 0 at its lower limit) has a negative
    # multiplier in trust-constr's convention: -0.8, SLSQP's 0.8.
    np.testing.assert_allclose([v[0] for v in res.v[:3]], [-0.8, 0, 0], atol=1e-6)
    assert [c.shape for c in res.constr] == [(1,), (1,), (1,), (2,)]
    np.testing.assert_allclose(res.constr[3], res.x)


def test_the_result_has_every_field_and_a_status_by_name():
    res = vornel.minimize(
        so.rosen,
        [0.5, 0.5],
        jac=so.rosen_der,
        bounds=[(None, 0.8), (None, None)],
        constraints=so.NonlinearConstraint(lambda x: x[0] + x[1], -np.inf, 1.5, lambda x: [1, 1]),
    )
    documented = {
        "x",
        "fun",
        "jac",
        "success",
        "status",
        "message",
        "nit",
        "nfev",
        "njev",
        "nhev",
        "maxcv",
    }
    assert documented <= set(res)
    assert isinstance(res, so.OptimizeResult) and isinstance(res.status, vornel.Status)
    assert type(res.message) is str and res.message == res.status.explanation
    assert (
        isinstance(res.solve_result, vornel.SolveResult) and res.nit == res.solve_result.iterations
    )
    np.testing.assert_allclose(res.jac, so.rosen_der(res.x), rtol=1e-10)
    # x0 bound at 0.8 is active (upper: positive multiplier), so is the constraint.
    assert res.x[0] == pytest.approx(0.8, abs=1e-7)
    assert res.v[-1][0] > 0 and res.v[0][0] > 0
    # Stationarity of the Lagrangian f + v.c (up to the move of x back into
    # the bound that Ipopt relaxed by 1e-8, times Rosenbrock's curvature).
    np.testing.assert_allclose(res.jac + res.v[-1] + res.v[0][0] * np.ones(2), 0, atol=1e-4)
    assert res.constr_njev[0] > 0 and res.constr_nfev[0] > 0


# Sparse matrices: pattern of the first evaluation, read by index maps.


def dense_and_sparse_forms(a):
    """The same matrix as dense, CSR, CSC, and COO with its entries shuffled
    and split into duplicates."""
    coo = sp.coo_array(a)
    rng = np.random.default_rng(1)
    order = rng.permutation(coo.nnz)
    rows, cols, data = coo.row[order], coo.col[order], coo.data[order]
    split = sp.coo_array(
        (np.concatenate([data / 2, data / 2]), (np.tile(rows, 2), np.tile(cols, 2))), a.shape
    )
    return {"dense": a, "csr": sp.csr_array(a), "csc": sp.csc_matrix(a), "coo duplicated": split}


@pytest.mark.parametrize("lower", [False, True], ids=["jacobian", "hessian"])
def test_every_form_reads_into_the_same_pattern(lower):
    rng = np.random.default_rng(0)
    a = np.where(rng.random((6, 6)) < 0.4, rng.normal(size=(6, 6)), 0.0)
    a = a + a.T if lower else a
    pattern, first = _matrices.Pattern.of("f", sp.csr_array(a), (6, 6), lower=lower)
    expected = a[pattern.rows, pattern.cols]
    np.testing.assert_array_equal(first, expected)
    for form in dense_and_sparse_forms(a).values():
        np.testing.assert_allclose(pattern.values(form), expected, rtol=1e-15)
        # The same structure twice takes the cached map.
        np.testing.assert_allclose(pattern.values(form), expected, rtol=1e-15)
    # A subset of the pattern (a zero dropped) reads as zero there.
    b = a.copy()
    b[pattern.rows[0], pattern.cols[0]] = 0
    b[pattern.cols[0], pattern.rows[0]] = 0
    np.testing.assert_allclose(pattern.values(sp.csr_array(b)), b[pattern.rows, pattern.cols])


OUTSIDE = {
    "sparse": lambda a: sp.csr_array(a),
    "dense": lambda a: a,
}


@pytest.mark.parametrize("form", OUTSIDE.values(), ids=OUTSIDE.keys())
def test_a_nonzero_outside_the_pattern_names_the_function_and_position(form):
    a = np.diag([1.0, 2.0, 3.0])
    pattern, _ = _matrices.Pattern.of("constraints[0].jac", sp.csr_array(a), (3, 3))
    b = a.copy()
    b[2, 0] = 5.0
    with pytest.raises(
        ValueError,
        match=r"constraints\[0\]\.jac returned a nonzero at \(2, 0\), "
        "outside the sparsity pattern of its first evaluation",
    ):
        pattern.values(form(b))
    # An explicit zero outside carries nothing and passes.
    c = sp.coo_array(([1.0, 2.0, 3.0, 0.0], ([0, 1, 2, 2], [0, 1, 2, 0])), (3, 3))
    np.testing.assert_array_equal(pattern.values(c), [1.0, 2.0, 3.0])


def test_a_hessian_with_only_its_upper_triangle_is_refused():
    upper = sp.csr_array(np.triu(np.ones((3, 3))))
    with pytest.raises(
        ValueError,
        match=r"hess returned a nonzero at \(0, 1\) above the "
        r"diagonal without its mirror \(1, 0\)",
    ):
        _matrices.Pattern.of("hess", upper, (3, 3), lower=True)


def chain(n):
    """A chain of n variables with n - 1 nonlinear constraints of two
    neighbours each: a sparse Jacobian (two entries a row)."""

    def fun(x):
        return np.sum((x - 2.0) ** 2) + np.sum(x[:-1] * x[1:])

    def grad(x):
        g = 2 * (x - 2.0)
        g[:-1] += x[1:]
        g[1:] += x[:-1]
        return g

    def cons(x):
        return x[:-1] ** 2 + x[1:] ** 2

    rows = np.repeat(np.arange(n - 1), 2)
    cols = (np.arange(n - 1)[:, None] + [0, 1]).ravel()

    def cons_jac(x):
        values = np.column_stack([2 * x[:-1], 2 * x[1:]]).ravel()
        return sp.csr_array((values, (rows, cols)), shape=(n - 1, n))

    sparsity = sp.csr_array((np.ones(rows.size), (rows, cols)), shape=(n - 1, n))
    return fun, grad, cons, cons_jac, sparsity, np.full(n, 0.5)


@pytest.mark.parametrize("method", ["2-point", "3-point", "cs"])
def test_grouped_differences_cost_groups_evaluations_and_keep_the_iterations(method):
    n = 2000
    fun, grad, cons, cons_jac, sparsity, x0 = chain(n)
    exact = vornel.minimize(
        fun, x0, jac=grad, constraints=so.NonlinearConstraint(cons, -np.inf, 1.0, cons_jac)
    )
    grouped = vornel.minimize(
        fun,
        x0,
        jac=grad,
        constraints=so.NonlinearConstraint(
            cons, -np.inf, 1.0, method, finite_diff_jac_sparsity=sparsity
        ),
    )
    assert exact.success and grouped.success
    assert abs(grouped.nit - exact.nit) <= 2
    np.testing.assert_allclose(grouped.x, exact.x, atol=1e-6)
    # Two groups (a chain's columns alternate); 2-point reuses fun(x).
    per_jacobian = {"2-point": 2, "3-point": 4, "cs": 2}[method]
    stats = grouped.solve_result.evaluations
    jacobians = stats["n_eval_jac_g_ineq"]
    assert grouped.constr_nfev[0] <= per_jacobian * jacobians + stats["n_eval_g_ineq"] + 1


@pytest.mark.parametrize(("method", "per_gradient"), [("2-point", 4), ("3-point", 8), ("cs", 4)])
def test_the_objectives_gradient_by_differences(method, per_gradient):
    def fun(x):
        return np.sum(np.exp(x) * np.arange(1, 5)) + x[0] * x[1]

    res = vornel.minimize(fun, np.zeros(4), jac=method, bounds=[(-3, 3)] * 4, tol=1e-9)
    exact = vornel.minimize(
        fun,
        np.zeros(4),
        tol=1e-9,
        bounds=[(-3, 3)] * 4,
        jac=lambda x: np.exp(x) * np.arange(1, 5) + np.array([x[1], x[0], 0, 0]),
    )
    np.testing.assert_allclose(res.x, exact.x, atol=1e-5)
    gradients = res.solve_result.evaluations["n_eval_grad_f"]
    # fun(x) itself comes from the value the solver asked for at the same
    # point; the result may take one more value and gradient at the final x.
    values = res.solve_result.evaluations["n_eval_f"] + 1
    assert res.nfev <= per_gradient * (gradients + 1) + values
    assert res.njev == 0


def test_dense_differences_without_a_declared_sparsity():
    fun, grad, cons, cons_jac, _, x0 = chain(30)
    res = vornel.minimize(fun, x0, jac=grad, constraints=so.NonlinearConstraint(cons, -np.inf, 1.0))
    exact = vornel.minimize(
        fun, x0, jac=grad, constraints=so.NonlinearConstraint(cons, -np.inf, 1.0, cons_jac)
    )
    np.testing.assert_allclose(res.x, exact.x, atol=1e-6)
    jacobians = res.solve_result.evaluations["n_eval_jac_g_ineq"]
    assert res.constr_nfev[0] >= 30 * jacobians  # one evaluation a column


def test_a_sparse_jacobian_that_grows_beyond_its_first_pattern_is_an_error():
    def jac(x):
        # Built from a dense array: the zero at x0 is dropped from the pattern.
        return sp.csr_array(np.array([[x[0] - 0.5, 1.0]]))

    with pytest.raises(ValueError, match=r"constraints\[0\]\.jac returned a nonzero at \(0, 0\)"):
        vornel.minimize(
            lambda x: x @ x,
            [0.5, 1.0],
            constraints=so.NonlinearConstraint(lambda x: x[0] ** 2 / 2 + x[1], 1, 1, jac),
        )


def test_linear_constraints_give_their_jacobian_once():
    res = vornel.minimize(
        so.rosen,
        [-1, -0.5],
        jac=so.rosen_der,
        constraints=[
            so.LinearConstraint([[1, 2]], -np.inf, 1),
            so.LinearConstraint([[2, 1]], 1, 1),
        ],
    )
    stats = res.solve_result.evaluations
    assert stats["n_eval_jac_g_eq"] == 1 and stats["n_eval_jac_g_ineq"] == 1, stats
    np.testing.assert_allclose(res.x, [0.41494, 0.17011], atol=1e-5)


def test_one_constraint_without_a_hessian_makes_the_whole_problem_quasi_newton():
    res = vornel.minimize(
        maratos_f,
        maratos_x0,
        jac=maratos_g,
        hess=lambda x: 4 * np.eye(2),
        constraints=[
            maratos_constraint("exact"),
            so.NonlinearConstraint(lambda x: x[1], -1, 1, lambda x: [[0, 1]]),
        ],
    )
    assert res.success and res.nhev == 0 and res.constr_nhev == [0, 0]


# Bounds kept feasible, warm starts, callbacks, options.


def test_kept_bounds_hold_at_every_evaluation_finite_differences_included():
    # SciPy's gh-11649: steps must not leave bounds kept feasible.
    bounds = so.Bounds([-1, -1], [1, 1], keep_feasible=True)
    points = []

    def inside(x):
        points.append(x.copy())
        return x

    res = vornel.minimize(
        lambda x: (
            lambda y: (
                np.exp(y[0]) * (4 * y[0] ** 2 + 2 * y[1] ** 2 + 4 * y[0] * y[1] + 2 * y[1] + 1)
            )
        )(inside(x)),
        [0.99, -0.99],
        bounds=bounds,
        constraints=[
            so.NonlinearConstraint(lambda x: inside(x)[0] * x[1], -10, np.inf),
            so.NonlinearConstraint(
                lambda x: inside(x)[0] ** 2 + x[1], 1, 1, jac=lambda x: np.array([2 * x[0], 1])
            ),
        ],
    )
    assert res.success
    points = np.array(points)
    assert np.all(points >= -1) and np.all(points <= 1)


@pytest.mark.parametrize("door", DOORS.values(), ids=DOORS.keys())
def test_a_previous_result_starts_warm(door):
    fun, grad, hess, constraints, bounds, x0, x_opt, _ = PROBLEMS["HyperbolicIneq"]
    kwargs = dict(jac=grad, hess=hess, bounds=bounds, constraints=constraints("exact"))
    cold = door(fun, x0, **kwargs)
    warm = door(fun, cold, **kwargs)
    assert warm.success and warm.nit < cold.nit / 2, (warm.nit, cold.nit)
    np.testing.assert_allclose(warm.x, cold.x, atol=1e-7)
    with pytest.raises(ValueError, match="a warm start needs the same problem"):
        door(fun, cold, jac=grad, bounds=bounds)


CALLBACKS = {
    "intermediate_result": lambda seen: (
        lambda intermediate_result: seen.append(intermediate_result)
    ),
    "xk": lambda seen: lambda xk: seen.append(xk),
}


@pytest.mark.parametrize("door", DOORS.values(), ids=DOORS.keys())
@pytest.mark.parametrize("form", CALLBACKS, ids=CALLBACKS.keys())
def test_the_callback_sees_every_iteration_in_scipys_two_forms(form, door):
    seen = []
    res = door(so.rosen, [-1.2, 1.0], jac=so.rosen_der, callback=CALLBACKS[form](seen))
    assert len(seen) == res.nit > 5
    last = seen[-1]
    if form == "xk":
        np.testing.assert_allclose(last, res.x)
    else:
        assert isinstance(last, so.OptimizeResult)
        assert [last.nit, last.fun] == [res.nit, pytest.approx(res.fun)]
        np.testing.assert_allclose(last.x, res.x)
        assert last.maxcv == 0.0


def test_stop_iteration_stops_and_other_exceptions_propagate():
    def stop(intermediate_result):
        if intermediate_result.nit == 3:
            raise StopIteration

    res = vornel.minimize(so.rosen, [-1.2, 1.0], jac=so.rosen_der, callback=stop)
    assert res.nit == 3 and not res.success
    assert res.status is vornel.Status.User_Requested_Stop
    assert res.message == "`callback` raised `StopIteration`."

    def fail(xk):
        raise KeyError("mine")

    with pytest.raises(KeyError, match="mine"):
        vornel.minimize(so.rosen, [-1.2, 1.0], callback=fail)


def test_options_map_scipys_names_and_print_only_when_asked(capfd):
    # An integer for a numeric option is taken, a bool as yes/no.
    res = vornel.minimize(
        so.rosen,
        [-1.2, 1.0],
        options={"maxiter": 4, "acceptable_iter": 0, "acceptable_tol": 1, "sb": True},
    )
    assert res.nit == 4 and res.status is vornel.Status.Maximum_Iterations_Exceeded
    assert capfd.readouterr().out == ""
    scipy_door(
        so.rosen, [-1.2, 1.0], tol=1e-3, options={"disp": True, "print_timing_statistics": True}
    )
    out = capfd.readouterr().out
    assert "EXIT: Optimal Solution Found" in out and "print_timing_statistics" not in out
    assert re.search(r"tol\s*=\s*0\.001", out) or "Number of Iterations" in out


# fmt: off
ERRORS = {
    "fun returns a vector": (
        dict(fun=lambda x: x), ValueError,
        r"fun must return a scalar; it returned an array of shape \(2,\)"),
    "jac of another length": (
        dict(jac=lambda x: np.ones(3)), ValueError,
        r"jac returned an array of shape \(3,\); expected shape \(2,\)"),
    "constraint jac of another shape": (
        dict(constraints=so.NonlinearConstraint(lambda x: x, 0, 1, lambda x: np.ones((3, 2)))),
        ValueError,
        r"constraints\[0\]\.jac returned an array of shape \(3, 2\); expected shape \(2, 2\)"),
    "constraint fun changes length": (
        dict(constraints={"type": "eq", "fun": lambda x: x if x[0] == 1.5 else x[:1]}), ValueError,
        r"constraints\[0\]\['fun'\] returned an array of shape \(1,\); expected shape \(2,\)"),
    "crossed bounds": (
        dict(bounds=so.Bounds([0, 2], [1, 1])), ValueError,
        r"bounds: lb\[1\] = 2.0 is above ub\[1\] = 1.0"),
    "crossed constraint limits": (
        dict(constraints=so.LinearConstraint(np.eye(2), [0, 1], [1, 0])), ValueError,
        r"constraints\[0\]: lb\[1\] = 1.0 is above ub\[1\] = 0.0"),
    "bounds of another count": (
        dict(bounds=[(0, 1)]), ValueError,
        r"bounds: 1 \(min, max\) pairs for 2 variables"),
    "hessp alone": (
        dict(hessp=lambda x, p: p), ValueError,
        "hessp is not supported: Ipopt needs the Hessian's entries; give hess"),
    "finite-difference Hessian": (
        dict(hess="2-point"), ValueError,
        "hess='2-point': vornel does not estimate Hessians"),
    "finite-difference constraint Hessian": (
        dict(constraints=so.NonlinearConstraint(lambda x: x[0], 0, 1, hess="3-point")), ValueError,
        r"constraints\[0\]\.hess='3-point'"),
    "Hessian as an operator": (
        dict(hess=lambda x: aslinearoperator(np.eye(2))), TypeError,
        "hess returned a LinearOperator"),
    "constraint kept feasible": (
        dict(constraints=so.NonlinearConstraint(lambda x: x[0], 0, 1, keep_feasible=True)),
        ValueError,
        r"constraints\[0\]: keep_feasible=True cannot be honoured"),
    "unknown constraint": (
        dict(constraints=[lambda x: x]), TypeError,
        r"constraints\[0\] must be a LinearConstraint"),
    "dict without fun": (
        dict(constraints={"type": "eq"}), ValueError,
        r"constraints\[0\] has no 'fun'"),
    "dict of another type": (
        dict(constraints={"type": "le", "fun": np.sum}), ValueError,
        r"constraints\[0\]\['type'\] must be 'eq' or 'ineq'"),
    "unknown jac": (
        dict(jac="5-point"), ValueError,
        "jac must be a callable or one of"),
    "complex steps through a real function": (
        dict(fun=lambda x: float(np.real(x @ x)), jac="cs"), TypeError,
        r"fun returned real values at a complex point: complex steps \('cs'\) need"),
    "maxiter twice": (
        dict(options={"maxiter": 3, "max_iter": 4}), ValueError,
        "give one of maxiter and 'max_iter'"),
    "unknown option": (
        dict(options={"gtol": 1e-3}), ValueError,
        "Failed to set the Ipopt option 'gtol'"),
    "x0 of two dimensions": (
        dict(x0=np.ones((2, 1))), ValueError,
        r"x0 must be 1-D; it has shape \(2, 1\)"),
}
# fmt: on


@pytest.mark.parametrize(("kwargs", "error", "message"), ERRORS.values(), ids=ERRORS.keys())
def test_errors_name_the_function_and_what_to_give(kwargs, error, message):
    arguments = {"fun": lambda x: float(x @ x), "x0": [1.5, 0.5], **kwargs}
    with pytest.raises(error, match=message):
        vornel.minimize(arguments.pop("fun"), arguments.pop("x0"), **arguments)
