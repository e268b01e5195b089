r"""
A warm-started parameter sweep
==============================

A sweep solves a family of problems that differ in one parameter. Neighbouring
problems have neighbouring solutions, so each solve can start from the previous
one's point *and multipliers*: Ipopt's warm start. This tutorial sweeps the
lower bound :math:`b` of HS071's product constraint,
:math:`x_0 x_1 x_2 x_3 \ge b`, and compares the iterations with cold starts.
"""

# %%
# The problem as a function of the parameter
# ------------------------------------------
# Bounds are fixed when a :class:`~vornel.Problem` is made, so each value of
# the parameter gets its own problem; making one costs microseconds.
import matplotlib.pyplot as plt
import numpy as np

import vornel


def eval_f(x):
    return x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]


def eval_grad_f(x, out):
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2])
    out[1] = x[0] * x[3]
    out[2] = x[0] * x[3] + 1.0
    out[3] = x[0] * (x[0] + x[1] + x[2])


def eval_g(x, out):
    out[0] = np.prod(x)
    out[1] = x @ x


def eval_jac_g(x, out):
    out[:4] = np.prod(x) / x
    out[4:] = 2.0 * x


def make(bound, **options):
    return vornel.Problem(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=2,
        g_l=np.array([bound, 40.0]),
        g_u=np.array([np.inf, 40.0]),
        sparsity_indices_jac_g=([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3]),
        sparsity_indices_h=None,
        eval_f=eval_f,
        eval_grad_f=eval_grad_f,
        eval_g=eval_g,
        eval_jac_g=eval_jac_g,
        ipopt_options={"print_level": 0, "sb": "yes", **options},
    )


# %%
# Cold starts
# -----------
# Every solve from the same starting point.

bounds = np.linspace(20.0, 32.0, 13)
x0 = np.array([1.0, 5.0, 5.0, 1.0])
cold = []
for b in bounds:
    problem = make(b)
    _, objective, status = problem.solve(x0.copy())
    cold.append((objective, problem.result.iterations, status))

# %%
# Warm starts
# -----------
# The multiplier arrays passed to :meth:`~vornel.Problem.solve` supply the
# starting multipliers and receive the final ones; ``x`` does the same for the
# point. With ``warm_start_init_point="yes"`` Ipopt starts from all of them.
# A warm start should not push the point too far into the interior:
# ``warm_start_bound_push`` and ``warm_start_mult_bound_push`` keep it close.

warm_options = {
    "warm_start_init_point": "yes",
    "warm_start_bound_push": 1e-6,
    "warm_start_mult_bound_push": 1e-6,
    "mu_init": 1e-4,
}
x = x0.copy()
mult_g, mult_x_L, mult_x_U = np.zeros(2), np.zeros(4), np.zeros(4)
warm = []
for k, b in enumerate(bounds):
    # The first solve has nothing to start from.
    problem = make(b, **(warm_options if k else {}))
    _, objective, status = problem.solve(x, mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U)
    warm.append((objective, problem.result.iterations, status))

print(" bound  objective  cold iterations  warm iterations")
for b, (obj, it_cold, _), (obj_warm, it_warm, _) in zip(bounds, cold, warm, strict=True):
    assert abs(obj - obj_warm) < 1e-6 * abs(obj)
    print(f"{b:6.1f}  {obj:9.5f}  {it_cold:15d}  {it_warm:15d}")
print("all solved:", all(s == 0 for *_, s in cold + warm))

# %%
# The sweep at a glance
# ---------------------
# The optimal objective grows with the bound; the warm starts need a fraction
# of the iterations.

fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.5))
left.plot(bounds, [c[0] for c in cold], "o-")
left.set_xlabel("lower bound b of $x_0 x_1 x_2 x_3$")
left.set_ylabel("optimal objective")
right.plot(bounds, [c[1] for c in cold], "o-", label="cold start")
right.plot(bounds, [w[1] for w in warm], "s-", label="warm start")
right.set_xlabel("lower bound b of $x_0 x_1 x_2 x_3$")
right.set_ylabel("iterations")
right.legend()
fig.tight_layout()
plt.show()
