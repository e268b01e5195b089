"""The benchmark problems' data and their NumPy-vectorised Python callbacks.

The arithmetic follows bench/compiled/problems.c term by term; only the
order of summation may differ (NumPy's dot products), so objective values
agree with the compiled form to rounding, not bit for bit.
"""

import numpy as np

ALPHA = 100.0  # weight of the Rosenbrock terms, the C functions' user data
INF = 2.0e19
NAMES = ("hs071", "rosenbrock", "chained")


def definition(name, n):
    """Everything but the callbacks: dimensions, bounds, sparsity, start."""
    if name == "hs071":
        return dict(
            n=4,
            x_l=np.ones(4),
            x_u=np.full(4, 5.0),
            m=2,
            g_l=np.array([25.0, 40.0]),
            g_u=np.array([INF, 40.0]),
            sparsity_indices_jac_g=([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3]),
            sparsity_indices_h=([0, 1, 1, 2, 2, 2, 3, 3, 3, 3], [0, 0, 1, 0, 1, 2, 0, 1, 2, 3]),
        ), np.array([1.0, 5.0, 5.0, 1.0])
    x0 = np.where(np.arange(n) % 2 == 0, -1.2, 1.0)
    free = dict(n=n, x_l=np.full(n, -INF), x_u=np.full(n, INF))
    if name == "rosenbrock":
        if n % 2:
            raise ValueError("the extended Rosenbrock function needs an even n")
        i = np.arange(0, n, 2)
        rows = np.stack([i, i + 1, i + 1], axis=1).ravel()
        cols = np.stack([i, i, i + 1], axis=1).ravel()
        return dict(
            free,
            m=0,
            g_l=np.zeros(0),
            g_u=np.zeros(0),
            sparsity_indices_jac_g=([], []),
            sparsity_indices_h=(rows.tolist(), cols.tolist()),
        ), x0
    if name == "chained":
        m = n - 2
        k = np.arange(m)
        jac_rows = np.repeat(k, 3)
        jac_cols = (k[:, None] + np.arange(3)).ravel()
        i = np.arange(n)
        h_rows = np.concatenate([i, i[1:]])
        h_cols = np.concatenate([i, i[:-1]])
        return dict(
            free,
            m=m,
            g_l=np.zeros(m),
            g_u=np.zeros(m),
            sparsity_indices_jac_g=(jac_rows.tolist(), jac_cols.tolist()),
            sparsity_indices_h=(h_rows.tolist(), h_cols.tolist()),
        ), x0
    raise ValueError(f"unknown problem {name!r}")


# --- Hock-Schittkowski 71 -------------------------------------------------


def hs071_f(x):
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


def hs071_grad_f(x, out):
    s = x[0] + x[1] + x[2]
    out[:] = (x[0] * x[3] + x[3] * s, x[0] * x[3], x[0] * x[3] + 1.0, x[0] * s)


def hs071_g(x, out):
    out[0] = x[0] * x[1] * x[2] * x[3]
    out[1] = x @ x


def hs071_jac_g(x, out):
    out[:4] = (x[1] * x[2] * x[3], x[0] * x[2] * x[3], x[0] * x[1] * x[3], x[0] * x[1] * x[2])
    out[4:] = 2.0 * x


def hs071_h(x, lagrange, obj_factor, out):
    of = obj_factor
    l0, l1 = lagrange
    out[:] = (
        of * 2 * x[3] + l1 * 2,
        of * x[3] + l0 * x[2] * x[3],
        l1 * 2,
        of * x[3] + l0 * x[1] * x[3],
        l0 * x[0] * x[3],
        l1 * 2,
        of * (2 * x[0] + x[1] + x[2]) + l0 * x[1] * x[2],
        of * x[0] + l0 * x[0] * x[2],
        of * x[0] + l0 * x[0] * x[1],
        l1 * 2,
    )


# --- Extended Rosenbrock ----------------------------------------------------


def rosen_f(x):
    x0 = x[0::2]
    t = x[1::2] - x0 * x0
    u = 1.0 - x0
    return float(ALPHA * (t @ t) + u @ u)


def rosen_grad_f(x, out):
    x0 = x[0::2]
    t = x[1::2] - x0 * x0
    out[0::2] = -4.0 * ALPHA * x0 * t - 2.0 * (1.0 - x0)
    out[1::2] = 2.0 * ALPHA * t


def rosen_g(x, out):
    pass


def rosen_jac_g(x, out):
    pass


def rosen_h(x, lagrange, obj_factor, out):
    x0 = x[0::2]
    out[0::3] = obj_factor * (12.0 * ALPHA * x0 * x0 - 4.0 * ALPHA * x[1::2] + 2.0)
    out[1::3] = obj_factor * (-4.0 * ALPHA * x0)
    out[2::3] = obj_factor * (2.0 * ALPHA)


# --- Chained Rosenbrock with trigonometric-exponential constraints ----------


def chained_f(x):
    t = x[:-1] * x[:-1] - x[1:]
    u = x[:-1] - 1.0
    return float(ALPHA * (t @ t) + u @ u)


def chained_grad_f(x, out):
    t = x[:-1] * x[:-1] - x[1:]
    out[-1] = 0.0
    out[:-1] = 4.0 * ALPHA * x[:-1] * t + 2.0 * (x[:-1] - 1.0)
    out[1:] -= 2.0 * ALPHA * t


def chained_g(x, out):
    a, b, c = x[:-2], x[1:-1], x[2:]
    out[:] = 3.0 * b**3 + 2.0 * c - 5.0 + np.sin(b - c) * np.sin(b + c) + 4.0 * b
    out -= a * np.exp(a - b) + 3.0


def chained_jac_g(x, out):
    a, b, c = x[:-2], x[1:-1], x[2:]
    e = np.exp(a - b)
    out[0::3] = -(1.0 + a) * e
    out[1::3] = 9.0 * b * b + np.sin(2.0 * b) + 4.0 + a * e
    out[2::3] = 2.0 - np.sin(2.0 * c)


def chained_h(x, lagrange, obj_factor, out):
    n = x.shape[0]
    diag, sub = out[:n], out[n:]
    of = obj_factor
    diag[-1] = 0.0
    diag[:-1] = of * (12.0 * ALPHA * x[:-1] * x[:-1] - 4.0 * ALPHA * x[1:] + 2.0)
    diag[1:] += of * 2.0 * ALPHA
    sub[:] = of * (-4.0 * ALPHA * x[:-1])
    a, b, c = x[:-2], x[1:-1], x[2:]
    e = np.exp(a - b)
    diag[:-2] -= lagrange * (2.0 + a) * e
    sub[:-1] += lagrange * (1.0 + a) * e
    diag[1:-1] += lagrange * (18.0 * b + 2.0 * np.cos(2.0 * b) - a * e)
    diag[2:] -= lagrange * 2.0 * np.cos(2.0 * c)


_PREFIX = {"hs071": "hs071", "rosenbrock": "rosen", "chained": "chained"}
ROLES = ("f", "grad_f", "g", "jac_g", "h")


def callbacks(name):
    """The eval_* keyword arguments of the problem's Python form."""
    prefix = _PREFIX[name]
    return {f"eval_{role}": globals()[f"{prefix}_{role}"] for role in ROLES}


def c_prefix(name):
    return _PREFIX[name]
