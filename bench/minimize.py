#!/usr/bin/env python3
"""The front door against Problem: vornel.minimize (and
scipy.optimize.minimize with method=vornel.ipopt) against the same problem
stated through vornel.Problem with NumPy callbacks, same Ipopt and options.

    python3 bench/minimize.py [--repeat R] [--n N]

SciPy's constrained test problems (stated with SciPy's functions returning
values, as in scipy/optimize/tests/test_minimize_constrained.py) and the
chained problem of bench/python_problems.py at n = N (default 10^4), whose
Jacobian the front door gets as a scipy.sparse matrix. Each form runs R
times, interleaved, in this one process after one run to warm up; the
table gives median wall and CPU times (construction, set-up and solve) and the
iterations, which must be the same. Then grouped finite differences on the
chained problem: its Jacobian by '2-point' differences over
finite_diff_jac_sparsity, the column groups, the evaluations of the
constraints per Jacobian and the iterations against the exact Jacobian.
"""

import argparse
import os
import platform
import statistics
import sys
import time

import numpy as np
import scipy.optimize as so
import scipy.sparse as sp

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import python_problems  # noqa: E402
import vornel  # noqa: E402

OPTIONS = {"print_level": 0, "sb": "yes", "tol": 1e-8}


# SciPy's test problems as a user of scipy.optimize states them.
def maratos():
    con = so.NonlinearConstraint(
        lambda x: x[0] ** 2 + x[1] ** 2,
        1,
        1,
        lambda x: [[2 * x[0], 2 * x[1]]],
        lambda x, v: 2 * v[0] * np.eye(2),
    )
    return dict(
        fun=lambda x: 2 * (x[0] ** 2 + x[1] ** 2 - 1) - x[0],
        jac=lambda x: np.array([4 * x[0] - 1, 4 * x[1]]),
        hess=lambda x: 4 * np.eye(2),
        constraints=[con],
        bounds=None,
        x0=np.array([np.cos(np.pi / 3), np.sin(np.pi / 3)]),
    )


def hyperbolic():
    con = so.NonlinearConstraint(
        lambda x: 1 / (x[0] + 1) - x[1],
        0.25,
        np.inf,
        lambda x: [[-1 / (x[0] + 1) ** 2, -1]],
        lambda x, v: 2 * v[0] * np.array([[1 / (x[0] + 1) ** 3, 0], [0, 0]]),
    )
    return dict(
        fun=lambda x: 0.5 * (x[0] - 2) ** 2 + 0.5 * (x[1] - 0.5) ** 2,
        jac=lambda x: np.array([x[0] - 2, x[1] - 0.5]),
        hess=lambda x: np.eye(2),
        constraints=[con],
        bounds=so.Bounds(0, np.inf),
        x0=np.zeros(2),
    )


def rosenbrock(constraints=(), bounds=None, x0=None, n=2):
    return dict(
        fun=so.rosen,
        jac=so.rosen_der,
        hess=so.rosen_hess,
        constraints=list(constraints),
        bounds=bounds,
        x0=np.random.RandomState(0).uniform(-1, 1, n) if x0 is None else np.array(x0, float),
    )


