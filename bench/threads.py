#!/usr/bin/env python3
"""Benchmark of solves in threads, with compiled callbacks, on two solver builds.

    python3 bench/threads.py [--quick] [--rounds R] [--solvers system,source]

Builds vornel against each solver build as bench/run.py does, then, in one
fresh process a build, measures with the C functions of compiled/problems.c:

- stall: while the main thread solves extended Rosenbrock again and again
  (iterations of a few milliseconds), another thread sleeps 1 ms at a time and
  records by how much each wake-up comes late; the same with no solve running
  is the baseline;
- throughput: 1, 2 and 4 threads, each solving its own Problem instances in a
  loop, in solves per second, for HS071 and for an evaluation-heavy problem.

Every solve in a thread must give the bits of the sequential solve (x,
objective, status); the command fails if one does not. Prints the load
average, then Markdown tables, which it also writes to bench/build/threads.md.
"""

import argparse
import ctypes
import functools
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compiled_problems  # noqa: E402
import python_problems  # noqa: E402
import run  # noqa: E402

# The stall problem: 21 iterations of about 1 ms each on an idle machine here.
STALL_PROBLEM = ("rosenbrock", 500)
# The evaluation-heavy problem's size: function evaluations take most of a solve.
HEAVY_N = 64
THREADS = (1, 2, 4)
CEILING = "heavy_f alone, ctypes"
STALL_TARGET = 5e-3


