"""Per-call cost of Python callbacks, role by role.

The problem is the constant one, min 0 over a box with two inactive
constraints, whose every derivative is zero: trivial callables are then
correct ones and the solver's path is fixed. Ipopt's derivative checker
(max_iter 0) evaluates f and g once per variable and grad_f and jac_g once
per variable, so one solve makes a few hundred calls of each role. A role's
per-call overhead is the time a solve takes with that role as a trivial
Python callable, minus the time with compiled callbacks that write the same
zeros, over the number of calls, minus the cost of the callable's own body
(`out.fill(0.0)`), timed on its own. eval_h is called once per
iteration only; its figure comes from a run of many barrier iterations
(see ITERATION_OPTIONS) and is noisier.
"""

import ctypes
import statistics
import time
import timeit

import numpy as np

import compiled_problems
import vornel

N = 200
CHECK_OPTIONS = {"max_iter": 0, "derivative_test": "second-order"}
# A slow, monotone barrier decrease that never reaches tol: every run
# makes exactly max_iter iterations with one evaluation of each role.
ITERATION_OPTIONS = {
    "max_iter": 150,
    "tol": 1e-30,
    "acceptable_iter": 0,
    "mu_min": 1e-300,
    "mu_linear_decrease_factor": 0.99,
    "mu_superlinear_decrease_power": 1.01,
    "mu_allow_fast_monotone_decrease": "no",
}


def trivial(role):
    if role == "f":
        return lambda x: 0.0
    if role == "h":
        return lambda x, lagrange, obj_factor, out: out.fill(0.0)
    return lambda x, out: out.fill(0.0)


def counting(role, counts):
    inner = trivial(role)

    def call(*args):
        counts[role] = counts.get(role, 0) + 1
        return inner(*args)

    return call


def build(lib, n, options, python_roles, wrap=trivial):
    cbs = compiled_problems.callbacks(lib, "zero")
    for role in python_roles:
        cbs[f"eval_{role}"] = wrap(role)
    return vornel.Problem(
        n=n,
        x_l=np.full(n, -1.0),
        x_u=np.full(n, 1.0),
        m=2,
        g_l=np.full(2, -1.0),
        g_u=np.full(2, 1.0),
        sparsity_indices_jac_g=([0, 1], [0, 0]),
        sparsity_indices_h=([0], [0]),
        **cbs,
        ipopt_options=options,
    )


def body_cost(role, n):
    """Seconds per call of the trivial callable's body alone."""
    if role == "f":
        return 0.0
    length = {"grad_f": n, "g": 2, "jac_g": 2, "h": 1}[role]
    out = np.zeros(length)
    number = 200000
    return (
        min(timeit.repeat(lambda: out.fill(0.0), number=number, repeat=5)) / number
        - min(timeit.repeat(lambda: None, number=number, repeat=5)) / number
    )


def timed(problem, n):
    x = np.zeros(n)
    # CPU time of this thread: a solve that another process delays on the
    # shared cores is not charged for the wait.
    start = time.thread_time()
    problem.solve(x)
    return time.thread_time() - start


def per_call(lib, roles, n, options, rounds):
    """Microseconds per call for each role, with the call counts."""
    counts = {}
    build(lib, n, options, roles, lambda r: counting(r, counts)).solve(np.zeros(n))
    problems = {"reference": build(lib, n, options, ())}
    problems.update({role: build(lib, n, options, (role,)) for role in roles})
    samples = {key: [] for key in problems}
    for _ in range(2):  # warm-up
        for problem in problems.values():
            timed(problem, n)
    # Interleaved, so that the machine's noise hits every variant alike.
    for _ in range(rounds):
        for key, problem in problems.items():
            samples[key].append(timed(problem, n))
    reference = statistics.median(samples["reference"])
    result = {}
    for role in roles:
        extra = statistics.median(samples[role]) - reference
        result[role] = {
            "us_per_call": 1e6 * (extra / counts[role] - body_cost(role, n)),
            "calls": counts[role],
            "solve_ms": 1e3 * statistics.median(samples[role]),
            "reference_ms": 1e3 * reference,
        }
    return result


def measure(lib_path, rounds, base_options):
    lib = ctypes.CDLL(lib_path)
    quiet = {"print_level": 0, "sb": "yes"}
    result = per_call(lib, ("f", "grad_f", "g", "jac_g"), N, dict(quiet, **CHECK_OPTIONS), rounds)
    result.update(per_call(lib, ("h",), 4, dict(quiet, **ITERATION_OPTIONS), max(3, rounds // 4)))
    return result