def elec(n_e):
    def deltas(x):
        c = x.reshape(3, n_e)
        return [c[k][:, None] - c[k] for k in range(3)]

    def inverse_powers(x, *powers):
        ds = deltas(x)
        d2 = sum(d**2 for d in ds)
        np.fill_diagonal(d2, np.inf)
        return ds, [d2 ** (-p / 2) for p in powers]

    def fun(x):
        return 0.5 * np.sum(inverse_powers(x, 1)[1][0])

    def grad(x):
        ds, (dm3,) = inverse_powers(x, 3)
        return np.hstack([-np.sum(d * dm3, axis=1) for d in ds])

    def hess(x):
        ds, (dm3, dm5) = inverse_powers(x, 3, 5)
        blocks = [
            [(dm3 if a == b else 0) - 3 * ds[a] * ds[b] * dm5 for b in range(3)] for a in range(3)
        ]
        for row in blocks:
            for block in row:
                np.fill_diagonal(block, 0)
                np.fill_diagonal(block, -block.sum(axis=1))
        return np.block(blocks)

    con = so.NonlinearConstraint(
        lambda x: np.sum(x.reshape(3, n_e) ** 2, axis=0) - 1,
        -np.inf,
        0,
        lambda x: sp.csc_array(np.hstack([2 * np.diag(v) for v in x.reshape(3, n_e)])),
        lambda x, v: sp.csr_array(np.diag(np.tile(2 * v, 3))),
    )
    rng = np.random.RandomState(0)
    phi, theta = rng.uniform(0, 2 * np.pi, n_e), rng.uniform(-np.pi, np.pi, n_e)
    x0 = np.hstack([np.cos(theta) * np.cos(phi), np.cos(theta) * np.sin(phi), np.sin(theta)])
    return dict(fun=fun, jac=grad, hess=hess, constraints=[con], bounds=None, x0=x0)


SCIPY_PROBLEMS = {
    "Maratos": maratos,
    "HyperbolicIneq": hyperbolic,
    "Rosenbrock": rosenbrock,
    "IneqRosenbrock": lambda: rosenbrock(
        [so.LinearConstraint([[1, 2]], -np.inf, 1)], x0=[-1, -0.5]
    ),
    "EqIneqRosenbrock": lambda: rosenbrock(
        [so.LinearConstraint([[1, 2]], -np.inf, 1), so.LinearConstraint([[2, 1]], 1, 1)],
        x0=[-1, -0.5],
    ),
    "BoundedRosenbrock": lambda: rosenbrock(bounds=so.Bounds([-2, 0], [0, 2]), x0=[-0.2, 0.2]),
    "Elec (20 electrons)": lambda: elec(20),
}


def dense(value):
    return value.toarray() if sp.issparse(value) else np.asarray(value, dtype=float)


def as_problem(p):
    """The same problem through Problem: dense patterns (these are small),
    NumPy callbacks writing into the solver's arrays."""
    x0 = p["x0"]
    n = x0.size
    lb, ub = np.full(n, -np.inf), np.full(n, np.inf)
    if p["bounds"] is not None:
        lb, ub = (np.broadcast_to(b, n).astype(float) for b in (p["bounds"].lb, p["bounds"].ub))
    parts = []  # (fun, jac, hess or None, lb, ub)
    for c in p["constraints"]:
        if isinstance(c, so.LinearConstraint):
            a = np.asarray(c.A, float)
            parts.append((lambda x, a=a: a @ x, lambda x, a=a: a, None, c.lb, c.ub))
        else:
            parts.append((c.fun, c.jac, c.hess, c.lb, c.ub))
    sizes = [np.atleast_1d(f(x0)).size for f, *_ in parts]
    ends = np.cumsum([0, *sizes])
    m = int(ends[-1])
    g_l = np.concatenate(
        [np.broadcast_to(lo, s) for (*_, lo, _), s in zip(parts, sizes, strict=True)] or [[]]
    )
    g_u = np.concatenate(
        [np.broadcast_to(hi, s) for (*_, hi), s in zip(parts, sizes, strict=True)] or [[]]
    )
    tril = np.tril_indices(n)

    def eval_g(x, out):
        for (f, *_), a, b in zip(parts, ends[:-1], ends[1:], strict=True):
            out[a:b] = f(x)

    def eval_jac_g(x, out):
        out[:] = np.vstack([np.atleast_2d(dense(j(x))) for _, j, *_ in parts]).ravel()

    def eval_h(x, lagrange, obj_factor, out):
        h = obj_factor * dense(p["hess"](x))
        for (_, _, hc, *_), a, b in zip(parts, ends[:-1], ends[1:], strict=True):
            if hc is not None:
                h += dense(hc(x, lagrange[a:b]))
        out[:] = h[tril]

    def eval_grad_f(x, out):
        out[:] = p["jac"](x)

    jac_rows, jac_cols = np.indices((m, n)).reshape(2, -1)
    problem = vornel.Problem(
        n=n,
        x_l=lb,
        x_u=ub,
        m=m,
        g_l=g_l.astype(float),
        g_u=g_u.astype(float),
        sparsity_indices_jac_g=(jac_rows, jac_cols),
        sparsity_indices_h=tril,
        eval_f=p["fun"],
        eval_grad_f=eval_grad_f,
        eval_g=eval_g,
        eval_jac_g=eval_jac_g,
        eval_h=eval_h,
        ipopt_options=OPTIONS,
    )
    x = x0.copy()
    problem.solve(x)
    return problem.result.iterations, problem.result.objective