def measure_child(solver, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", json.dumps(args)]
    out = subprocess.run(
        cmd, check=True, capture_output=True, text=True, env=run.child_env(solver), cwd=run.BUILD
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


# --- In the child: one solver build ------------------------------------------


class Case:
    """One problem of the benchmark with its compiled callbacks and the result
    of its sequential solve, against which every other solve is checked."""

    def __init__(self, lib, name, n):
        self.name = name
        self.definition, self.x0 = python_problems.definition(name, n)
        self.callbacks = compiled_problems.callbacks(lib, name)
        problem = self.problem()
        self.reference = self.solve(problem)
        self.iterations = problem.stats["n_iter"]
        self.mismatches = 0

    def problem(self):
        import vornel

        return vornel.Problem(**self.definition, **self.callbacks, ipopt_options=run.OPTIONS)

    def solve(self, problem):
        x, obj, status = problem.solve(self.x0.copy())
        return x.tobytes(), obj, status

    def check(self, result):
        if result != self.reference:
            self.mismatches += 1


def stall(duration, solve=None):
    """Lateness of a thread's 1 ms sleeps over `duration` seconds while the
    main thread calls `solve` in a loop (or sleeps, for the baseline)."""
    done = threading.Event()
    late = []

    def sleeper():
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            late.append(now - last - 0.001)
            last = now

    thread = threading.Thread(target=sleeper)
    solves = 0
    thread.start()
    end = time.perf_counter() + duration
    while time.perf_counter() < end:
        if solve is None:
            time.sleep(0.05)
        else:
            solve()
            solves += 1
    done.set()
    thread.join()
    late.sort()
    return {
        "max": late[-1],
        "p99": late[int(0.99 * (len(late) - 1))],
        "wakeups": len(late),
        "solves": solves,
    }


def rate(jobs, count):
    """Calls per second of as many threads as `jobs`, each calling its job
    `count` times, all started together."""
    start = threading.Barrier(len(jobs) + 1)

    def worker(job):
        start.wait()
        for _ in range(count):
            job()

    pool = [threading.Thread(target=worker, args=(job,)) for job in jobs]
    for thread in pool:
        thread.start()
    start.wait()
    t0 = time.perf_counter()
    for thread in pool:
        thread.join()
    return len(jobs) * count / (time.perf_counter() - t0)


def throughput(case, threads, count):
    """Solves per second of `threads` threads, each solving `count` times
    on a Problem instance of its own."""
    results = []
    jobs = [
        functools.partial(lambda p: results.append(case.solve(p)), case.problem())
        for _ in range(threads)
    ]
    solves = rate(jobs, count)
    for result in results:
        case.check(result)
    return solves


def ceiling(lib, threads, count):
    """Calls per second of the heavy objective alone through ctypes, which
    lets go of the interpreter lock: what the machine gives these threads
    now, which no solve can exceed."""
    f = lib.heavy_f
    f.restype = ctypes.c_bool
    f.argtypes = (ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
    x = python_problems.definition("heavy", HEAVY_N)[1]
    outs = [np.zeros(1) for _ in range(threads)]
    jobs = [functools.partial(f, HEAVY_N, x.ctypes.data, out.ctypes.data, None) for out in outs]
    return rate(jobs, count)


def child(args):
    import vornel

    lib = ctypes.CDLL(run.LIB)
    stall_case = Case(lib, *STALL_PROBLEM)
    t0 = time.perf_counter()
    stall_case.check(stall_case.solve(stall_case.problem()))
    solve_time = time.perf_counter() - t0
    baseline = stall(args["stall_seconds"])
    problem = stall_case.problem()
    during = stall(args["stall_seconds"], lambda: stall_case.check(stall_case.solve(problem)))

    cases = [Case(lib, "hs071", 4), Case(lib, "heavy", HEAVY_N)]
    rates = {name: {t: [] for t in THREADS} for name in [c.name for c in cases] + [CEILING]}
    for _ in range(args["rounds"]):
        for threads in THREADS:
            for case in cases:
                count = args["counts"][case.name]
                rates[case.name][threads].append(throughput(case, threads, count))
            count = args["counts"][CEILING]
            rates[CEILING][threads].append(ceiling(lib, threads, count))
    return {
        "ipopt": vornel.ipopt_version,
        "parallel_solves": vornel.parallel_solves,
        "stall_problem": {
            "iterations": stall_case.iterations,
            "solve_time": solve_time,
        },
        "baseline": baseline,
        "during": during,
        "throughput": {name: {t: max(r) for t, r in rs.items()} for name, rs in rates.items()},
        "mismatches": {c.name: c.mismatches for c in [stall_case, *cases]},
    }


# --- In the parent ----------------------------------------------------------


def lock_note(parallel):
    if parallel:
        return "vornel.parallel_solves is True: solves of different problems run at once"
    return (
        "vornel.parallel_solves is False: solves take turns (Ipopt before 3.14, whose MUMPS "
        "is not thread-safe), other Python threads run meanwhile"
    )


def ms(seconds):
    return f"{seconds * 1e3:.2f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs, one round")
    parser.add_argument("--rounds", type=int, help="rounds of throughput runs, best kept")
    parser.add_argument(
        "--solvers", default="system,source", help="solver builds: system, source or both"
    )
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return

    solvers = args.solvers.split(",")
    rounds = args.rounds or (1 if args.quick else 3)
    settings = {
        "stall_seconds": 1.0 if args.quick else 3.0,
        "rounds": rounds,
        "counts": {"hs071": 30, "heavy": 6, CEILING: 150}
        if args.quick
        else {"hs071": 100, "heavy": 20, CEILING: 500},
    }
    run.build()
    described = {solver: run.build_solver(solver) for solver in solvers}
    lines = [f"Machine: {run.machine()}; load average at the start {run.load()}.", ""]
    # Ipopt's own split of the heavy problem's solve time, from a solve of
    # its own with timing statistics.
    split = {s: run.run_form("compiled", s, "heavy", HEAVY_N) for s in solvers}
    results = {s: measure_child(s, settings) for s in solvers}
    for solver in solvers:
        lines.append(
            f"- {solver}: {described[solver]}; {lock_note(results[solver]['parallel_solves'])}."
        )

    rosen, n = STALL_PROBLEM
    lines += [
        "",
        f"Stall: a thread sleeping 1 ms at a time, lateness of its wake-ups while the main "
        f"thread solves {rosen} n={n} in a loop for {settings['stall_seconds']:g} s "
        f"(target: at most {ms(STALL_TARGET)}), and with no solve running.",
        "",
        "| solver | iterations | time per iteration | solves | longest stall | 99th percentile "
        "| baseline longest | baseline 99th percentile | within target |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for solver in solvers:
        r = results[solver]
        sp, during, base = r["stall_problem"], r["during"], r["baseline"]
        lines.append(
            f"| {solver} | {sp['iterations']} | {ms(sp['solve_time'] / sp['iterations'])} "
            f"| {during['solves']} | {ms(during['max'])} | {ms(during['p99'])} "
            f"| {ms(base['max'])} | {ms(base['p99'])} "
            f"| {'yes' if during['max'] <= STALL_TARGET else 'no'} |"
        )
    counts = settings["counts"]
    lines += [
        "",
        f"Throughput: each thread solves its own Problem instances in a loop (HS071 "
        f"{counts['hs071']} times, heavy n={HEAVY_N} {counts['heavy']} times), best of "
        f"{rounds} round{'s' if rounds > 1 else ''}; heavy spends the share of its solve "
        "shown in Ipopt's function evaluations (print_timing_statistics, one solve). "
        f"The row *{CEILING}* is the machine's ceiling at the time: heavy's objective alone "
        f"({counts[CEILING]} calls a thread) through ctypes, which lets go of the "
        "interpreter lock; with other work on the machine it stays below 2x, and so must the "
        "solves.",
        "",
        "| solver | problem | evaluations share | 1 thread | 2 threads | 4 threads "
        "| speed-up 2 | speed-up 4 |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for solver in solvers:
        for name, rate in results[solver]["throughput"].items():
            one = rate["1"]
            share = split[solver]["fevals"] / split[solver]["time"] if name == "heavy" else None
            lines.append(
                f"| {solver} | {name} | {f'{share:.0%}' if share is not None else ''} "
                f"| {one:.1f}/s | {rate['2']:.1f}/s | {rate['4']:.1f}/s "
                f"| {rate['2'] / one:.2f}x | {rate['4'] / one:.2f}x |"
            )
    lines.append(f"\nLoad average at the end: {run.load()}.")
    bad = {s: {k: v for k, v in r["mismatches"].items() if v} for s, r in results.items()}
    bad = {s: m for s, m in bad.items() if m}
    if bad:
        lines.append(f"\nFAILED: threaded solves differ from the sequential solve: {bad}")
    else:
        lines.append("\nEvery threaded solve gave the sequential solve's x, objective and status.")
    text = "\n".join(lines)
    print(text, flush=True)
    with open(os.path.join(run.BUILD, "threads.md"), "w") as f:
        f.write(text + "\n")
    if bad:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
