"""The benchmark problems' data and their NumPy-vectorised Python callbacks.

The arithmetic follows bench/compiled/problems.c term by term; only the
order of summation may differ (NumPy's dot products), so objective values
agree with the compiled form to rounding, not bit for bit.
"""

import numpy as np

ALPHA = 100.0  # weight of the Rosenbrock terms, the C functions' user data
INF = 2.0e19
NAMES = ("hs071", "rosenbrock", "chained", "car", "heavy")
# The car problem (see bench/compiled/problems.c): horizon, obstacles (centre x,
# centre y, radius), bounds of (px, py, theta, v, a, w), both ends of (px, py, theta, v).
CAR_HORIZON = 10.0
CAR_OBSTACLES = np.array([[3.0, 0.3, 1.0], [7.0, -0.4, 1.0]])
CAR_LOWER = np.array([-INF, -INF, -INF, 0.0, -2.0, -1.5])
CAR_UPPER = np.array([INF, INF, INF, 3.0, 2.0, 1.5])
CAR_START = np.zeros(4)
CAR_GOAL = np.array([10.0, 0.0, 0.0, 0.0])


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
    if name == "car":
        return car_definition(n)
    if name == "heavy":
        i = np.arange(n)
        return dict(
            n=n,
            x_l=np.full(n, -2.0),
            x_u=np.full(n, 2.0),
            m=1,
            g_l=np.array([n / 4]),
            g_u=np.array([n / 4]),
            sparsity_indices_jac_g=(np.zeros(n, dtype=int).tolist(), i.tolist()),
            sparsity_indices_h=(i.tolist(), i.tolist()),
        ), x0
    raise ValueError(f"unknown problem {name!r}")


def car_definition(n):
    if n % 6 or n < 12:
        raise ValueError("the car problem needs n = 6 (N + 1), N >= 1")
    nodes = n // 6
    intervals = nodes - 1
    n_obs = len(CAR_OBSTACLES)
    x_l, x_u = np.tile(CAR_LOWER, nodes), np.tile(CAR_UPPER, nodes)
    x_l[:4] = x_u[:4] = CAR_START
    x_l[-6:-2] = x_u[-6:-2] = CAR_GOAL
    radius2 = np.tile(CAR_OBSTACLES[:, 2] ** 2, nodes)
    g_l = np.concatenate([np.zeros(4 * intervals), radius2])
    g_u = np.concatenate([np.zeros(4 * intervals), np.full(n_obs * nodes, INF)])
    k = np.arange(intervals)[:, None]
    rows = np.array([0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 3, 3, 3])
    cols = np.array([0, 2, 3, 6, 1, 2, 3, 7, 2, 5, 8, 3, 4, 9])
    obs_rows = 4 * intervals + np.repeat(np.arange(n_obs * nodes), 2)
    obs_cols = (6 * np.repeat(np.arange(nodes), n_obs)[:, None] + np.array([0, 1])).ravel()
    jac_rows = np.concatenate([(4 * k + rows).ravel(), obs_rows])
    jac_cols = np.concatenate([(6 * k + cols).ravel(), obs_cols])
    node = 6 * np.arange(nodes)[:, None]
    h_rows = (node + np.array([0, 1, 2, 3, 4, 5])).ravel()
    h_cols = (node + np.array([0, 1, 2, 2, 4, 5])).ravel()
    x0 = np.zeros(n)
    x0[0::6] = np.linspace(0.0, 10.0, nodes)
    x0[3::6] = 1.0
    return dict(
        n=n,
        x_l=x_l,
        x_u=x_u,
        m=4 * intervals + n_obs * nodes,
        g_l=g_l,
        g_u=g_u,
        sparsity_indices_jac_g=(jac_rows.tolist(), jac_cols.tolist()),
        sparsity_indices_h=(h_rows.tolist(), h_cols.tolist()),
    ), x0


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


# --- A car's trajectory around obstacles (bench/compiled/problems.c) ---------


