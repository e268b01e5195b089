"""What Problem.check costs: wall time and evaluations per callback.

Two problems with NumPy-vectorised Python callbacks:

- hs071: Hock-Schittkowski 71 (n = 4, m = 2, dense Jacobian and Hessian);
- pde: distributed control of a semilinear elliptic equation on the unit
  square, discretised on an N x N grid with the 5-point stencil: states y and
  controls u (n = 2 N^2), one equation -Laplace(y) + y^3 = u per grid point
  (m = N^2), objective h^2/2 (|y - y_d|^2 + alpha |u|^2). The Jacobian has 6
  nonzeros a row, the Hessian of the Lagrangian is diagonal.

Each check runs `--repeat` times in this process; the median wall time is
printed with the evaluations of one check. `--correct` checks the problem as
written; by default one fault is planted as well (a Jacobian entry outside
the pattern) to show what finding it costs.

    python3 bench/check_cost.py               # N = 100: n = 20000
    python3 bench/check_cost.py --grid 30     # n = 1800
"""

import argparse
import statistics
import time

import numpy as np

import python_problems
import vornel

QUIET = {"print_level": 0, "sb": "yes"}


class Counted:
    """Counts the calls of a callback."""

    def __init__(self, function):
        self.function = function
        self.calls = 0

    def __call__(self, *args):
        self.calls += 1
        return self.function(*args)


def hs071():
    callbacks = dict(
        eval_f=python_problems.hs071_f,
        eval_grad_f=python_problems.hs071_grad_f,
        eval_g=python_problems.hs071_g,
        eval_jac_g=python_problems.hs071_jac_g,
        eval_h=python_problems.hs071_h,
    )
    structure = dict(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=2,
        g_l=np.array([25.0, 40.0]),
        g_u=np.array([2e19, 40.0]),
        sparsity_indices_jac_g=([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3]),
        sparsity_indices_h=(
            [0, 1, 1, 2, 2, 2, 3, 3, 3, 3],
            [0, 0, 1, 0, 1, 2, 0, 1, 2, 3],
        ),
    )
    return structure, callbacks, np.array([1.0, 5.0, 5.0, 1.0])


def pde(grid, plant_fault):
    """The control problem on a grid x grid mesh; with `plant_fault`, the
    Jacobian has a nonzero that its pattern lacks (dg_0/du_1)."""
    k = grid * grid
    h = 1.0 / (grid + 1)
    alpha = 1e-3
    coords = (np.arange(grid) + 1) * h
    y_d = np.outer(np.sin(np.pi * coords), np.sin(np.pi * coords)).ravel()
    idx = np.arange(k).reshape(grid, grid)
    rows, cols, vals = [np.arange(k)], [np.arange(k)], [np.full(k, 4.0 / h**2)]
    for a, b in ((idx[1:, :], idx[:-1, :]), (idx[:, 1:], idx[:, :-1])):
        for i, j in ((a, b), (b, a)):
            rows.append(i.ravel())
            cols.append(j.ravel())
            vals.append(np.full(i.size, -1.0 / h**2))
    lap_rows, lap_cols = np.concatenate(rows), np.concatenate(cols)
    lap_vals = np.concatenate(vals)
    diagonal = np.arange(k)  # the Laplacian's diagonal entries come first
    jac_rows = np.concatenate([lap_rows, np.arange(k)])
    jac_cols = np.concatenate([lap_cols, k + np.arange(k)])

    def laplacian(y):
        return np.bincount(lap_rows, weights=lap_vals * y[lap_cols], minlength=k)

    def eval_f(x):
        y, u = x[:k], x[k:]
        return 0.5 * h * h * (np.dot(y - y_d, y - y_d) + alpha * np.dot(u, u))

    def eval_grad_f(x, out):
        out[:k] = h * h * (x[:k] - y_d)
        out[k:] = alpha * h * h * x[k:]

    def eval_g(x, out):
        y, u = x[:k], x[k:]
        out[:] = laplacian(y) + y**3 - u
        if plant_fault:
            out[0] += 0.5 * u[1]

    def eval_jac_g(x, out):
        values = lap_vals.copy()
        values[diagonal] += 3.0 * x[:k] ** 2
        out[: lap_vals.size] = values
        out[lap_vals.size :] = -1.0

    def eval_h(x, lagrange, obj_factor, out):
        out[:k] = obj_factor * h * h + 6.0 * lagrange * x[:k]
        out[k:] = obj_factor * alpha * h * h

    callbacks = dict(
        eval_f=eval_f, eval_grad_f=eval_grad_f, eval_g=eval_g, eval_jac_g=eval_jac_g, eval_h=eval_h
    )
    structure = dict(
        n=2 * k,
        x_l=np.full(2 * k, -1e20),
        x_u=np.full(2 * k, 1e20),
        m=k,
        g_l=np.zeros(k),
        g_u=np.zeros(k),
        sparsity_indices_jac_g=(jac_rows, jac_cols),
        sparsity_indices_h=(np.arange(2 * k), np.arange(2 * k)),
    )
    x = np.concatenate([y_d, np.zeros(k)]) + 0.1
    return structure, callbacks, x


def measure(name, structure, callbacks, x, repeat):
    counted = {key: Counted(f) for key, f in callbacks.items()}
    problem = vornel.Problem(**structure, **counted, ipopt_options=QUIET)
    times = []
    for _ in range(repeat):
        for c in counted.values():
            c.calls = 0
        start = time.perf_counter()
        report = problem.check(x)
        times.append(time.perf_counter() - start)
    calls = ", ".join(f"{key} {c.calls}" for key, c in counted.items())
    print(f"{name}: n = {structure['n']}, m = {structure['m']}")
    print(f"  check: median {statistics.median(times):.3f} s over {repeat} runs")
    print(f"  evaluations of one check: {calls}")
    print("  " + str(report).replace("\n", "\n  "))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--grid", type=int, default=100, help="N: n = 2 N^2 (default 100)")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--correct", action="store_true", help="plant no fault")
    args = parser.parse_args()
    measure("hs071", *hs071(), args.repeat)
    measure("pde", *pde(args.grid, plant_fault=False), args.repeat)
    if not args.correct:
        measure("pde, one Jacobian entry outside the pattern", *pde(args.grid, True), args.repeat)


if __name__ == "__main__":
    main()
