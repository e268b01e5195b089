"""
Threads, and a sweep on Dask
============================

Solves with **compiled callbacks** give up the interpreter lock while Ipopt
runs, so other Python threads run meanwhile, and solves of different problems
can run in parallel threads where the linked Ipopt allows it
(:data:`vornel.parallel_solves`). Solves with Python callbacks hold the lock,
as any Python code does. One :class:`~vornel.Problem` runs one solve at a time:
give each thread its own.

This tutorial sweeps HS071's product bound over a thread pool with Numba
callbacks, as in :doc:`05_numba`, and shows the same sweep on a Dask cluster.
"""

# %%
# Compiled callbacks, shared by every problem
# -------------------------------------------
# A ``cfunc`` is compiled once; every problem of the sweep uses the same
# machine code. Only the bound differs.
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from numba import cfunc, types
from numba.np.numpy_support import carray
from scipy import LowLevelCallable

import vornel

double_p = types.CPointer(types.double)


@cfunc(types.boolean(types.intc, double_p, double_p, types.voidptr))
def eval_f(n, x_, obj_value, user_data):
    x = carray(x_, (n,))
    obj_value[0] = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2]
    return True


@cfunc(types.boolean(types.intc, double_p, double_p, types.voidptr))
def eval_grad_f(n, x_, out_, user_data):
    x = carray(x_, (n,))
    out = carray(out_, (n,))
    out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2])
    out[1] = x[0] * x[3]
    out[2] = x[0] * x[3] + 1.0
    out[3] = x[0] * (x[0] + x[1] + x[2])
    return True


@cfunc(types.boolean(types.intc, double_p, types.intc, double_p, types.voidptr))
def eval_g(n, x_, m, out_, user_data):
    x = carray(x_, (n,))
    out = carray(out_, (m,))
    out[0] = x[0] * x[1] * x[2] * x[3]
    out[1] = x[0] ** 2 + x[1] ** 2 + x[2] ** 2 + x[3] ** 2
    return True


@cfunc(types.boolean(types.intc, double_p, types.intc, types.intc, double_p, types.voidptr))
def eval_jac_g(n, x_, m, nele_jac, out_, user_data):
    x = carray(x_, (n,))
    out = carray(out_, (nele_jac,))
    out[0] = x[1] * x[2] * x[3]
    out[1] = x[0] * x[2] * x[3]
    out[2] = x[0] * x[1] * x[3]
    out[3] = x[0] * x[1] * x[2]
    for i in range(4):
        out[4 + i] = 2.0 * x[i]
    return True


CALLBACKS = {
    name: LowLevelCallable(function.ctypes)
    for name, function in [
        ("eval_f", eval_f),
        ("eval_grad_f", eval_grad_f),
        ("eval_g", eval_g),
        ("eval_jac_g", eval_jac_g),
    ]
}


def solve_case(bound):
    """One point of the sweep, on a problem of its own."""
    problem = vornel.Problem(
        n=4,
        x_l=np.ones(4),
        x_u=np.full(4, 5.0),
        m=2,
        g_l=np.array([bound, 40.0]),
        g_u=np.array([np.inf, 40.0]),
        sparsity_indices_jac_g=([0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 2, 3, 0, 1, 2, 3]),
        sparsity_indices_h=None,
        ipopt_options={"print_level": 0, "sb": "yes"},
        **CALLBACKS,
    )
    _, objective, status = problem.solve(np.array([1.0, 5.0, 5.0, 1.0]))
    return bound, objective, status


# %%
# The sweep in a thread pool
# --------------------------
# :class:`concurrent.futures.ThreadPoolExecutor` maps the cases over the
# threads. Whether the solves themselves overlap depends on the Ipopt that
# vornel is linked to: Ipopt 3.14 and later guard their calls into MUMPS and
# run solves in parallel; before 3.14 vornel runs one solve at a time in the
# process, and threads still help the rest of a program run during a solve.

print("vornel.parallel_solves:", vornel.parallel_solves, "with Ipopt", vornel.ipopt_version)
bounds = np.linspace(20.0, 30.0, 16).tolist()
for workers in (1, 2):
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        results = list(pool.map(solve_case, bounds))
    elapsed = time.perf_counter() - start
    solved = sum(status == 0 for _, _, status in results)
    print(f"{workers} thread(s): {solved} of {len(results)} solved in {elapsed * 1e3:.1f} ms")

# %%
# Other threads run during a solve
# --------------------------------
# A thread that wakes up every 0.1 ms while the main thread solves shows how
# long it ever had to wait for the interpreter: far less than a solve takes,
# since the solve does not hold the lock.

import threading  # noqa: E402

done = threading.Event()
longest_wait = 0.0


def heartbeat():
    global longest_wait
    last = time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        longest_wait = max(longest_wait, now - last)
        last = now
        time.sleep(1e-4)


thread = threading.Thread(target=heartbeat)
thread.start()
start = time.perf_counter()
for bound in bounds:
    solve_case(bound)
per_solve = (time.perf_counter() - start) / len(bounds)
done.set()
thread.join()
print(f"one solve: {per_solve * 1e3:.1f} ms")
print(f"the other thread waited at most {longest_wait * 1e3:.1f} ms")

# %%
# The same sweep on Dask
# ----------------------
# On a `Dask <https://distributed.dask.org>`_ cluster, each worker builds the
# problem from the bound it is sent, as with processes: a
# :class:`~vornel.Problem` holds callbacks and cannot be pickled. The script
# ``examples/dask_sweep.py`` in the repository starts a local cluster, or
# connects to one (``--scheduler ADDRESS``); starting a cluster takes a few
# seconds, so it is shown here, not run:
#
# .. code-block:: python
#
#     from dask.distributed import Client, LocalCluster
#
#     with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
#         futures = client.map(solve_case, bounds)
#         results = client.gather(futures)
#
# ``solve_case`` must be importable by the workers (defined in a module they
# can import, with NumPy, Numba, SciPy and vornel installed there).
