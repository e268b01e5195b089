#!/usr/bin/env python3
"""The fixed costs of a solve, in instructions counted by callgrind.

    python3 bench/fixed_costs.py [--solves K] [--form compiled|python] [--keep DIR]
                                 [--solver system|source]
    python3 bench/fixed_costs.py --wall R [--other DIR]

Runs HS071 under valgrind --tool=callgrind twice: the native C++ program
(bench/build/native-system, against the Ipopt pkg-config finds), whose
IpoptApplicationFactory() and OptimizeTNLP() are counted on their own, and a
fresh interpreter with the vornel that `python3` imports, which marks the end
of each stage (a callgrind dump through a one-line C helper) so that every
stage is counted on its own: import numpy, import vornel, the construction
of a Problem, the first solve, the K-th solve on the same Problem, a further
construction and solve on a new Problem, and the first and a later read of
Problem.result. With --solver, the native program and the vornel that
bench/run.py builds for that solver build instead (bench/build/native-SOLVER
and bench/build/vornel-SOLVER). Instruction counts do not depend on the
machine's load; the result is a Markdown table.

With --wall, wall times instead, which the load inflates: R fresh processes
each (interleaved) of the native program's first OptimizeTNLP, of vornel's
first solve, and of `import vornel` after `import numpy`; --other adds the
same for the vornel installed in DIR (pip install --target DIR), such as an
earlier version.
"""

import argparse
import glob
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run  # noqa: E402

MARKER_C = r"""
#include <valgrind/callgrind.h>
void fixed_costs_mark(const char* label) { CALLGRIND_DUMP_STATS_AT(label); }
"""
MARKER = os.path.join(run.BUILD, "libfixedcostsmark.so")
NATIVE = run.native_path("system")
OPTIONS = run.OPTIONS
# The child's environment: that of the vornel bench/run.py built for the
# chosen solver, or this process's own.
CHILD_ENV = dict(os.environ)

# The interpreter under callgrind: each stage ends with a dump named after it.
CHILD = r"""
import ctypes, sys
mark = ctypes.CDLL(sys.argv[1]).fixed_costs_mark
mark.argtypes = (ctypes.c_char_p,)
mark(b"interpreter start-up")
import numpy as np
mark(b"import numpy")
import vornel
mark(b"import vornel")
sys.path.insert(0, sys.argv[2])
import compiled_problems, python_problems
definition, x0 = python_problems.definition("hs071", 4)
if sys.argv[4] == "compiled":
    cbs = compiled_problems.callbacks(ctypes.CDLL(sys.argv[3]), "hs071")
else:
    cbs = python_problems.callbacks("hs071")
options = dict(OPTIONS)
x = x0.copy()
mark(b"bench set-up")
problem = vornel.Problem(**definition, **cbs, ipopt_options=options)
mark(b"construct Problem")
problem.solve(x)
mark(b"first solve")
solves = int(sys.argv[5])
for _ in range(solves - 2):
    x[:] = x0
    problem.solve(x)
x[:] = x0
mark(b"bench loop")
problem.solve(x)
mark(b"solve %d" % solves)
x[:] = x0
again = vornel.Problem(**definition, **cbs, ipopt_options=options)
mark(b"construct another Problem")
again.solve(x)
mark(b"its first solve")
x[:] = x0
problem.solve(x)
mark(b"solve on the first Problem")
problem.result
mark(b"first Problem.result")
problem.result
mark(b"Problem.result again")
"""


def build():
    run.build()
    if run.newer(MARKER, [__file__]):
        source = os.path.join(run.BUILD, "fixedcostsmark.c")
        with open(source, "w") as f:
            f.write(MARKER_C)
        run.sh(["cc", "-O2", "-shared", "-fPIC", source, "-o", MARKER])
    env = run.solver_env("system")
    flags = run.pkg_config(env, "--cflags", "--libs")
    cflags = [f for f in flags if f.startswith(("-I", "-D"))]
    libs = [f for f in flags if not f.startswith(("-I", "-D"))]
    obj = os.path.join(run.BUILD, "problems.o")
    native_src = os.path.join(HERE, "native", "native.cpp")
    if run.newer(NATIVE, [obj, native_src]):
        run.sh(["g++", "-O2", "-std=c++17", *cflags, native_src, obj, "-o", NATIVE, *libs])