def as_front_door(p, door):
    res = door(
        p["fun"],
        p["x0"],
        jac=p["jac"],
        hess=p["hess"],
        bounds=p["bounds"],
        constraints=p["constraints"],
        options=dict(OPTIONS),
    )
    return res.nit, res.fun


def scipy_door(fun, x0, **kwargs):
    return so.minimize(fun, x0, method=vornel.ipopt, **kwargs)


def chained(n, jacobian="exact"):
    """The chained problem: the Problem form of bench/python_problems.py,
    and the front door's form over the same functions with the Jacobian
    and the Hessians returned as scipy.sparse matrices."""
    definition, x0 = python_problems.definition("chained", n)
    m = definition["m"]
    jr, jc = (np.asarray(v) for v in definition["sparsity_indices_jac_g"])
    hr, hc = (np.asarray(v) for v in definition["sparsity_indices_h"])
    f, grad_f = python_problems.chained_f, python_problems.chained_grad_f
    g, jac_g, h = (
        python_problems.chained_g,
        python_problems.chained_jac_g,
        python_problems.chained_h,
    )

    def problem_form():
        problem = vornel.Problem(
            **definition,
            eval_f=f,
            eval_grad_f=grad_f,
            eval_g=g,
            eval_jac_g=jac_g,
            eval_h=h,
            ipopt_options=OPTIONS,
        )
        x = x0.copy()
        problem.solve(x)
        return problem.result.iterations, problem.result.objective

    # The sparse matrices built as a careful user builds them: the structure
    # once, the values each call.
    off = hr != hc
    full = sp.csr_array(
        (
            np.arange(hr.size + off.sum()) + 1.0,
            (np.concatenate([hr, hc[off]]), np.concatenate([hc, hr[off]])),
        ),
        shape=(n, n),
    )
    # Where each stored entry of the symmetric matrix comes from.
    source = np.concatenate([np.arange(hr.size), np.flatnonzero(off)])[full.data.astype(int) - 1]
    indptr = np.arange(0, jr.size + 1, 3)

    def symmetric(values):
        return sp.csr_array((values[source], full.indices, full.indptr), shape=(n, n))

    def fun(x):
        return f(x)

    def jac(x):
        out = np.empty(n)
        grad_f(x, out)
        return out

    def hess(x):
        out = np.empty(hr.size)
        h(x, np.zeros(m), 1.0, out)
        return symmetric(out)

    def cons(x):
        out = np.empty(m, dtype=x.dtype)  # complex for complex steps
        g(x, out)
        return out

    def cons_jac(x):
        out = np.empty(jr.size)
        jac_g(x, out)
        return sp.csr_array((out, jc, indptr), shape=(m, n))

    def cons_hess(x, v):
        out = np.empty(hr.size)
        h(x, v, 0.0, out)
        return symmetric(out)

    sparsity = sp.csr_array((np.ones(jr.size), (jr, jc)), shape=(m, n))

    def front_door(door=vornel.minimize, jacobian=jacobian):
        if jacobian == "exact":
            con = so.NonlinearConstraint(cons, 0.0, 0.0, cons_jac, cons_hess)
        else:
            con = so.NonlinearConstraint(
                cons, 0.0, 0.0, jacobian, cons_hess, finite_diff_jac_sparsity=sparsity
            )
        return door(fun, x0, jac=jac, hess=hess, constraints=con, options=dict(OPTIONS))

    return problem_form, front_door, cons, sparsity, x0