def car_step(n):
    return CAR_HORIZON / (n // 6 - 1)


def car_f(x):
    u = x.reshape(-1, 6)[:, 4:]
    return float(car_step(x.shape[0]) * np.einsum("ij,ij->", u, u))


def car_grad_f(x, out):
    z, g = x.reshape(-1, 6), out.reshape(-1, 6)
    g[:, :4] = 0.0
    g[:, 4:] = 2.0 * car_step(x.shape[0]) * z[:, 4:]


def car_g(x, out):
    h = car_step(x.shape[0])
    z = x.reshape(-1, 6)
    now, nxt = z[:-1], z[1:]
    dyn = out[: 4 * now.shape[0]].reshape(-1, 4)
    dyn[:, 0] = nxt[:, 0] - now[:, 0] - h * now[:, 3] * np.cos(now[:, 2])
    dyn[:, 1] = nxt[:, 1] - now[:, 1] - h * now[:, 3] * np.sin(now[:, 2])
    dyn[:, 2] = nxt[:, 2] - now[:, 2] - h * now[:, 5]
    dyn[:, 3] = nxt[:, 3] - now[:, 3] - h * now[:, 4]
    obs = out[4 * now.shape[0] :].reshape(-1, len(CAR_OBSTACLES))
    dx = z[:, 0:1] - CAR_OBSTACLES[:, 0]
    dy = z[:, 1:2] - CAR_OBSTACLES[:, 1]
    obs[:] = dx * dx + dy * dy


def car_jac_g(x, out):
    h = car_step(x.shape[0])
    z = x.reshape(-1, 6)
    now = z[:-1]
    c, s, v = np.cos(now[:, 2]), np.sin(now[:, 2]), now[:, 3]
    dyn = out[: 14 * now.shape[0]].reshape(-1, 14)
    dyn[:, [0, 4, 8, 11]] = -1.0
    dyn[:, [3, 7, 10, 13]] = 1.0
    dyn[:, 1] = h * v * s
    dyn[:, 2] = -h * c
    dyn[:, 5] = -h * v * c
    dyn[:, 6] = -h * s
    dyn[:, [9, 12]] = -h
    obs = out[14 * now.shape[0] :].reshape(z.shape[0], len(CAR_OBSTACLES), 2)
    obs[:, :, 0] = 2.0 * (z[:, 0:1] - CAR_OBSTACLES[:, 0])
    obs[:, :, 1] = 2.0 * (z[:, 1:2] - CAR_OBSTACLES[:, 1])


def car_h(x, lagrange, obj_factor, out):
    h = car_step(x.shape[0])
    z = x.reshape(-1, 6)
    intervals = z.shape[0] - 1
    v = out.reshape(-1, 6)
    l_dyn = lagrange[: 4 * intervals].reshape(-1, 4)
    l_obs = lagrange[4 * intervals :].reshape(z.shape[0], -1).sum(axis=1)
    v[:, 0] = v[:, 1] = 2.0 * l_obs
    c, s = np.cos(z[:-1, 2]), np.sin(z[:-1, 2])
    v[:-1, 2] = h * z[:-1, 3] * (l_dyn[:, 0] * c + l_dyn[:, 1] * s)
    v[:-1, 3] = h * (l_dyn[:, 0] * s - l_dyn[:, 1] * c)
    v[-1, 2:4] = 0.0
    v[:, 4:] = 2.0 * h * obj_factor


# --- The evaluation-heavy problem (bench/compiled/problems.c) ---------------

HEAVY_TERMS = 2048
HEAVY_SCALE = 1.0 + np.arange(HEAVY_TERMS) / HEAVY_TERMS
HEAVY_SHIFT = np.arange(HEAVY_TERMS) % 7 / 7.0 - 0.5


def heavy_arg(x):
    return HEAVY_SCALE * (x[:, None] - HEAVY_SHIFT)


def heavy_f(x):
    return float(np.cosh(heavy_arg(x)).sum() / HEAVY_TERMS)


def heavy_grad_f(x, out):
    out[:] = np.sinh(heavy_arg(x)) @ HEAVY_SCALE / HEAVY_TERMS


def heavy_g(x, out):
    out[0] = x.sum()


def heavy_jac_g(x, out):
    out[:] = 1.0


def heavy_h(x, lagrange, obj_factor, out):
    out[:] = obj_factor * (np.cosh(heavy_arg(x)) @ HEAVY_SCALE**2) / HEAVY_TERMS


_PREFIX = {
    "hs071": "hs071",
    "rosenbrock": "rosen",
    "chained": "chained",
    "car": "car",
    "heavy": "heavy",
}
ROLES = ("f", "grad_f", "g", "jac_g", "h")


def callbacks(name):
    """The eval_* keyword arguments of the problem's Python form."""
    prefix = _PREFIX[name]
    return {f"eval_{role}": globals()[f"{prefix}_{role}"] for role in ROLES}


def c_prefix(name):
    return _PREFIX[name]