def callgrind(out, cmd, *extra):
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *extra, *cmd],
        check=True,
        capture_output=True,
        env=dict(CHILD_ENV, PYTHONHASHSEED="0"),
    )


# What a stage spends in the solver, or in loading the libraries, by the
# inclusive count of the function that does it.
PARTS = {
    "import vornel": ("dlopen", "PyInit__core"),
    "construct Problem": ("IpoptApplicationFactory",),
    "construct another Problem": ("IpoptApplicationFactory",),
    "first solve": ("Ipopt::IpoptApplication::OptimizeTNLP",),
    "its first solve": ("Ipopt::IpoptApplication::OptimizeTNLP",),
    "solve on the first Problem": ("Ipopt::IpoptApplication::OptimizeTNLP",),
}


def inclusive(path, functions):
    """The inclusive instruction counts of the named functions in a dump."""
    out = subprocess.run(
        ["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    counts = dict.fromkeys(functions, 0)
    for line in out.splitlines():
        found = re.match(r"\s*([\d,]+) .*?:(\S+?)(?:@@\S+|\(.*\)| |$)", line)
        if found and found.group(2) in counts and counts[found.group(2)] == 0:
            counts[found.group(2)] = int(found.group(1).replace(",", ""))
    return counts


def totals(path):
    """The dump's trigger label and its instruction count."""
    label, count = "", 0
    with open(path) as f:
        for line in f:
            if line.startswith("desc: Trigger:"):
                label = re.sub(r"^desc: Trigger: Client Request: ", "", line.strip())
            elif line.startswith(("totals:", "summary:")):
                count = int(line.split()[1])
    return label, count


def native_counts(folder):
    options = [f"{k}={v}" for k, v in OPTIONS.items()]
    cmd = [NATIVE, "hs071", "4", *options]
    whole = os.path.join(folder, "native.out")
    callgrind(whole, cmd)
    counts = {"native process": totals(whole)[1]}
    for label, function in (
        ("native IpoptApplicationFactory", "IpoptApplicationFactory*"),
        ("native OptimizeTNLP", "Ipopt::IpoptApplication::OptimizeTNLP*"),
    ):
        out = os.path.join(folder, f"native-{label.split()[1]}.out")
        callgrind(out, cmd, "--collect-atstart=no", f"--toggle-collect={function}")
        counts[label] = totals(out)[1]
    return counts


def vornel_counts(folder, form, solves):
    script = os.path.join(folder, "child.py")
    with open(script, "w") as f:
        f.write(f"OPTIONS = {OPTIONS!r}\n{CHILD}")
    out = os.path.join(folder, "vornel.out")
    cmd = [sys.executable, script, MARKER, HERE, run.LIB, form, str(solves)]
    callgrind(out, cmd)
    counts, parts = {}, {}
    for path in sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1])):
        label, count = totals(path)
        counts[label or "interpreter exit"] = count
        functions = PARTS.get("solve on the first Problem" if label == f"solve {solves}" else label)
        if functions:
            parts[label] = inclusive(path, functions)
    return counts, parts


IMPORT_TIME = (
    "import time, numpy; start = time.perf_counter(); import vornel; "
    "print(time.perf_counter() - start, vornel.__file__)"
)