def timed(run):
    start, cpu = time.perf_counter(), time.thread_time()
    out = run()
    return time.perf_counter() - start, time.thread_time() - cpu, out


def compare(name, forms, repeat):
    """Median wall and CPU times of each form, interleaved, after one
    warm-up; on a loaded machine the CPU time (of this thread, where every
    form runs) scatters less."""
    for run in forms.values():
        run()
    wall = {label: [] for label in forms}
    cpu = {label: [] for label in forms}
    results = {}
    for _ in range(repeat):
        for label, run in forms.items():
            seconds, cpu_seconds, results[label] = timed(run)
            wall[label].append(seconds)
            cpu[label].append(cpu_seconds)
    base_wall = statistics.median(wall["Problem"])
    base_cpu = statistics.median(cpu["Problem"])
    base_iterations = results["Problem"][0]
    rows = []
    for label in forms:
        w, c = statistics.median(wall[label]), statistics.median(cpu[label])
        iterations, objective = results[label]
        same = "yes" if iterations == base_iterations else "NO"
        rows.append(
            f"| {name} | {label} | {iterations} | {objective:.10g} | {w * 1e3:.2f} ms "
            f"| {w / base_wall:.3f} | {c * 1e3:.2f} ms | {c / base_cpu:.3f} | {same} |"
        )
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--n", type=int, default=10_000)
    args = parser.parse_args()
    print(
        f"{platform.processor() or platform.machine()}, Python {platform.python_version()}, "
        f"NumPy {np.__version__}, SciPy {sp.__name__ and __import__('scipy').__version__}, "
        f"Ipopt {vornel.ipopt_version}; load average {os.getloadavg()[0]:.2f} at the start"
    )
    print()
    print(
        "| problem | form | iterations | objective | wall time | ratio | CPU time | ratio "
        "| same iterations |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|---|")
    for name, make in SCIPY_PROBLEMS.items():
        p = make()
        for row in compare(
            name,
            {
                "Problem": lambda p=p: as_problem(p),
                "vornel.minimize": lambda p=p: as_front_door(p, vornel.minimize),
                "scipy method=vornel.ipopt": lambda p=p: as_front_door(p, scipy_door),
            },
            args.repeat,
        ):
            print(row)
    problem_form, front_door, cons, sparsity, x0 = chained(args.n)

    def front(door):
        res = front_door(door)
        return res.nit, res.fun

    for row in compare(
        f"chained, n = {args.n}, sparse Jacobian",
        {
            "Problem": problem_form,
            "vornel.minimize": lambda: front(vornel.minimize),
            "scipy method=vornel.ipopt": lambda: front(scipy_door),
        },
        max(3, args.repeat // 3),
    ):
        print(row)
    print(f"\nload average {os.getloadavg()[0]:.2f} at the end")

    print("\nGrouped finite differences, chained n =", args.n)
    from vornel import _groups

    coo = sparsity.tocoo()
    groups = _groups.group_count(_groups.column_groups(coo.row, coo.col, sparsity.shape))
    exact = front_door(jacobian="exact")
    print(
        "| Jacobian | iterations | objective | constraint evaluations | Jacobians "
        "| g evaluations | (evaluations - g) / Jacobians | groups |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for jacobian in ("exact", "2-point", "3-point", "cs"):
        res = exact if jacobian == "exact" else front_door(jacobian=jacobian)
        stats = res.solve_result.evaluations
        jacobians, g_evals = stats["n_eval_jac_g_eq"], stats["n_eval_g_eq"]
        calls = res.constr_nfev[0]
        per = (calls - g_evals) / jacobians if jacobian != "exact" else 0.0
        print(
            f"| {jacobian} | {res.nit} | {res.fun:.10g} | {calls} | {jacobians} | {g_evals} "
            f"| {per:.2f} | {groups} |"
        )


if __name__ == "__main__":
    main()
