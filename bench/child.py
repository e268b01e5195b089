"""One measurement in a fresh interpreter, so that its peak RSS is its own.

    child.py solve FORM PROBLEM N LIB [SOLVES [OPTION=VALUE ...]]   FORM: compiled | python
    child.py idle LIB
    child.py overhead LIB ROUNDS

Prints one JSON line.
"""

import ctypes
import json
import os
import sys
import time

import vornel

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compiled_problems  # noqa: E402
import python_problems  # noqa: E402

OPTIONS = {"print_level": 0, "sb": "yes", "tol": 1e-8, "mu_strategy": "monotone"}
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024


def maxrss_kb():
    # VmHWM, not getrusage's maxrss: the latter carries the parent's peak
    # over fork and exec.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def rss_kb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_KB


def option_value(text):
    # As the native program reads them: integer, number, otherwise text.
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def solve(form, name, n, lib_path, solves, extra=()):
    definition, x0 = python_problems.definition(name, n)
    if form == "compiled":
        cbs = compiled_problems.callbacks(ctypes.CDLL(lib_path), name)
    else:
        cbs = python_problems.callbacks(name)
    options = dict(OPTIONS)
    options.update((k, option_value(v)) for k, v in (item.split("=", 1) for item in extra))
    problem = vornel.Problem(**definition, **cbs, ipopt_options=options)
    del definition  # the Problem holds its own copies
    times, cpu, rss = [], [], []
    for _ in range(solves):
        x = x0.copy()
        start, cpu_start = time.perf_counter(), time.process_time()
        _, obj, status = problem.solve(x)
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - cpu_start)
        rss.append(rss_kb())
    stats = problem.stats
    return {
        "status": status,
        "iter": stats["n_iter"],
        "obj": obj,
        "time": times[0],
        "cpu": cpu[0],
        "times": times,
        "maxrss_kb": maxrss_kb(),
        "rss_after_kb": rss,
        "n_eval_f": stats["n_eval_f"],
        "n_eval_grad_f": stats["n_eval_grad_f"],
        "n_eval_g": stats["n_eval_g_eq"] + stats["n_eval_g_ineq"],
        "n_eval_jac_g": stats["n_eval_jac_g_eq"] + stats["n_eval_jac_g_ineq"],
        "n_eval_h": stats["n_eval_h"],
    }


def idle(lib_path):
    compiled_problems.callbacks(ctypes.CDLL(lib_path), "hs071")
    return {"maxrss_kb": maxrss_kb()}


def main(argv):
    mode = argv[1]
    if mode == "solve":
        solves = int(argv[6]) if len(argv) > 6 else 1
        result = solve(argv[2], argv[3], int(argv[4]), argv[5], solves, argv[7:])
    elif mode == "idle":
        result = idle(argv[2])
    elif mode == "overhead":
        import overhead

        result = overhead.measure(argv[2], int(argv[3]), OPTIONS)
    else:
        raise SystemExit(__doc__)
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv)