def wall(repeat, other):
    """Median and minimum wall times, in ms, of fresh processes."""
    opts = [f"{k}={v}" for k, v in OPTIONS.items()]
    installs = {"vornel": os.environ}
    if other:
        installs[f"vornel in {other}"] = dict(os.environ, PYTHONPATH=other)
    times = {"native first OptimizeTNLP": []}
    for _ in range(repeat):
        out = subprocess.run([NATIVE, "hs071", "4", *opts], capture_output=True, text=True)
        times["native first OptimizeTNLP"].append(json.loads(out.stdout.splitlines()[-1])["time"])
        for name, env in installs.items():
            child = [sys.executable, os.path.join(HERE, "child.py"), "solve", "compiled"]
            out = subprocess.run(
                [*child, "hs071", "4", run.LIB, "1"], capture_output=True, text=True, env=env
            )
            times.setdefault(f"{name}: first solve", []).append(
                json.loads(out.stdout.splitlines()[-1])["time"]
            )
            out = subprocess.run(
                [sys.executable, "-c", IMPORT_TIME],
                capture_output=True,
                text=True,
                env=env,
                cwd=run.BUILD,
                check=True,
            ).stdout.split()
            if other and (out[1].startswith(other) != name.endswith(other)):
                raise SystemExit(f"{name} imports from {out[1]}")
            times.setdefault(f"{name}: import vornel", []).append(float(out[0]))
    print(f"wall times of {repeat} fresh processes each, ms; load average {os.getloadavg()}")
    print()
    print("| measure | median | minimum |")
    print("|---|---:|---:|")
    for name, values in times.items():
        print(f"| {name} | {statistics.median(values) * 1e3:.2f} | {min(values) * 1e3:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--solves", type=int, default=100, help="solves on one Problem")
    parser.add_argument("--form", choices=("compiled", "python"), default="compiled")
    parser.add_argument("--keep", help="a folder to keep the callgrind files in")
    parser.add_argument("--wall", type=int, metavar="R", help="wall times of R processes each")
    parser.add_argument("--other", help="with --wall: a folder with another vornel install")
    parser.add_argument("--solver", choices=("system", "source"), help="the solver build")
    args = parser.parse_args()
    if args.solves < 3:
        parser.error("--solves must be at least 3")
    build()
    if args.solver:
        global NATIVE, CHILD_ENV
        run.build_solver(args.solver)
        NATIVE = run.native_path(args.solver)
        CHILD_ENV = run.child_env(args.solver)
    if args.wall:
        print(f"load average {os.getloadavg()}")
        wall(args.wall, args.other and os.path.abspath(args.other))
        return
    with tempfile.TemporaryDirectory() as tmp:
        folder = args.keep or tmp
        os.makedirs(folder, exist_ok=True)
        native = native_counts(folder)
        stages, parts = vornel_counts(folder, args.form, args.solves)
    version = subprocess.run(
        [sys.executable, "-c", "import vornel; print(vornel.ipopt_version)"],
        check=True,
        capture_output=True,
        text=True,
        env=CHILD_ENV,
        cwd=run.BUILD,
    ).stdout.strip()
    print(f"HS071, {args.form} callbacks, Ipopt {version}; instructions (callgrind)")
    print()
    print("| stage | instructions | ratio to native | of which |")
    print("|---|---:|---:|---|")
    factory = native["native IpoptApplicationFactory"]
    optimize = native["native OptimizeTNLP"]
    reference = {
        "construct Problem": factory,
        "construct another Problem": factory,
        "first solve": optimize,
        f"solve {args.solves}": optimize,
        "its first solve": optimize,
        "solve on the first Problem": optimize,
    }
    for label, count in native.items():
        print(f"| {label} | {count:,} | | |")
    for label, count in stages.items():
        if label in ("bench set-up", "bench loop", "interpreter exit"):
            continue
        ratio = f"{count / reference[label]:.3f}" if label in reference else ""
        split = parts.get(label, {})
        own = count - sum(split.values()) if "dlopen" not in split else None
        text = ", ".join(f"{name} {value:,}" for name, value in split.items())
        if split and own is not None:
            text += f"; vornel's own {own:,}"
        print(f"| vornel: {label} | {count:,} | {ratio} | {text} |")


if __name__ == "__main__":
    main()
