"""HS071 the way scipy.optimize states it: vornel.minimize with bounds and
constraint objects, then scipy.optimize.minimize itself with
method=vornel.ipopt, then a warm start from the first result.

    min x0 x3 (x0 + x1 + x2) + x2
    subject to  x0 x1 x2 x3 >= 25,  x0^2 + x1^2 + x2^2 + x3^2 = 40,  1 <= x <= 5
"""

from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.optimize  # type: ignore[import-untyped]
import scipy.sparse  # type: ignore[import-untyped]

import vornel

Vector = npt.NDArray[np.float64]


def objective(x: Vector) -> float:
    return float(x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2])


def gradient(x: Vector) -> Vector:
    return np.array(
        [
            x[0] * x[3] + x[3] * (x[0] + x[1] + x[2]),
            x[0] * x[3],
            x[0] * x[3] + 1.0,
            x[0] * (x[0] + x[1] + x[2]),
        ]
    )


def hessian(x: Vector) -> Vector:
    return np.array(
        [
            [2 * x[3], x[3], x[3], 2 * x[0] + x[1] + x[2]],
            [x[3], 0, 0, x[0]],
            [x[3], 0, 0, x[0]],
            [2 * x[0] + x[1] + x[2], x[0], x[0], 0],
        ]
    )


def product_hessian(x: Vector, v: Vector) -> Vector:
    # v[0] times the second derivatives of x0 x1 x2 x3.
    h = np.prod(x) / np.outer(x, x)
    np.fill_diagonal(h, 0.0)
    return np.asarray(v[0] * h)


def constraints() -> list[Any]:
    """Constraint objects with their Jacobians (one as a sparse matrix) and
    Hessians, so that Ipopt gets the Hessian of the Lagrangian."""
    product = scipy.optimize.NonlinearConstraint(
        lambda x: np.prod(x),
        25.0,
        np.inf,
        jac=lambda x: scipy.sparse.csr_array(np.prod(x) / x[np.newaxis, :]),
        hess=product_hessian,
    )
    sphere = scipy.optimize.NonlinearConstraint(
        lambda x: x @ x, 40.0, 40.0, jac=lambda x: 2.0 * x, hess=lambda x, v: 2.0 * v[0] * np.eye(4)
    )
    return [product, sphere]


def old_style_constraints() -> list[dict[str, Any]]:
    """The same as SciPy's dicts ("ineq" means fun(x) >= 0); without
    Hessians, Ipopt approximates the Lagrangian's (limited-memory BFGS)."""
    return [
        {"type": "ineq", "fun": lambda x: np.prod(x) - 25.0},
        {"type": "eq", "fun": lambda x: x @ x - 40.0, "jac": lambda x: 2.0 * x},
    ]


def main() -> None:
    x0 = np.array([1.0, 5.0, 5.0, 1.0])
    bounds = scipy.optimize.Bounds(1.0, 5.0)
    res = vornel.minimize(
        objective, x0, jac=gradient, hess=hessian, bounds=bounds, constraints=constraints()
    )
    print(f"vornel.minimize: {res.status.name}, objective {res.fun:.6f} in {res.nit} iterations")
    print("x:", np.round(res.x, 6))
    print("constraint multipliers:", [np.round(v, 6) for v in res.v[:2]])
    print(
        f"largest violation: {res.maxcv:.1e}; evaluations of fun, jac, hess:",
        res.nfev,
        res.njev,
        res.nhev,
    )

    # The same problem through SciPy's own front door; the quasi-Newton
    # approximation here (no hess).
    res2 = scipy.optimize.minimize(
        objective,
        x0,
        method=vornel.ipopt,
        jac=gradient,
        bounds=[(1, 5)] * 4,
        constraints=constraints(),
        options={"maxiter": 200},
    )
    print(f"scipy.optimize.minimize: {res2.status.name}, objective {res2.fun:.6f}")

    # A previous result as x0 starts from its point and multipliers.
    warm = vornel.minimize(
        objective, res, jac=gradient, hess=hessian, bounds=bounds, constraints=constraints()
    )
    print(f"warm start: {warm.status.name} in {warm.nit} iterations")


if __name__ == "__main__":
    main()
