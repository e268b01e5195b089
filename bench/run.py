#!/usr/bin/env python3
"""Benchmark of vornel against a native C++ Ipopt program.

    python3 bench/run.py [--sizes N,N,...] [--repeat R] [--quick]

Builds the native program and the shared library of compiled callbacks into
bench/build/, then solves every problem in every form, each solve in a fresh
process, repetitions interleaved (the form order rotates), and prints the
medians as a Markdown table, followed by the per-call overhead of Python
callbacks and the memory checks. The table is also written to
bench/build/results.md.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "build")
LIB = os.path.join(BUILD, "libbenchproblems.so")
NATIVE = os.path.join(BUILD, "native")
# The same for every form; vornel gets them as a dict with these types.
OPTIONS = {"print_level": 0, "sb": "yes", "tol": 1e-8, "mu_strategy": "monotone"}

FULL_SIZES = {"rosenbrock": [10**3, 10**4, 10**5, 10**6], "chained": [10**3, 10**4, 10**5]}
QUICK_SIZES = {"rosenbrock": [10**3, 10**4], "chained": [10**3, 10**4]}
# Above this n the Python form is left out of a full run to keep it short;
# its callbacks cost next to nothing there, the solver dominates.
PYTHON_MAX_N = 10**5


def sh(cmd):
    subprocess.run(cmd, check=True)


def newer(target, sources):
    return not os.path.exists(target) or any(
        os.path.getmtime(s) > os.path.getmtime(target) for s in sources
    )


def build():
    os.makedirs(BUILD, exist_ok=True)
    src = os.path.join(HERE, "compiled", "problems.c")
    hdr = os.path.join(HERE, "compiled", "problems.h")
    obj = os.path.join(BUILD, "problems.o")
    native_src = os.path.join(HERE, "native", "native.cpp")
    # One object file for both: the native program and the capsules run the
    # very same machine code.
    if newer(obj, [src, hdr]):
        sh(["cc", "-O2", "-fPIC", "-c", src, "-o", obj])
    if newer(LIB, [obj]):
        sh(["cc", "-O2", "-shared", "-fPIC", obj, "-lm", "-o", LIB])
    if newer(NATIVE, [obj, native_src, hdr]):
        flags = subprocess.run(
            ["pkg-config", "--cflags", "--libs", "ipopt"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.split()
        cflags = [f for f in flags if f.startswith(("-I", "-D"))]
        libs = [f for f in flags if not f.startswith(("-I", "-D"))]
        sh(["g++", "-O2", "-std=c++17", *cflags, native_src, obj, "-o", NATIVE, *libs])


def native_args():
    return [f"{k}={v}" for k, v in OPTIONS.items()]


def run_form(form, problem, n):
    if form == "native":
        cmd = [NATIVE, problem, str(n), *native_args()]
    else:
        cmd = [sys.executable, os.path.join(HERE, "child.py"), "solve", form, problem, str(n), LIB]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def child(*args):
    cmd = [sys.executable, os.path.join(HERE, "child.py"), *map(str, args)]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} µs"


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    ipopt = subprocess.run(
        ["pkg-config", "--modversion", "ipopt"], capture_output=True, text=True
    ).stdout.strip()
    import numpy

    return (
        f"{os.cpu_count()} cores, {cpu}, Ipopt {ipopt}, Python {platform.python_version()}, "
        f"NumPy {numpy.__version__}"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", help="n of the scalable problems, comma-separated")
    parser.add_argument("--repeat", type=int, help="solves per form and size (default 3, quick 2)")
    parser.add_argument("--quick", action="store_true", help="small sizes, few repetitions")
    args = parser.parse_args()
    repeat = args.repeat or (2 if args.quick else 3)
    sizes = QUICK_SIZES if args.quick else FULL_SIZES
    if args.sizes:
        chosen = [int(float(s)) for s in args.sizes.split(",")]
        sizes = {"rosenbrock": chosen, "chained": chosen}
    cases = [("hs071", 4)] + [(p, n) for p in ("rosenbrock", "chained") for n in sizes[p]]

    t0 = time.perf_counter()
    build()
    lines = [f"Machine: {machine()}.", ""]
    lines.append(
        "| problem | n | form | iterations | objective | wall time | per iteration "
        "| ratio to native | CPU time | CPU ratio | peak RSS | same iterations and objective "
        "as native |"
    )
    lines.append("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    print("\n".join(lines), flush=True)
    for problem, n in cases:
        forms = ["native", "compiled"]
        if args.sizes or n <= PYTHON_MAX_N:
            forms.append("python")
        runs = {f: [] for f in forms}
        for rep in range(repeat):
            shift = rep % len(forms)
            for form in forms[shift:] + forms[:shift]:
                runs[form].append(run_form(form, problem, n))
        native = runs["native"]
        native_time = statistics.median(r["time"] for r in native)
        native_cpu = statistics.median(r["cpu"] for r in native)
        for form in forms:
            rs = runs[form]
            first = rs[0]
            t = statistics.median(r["time"] for r in rs)
            cpu = statistics.median(r["cpu"] for r in rs)
            rss = statistics.median(r["maxrss_kb"] for r in rs) / 1024
            same_iter = all(r["iter"] == native[0]["iter"] for r in rs)
            obj_diff = max(abs(float(r["obj"]) - float(native[0]["obj"])) for r in rs)
            if form == "native":
                same = ""
            elif same_iter and obj_diff == 0.0:
                same = "yes"
            else:
                scale = max(abs(float(native[0]["obj"])), 1e-300)
                same = (
                    f"iterations {'same' if same_iter else 'differ'}, objective "
                    f"differs by {obj_diff / scale:.1e} (relative)"
                )
            bad = [r["status"] for r in rs if r["status"] != 0]
            row = (
                f"| {problem} | {n} | {form} | {first['iter']} | {float(first['obj']):.10g} "
                f"| {fmt_time(t)} | {fmt_time(t / max(first['iter'], 1))} "
                f"| {t / native_time:.3f} | {fmt_time(cpu)} | {cpu / native_cpu:.3f} "
                f"| {rss:.1f} MiB | {same} |"
            )
            if bad:
                row += f" status {bad}"
            lines.append(row)
            print(row, flush=True)

    idle = child("idle", LIB)["maxrss_kb"] / 1024
    extra = [
        "",
        f"Peak RSS of an idle Python process with NumPy, vornel and the callback library "
        f"loaded: {idle:.1f} MiB (included in the Python and compiled rows).",
    ]

    # Repeated solves of one problem in one process: resident memory after
    # each must level off.
    n_mem = 10**4
    solves = 10 if args.quick else 20
    for form in ("compiled", "python"):
        r = child("solve", form, "chained", n_mem, LIB, solves)
        after = r["rss_after_kb"]
        extra.append(
            f"Repeated solves, chained n={n_mem}, {form}: RSS after solve 1: "
            f"{after[0] / 1024:.1f} MiB, after solve 2: {after[1] / 1024:.1f} MiB, after solve "
            f"{solves}: {after[-1] / 1024:.1f} MiB."
        )

    rounds = 60 if args.quick else 300
    ov = child("overhead", LIB, rounds)
    extra += [
        "",
        "Per-call overhead of Python callbacks (trivial callables against compiled ones, "
        "see bench/overhead.py):",
        "",
        "| role | arrays | calls per solve | overhead per call | how |",
        "|---|---:|---:|---:|---|",
    ]
    arrays = {"f": 1, "grad_f": 2, "g": 2, "jac_g": 2, "h": 3}
    for role, v in ov.items():
        how = "Ipopt derivative checker, n=200" if role != "h" else "150 barrier iterations, n=4"
        extra.append(
            f"| eval_{role} | {arrays[role]} | {v['calls']} | {v['us_per_call']:.2f} µs | {how} |"
        )
    extra += ["", f"Total benchmark time: {time.perf_counter() - t0:.0f} s."]
    print("\n".join(extra), flush=True)
    lines += extra
    with open(os.path.join(BUILD, "results.md"), "w") as results:
        results.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
