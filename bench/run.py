#!/usr/bin/env python3
"""Benchmark of vornel against a native C++ Ipopt program, on two solver builds.

    python3 bench/run.py [--sizes N,N,...] [--repeat R] [--quick] [--solvers system,source]
                         [--json PATH] [--readme]

Builds the shared library of compiled callbacks, and for each solver build
(the system's Ipopt found by pkg-config; the one tools/build-ipopt.sh builds
into its cache) the native program and vornel itself, into bench/build/.
Then solves every problem in every form on every solver, each solve in a
fresh process, repetitions interleaved (the order of the (solver, form)
pairs rotates), and prints the medians as a Markdown table with Ipopt's own
timing split, followed by the per-call overhead of Python callbacks and the
memory checks. The table is also written to bench/build/results.md, and
with --json the figures to a results file (the documentation's benchmarks
page draws its plots from bench/results/run.json); --readme puts the tables,
and the command that made them, into bench/README.md between its two
markers.
"""

import argparse
import hashlib
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(HERE, "build")
LIB = os.path.join(BUILD, "libbenchproblems.so")
# The same for every form; vornel gets them as a dict with these types.
OPTIONS = {"print_level": 0, "sb": "yes", "tol": 1e-8, "mu_strategy": "monotone"}

FULL_SIZES = {"rosenbrock": [10**3, 10**4, 10**5], "chained": [10**3, 10**4, 10**5]}
QUICK_SIZES = {"rosenbrock": [10**3, 10**4], "chained": [10**3, 10**4]}
# The car problem has one size: 1001 nodes of 6 variables.
CAR_N = 6006
LABEL = {"chained": "lukšan-vlček 1", "car": "car"}
# Above this n the Python form is left out of a full run to keep it short;
# its callbacks cost next to nothing there, the solver dominates.
PYTHON_MAX_N = 10**5


def sh(cmd):
    subprocess.run(cmd, check=True)


def newer(target, sources):
    return not os.path.exists(target) or any(
        os.path.getmtime(s) > os.path.getmtime(target) for s in sources
    )


def native_path(solver):
    return os.path.join(BUILD, f"native-{solver}")


def vornel_path(solver):
    return os.path.join(BUILD, f"vornel-{solver}")


def solver_env(solver):
    """The environment in which pkg-config finds the solver build."""
    env = dict(os.environ)
    # The system's build is what pkg-config's own search finds.
    env.pop("PKG_CONFIG_PATH", None)
    if solver == "source":
        prefix = subprocess.run(
            [os.path.join(ROOT, "tools", "build-ipopt.sh")],
            check=True,
            stdout=subprocess.PIPE,
            text=True,
        ).stdout.split()[-1]
        path = os.path.join(prefix, "lib", "pkgconfig")
        env["PKG_CONFIG_PATH"] = path
    return env


def pkg_config(env, *args):
    return subprocess.run(
        ["pkg-config", *args, "ipopt"], check=True, capture_output=True, text=True, env=env
    ).stdout.split()


def sources_digest(env):
    digest = hashlib.sha256()
    for folder in ("src",):
        for base, _, files in sorted(os.walk(os.path.join(ROOT, folder))):
            for name in sorted(files):
                with open(os.path.join(base, name), "rb") as f:
                    digest.update(f.read())
    for name in ("meson.build", "meson.options", "pyproject.toml"):
        with open(os.path.join(ROOT, name), "rb") as f:
            digest.update(f.read())
    digest.update(" ".join(pkg_config(env, "--libs")).encode())
    return digest.hexdigest()


def build_solver(solver):
    """The native program and vornel itself, linked to one solver build."""
    env = solver_env(solver)
    flags = pkg_config(env, "--cflags", "--libs")
    libdir = pkg_config(env, "--variable=libdir")[0]
    cflags = [f for f in flags if f.startswith(("-I", "-D"))]
    libs = [f for f in flags if not f.startswith(("-I", "-D"))]
    obj = os.path.join(BUILD, "problems.o")
    native_src = os.path.join(HERE, "native", "native.cpp")
    native = native_path(solver)
    if newer(native, [obj, native_src, os.path.join(HERE, "compiled", "problems.h")]):
        rpath = [f"-Wl,-rpath,{libdir}"] if solver == "source" else []
        sh(["g++", "-O2", "-std=c++17", *cflags, native_src, obj, "-o", native, *rpath, *libs])
    # vornel, installed into a folder of its own that the child processes
    # put first on their path.
    target = vornel_path(solver)
    stamp = os.path.join(target, ".sources")
    digest = sources_digest(env)
    if not os.path.exists(stamp) or open(stamp).read() != digest:
        print(f"building vornel against the {solver} solver", file=sys.stderr, flush=True)
        args = [sys.executable, "-m", "pip", "install", "-q", "--no-deps"]
        args += ["--upgrade", "--target", target]
        if solver == "source":
            args.append("-Csetup-args=-Dipopt_rpath=true")
        subprocess.run([*args, ROOT], check=True, env=env)
        with open(stamp, "w") as f:
            f.write(digest)
    version = subprocess.run(
        [sys.executable, "-c", "import vornel; print(vornel.ipopt_version, vornel.__file__)"],
        check=True,
        capture_output=True,
        text=True,
        env=child_env(solver),
        cwd=BUILD,
    ).stdout.split()
    if not version[1].startswith(target):
        raise SystemExit(f"vornel for the {solver} solver imports from {version[1]}")
    return f"Ipopt {version[0]} from {libdir}"


def child_env(solver):
    env = dict(os.environ)
    # NumPy's OpenBLAS threads spin after each of the Python callbacks' dot
    # products and, on a machine with few cores, take CPU from the solver
    # (Lukšan-Vlček 1 at n = 10^5, Python form: 1.4 s CPU against 0.86 s
    # with one thread). A setting of the host process, not of the module;
    # the native program does not load OpenBLAS.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    env["PYTHONPATH"] = vornel_path(solver) + os.pathsep + env.get("PYTHONPATH", "")
    return env


def build():
    os.makedirs(BUILD, exist_ok=True)
    src = os.path.join(HERE, "compiled", "problems.c")
    hdr = os.path.join(HERE, "compiled", "problems.h")
    obj = os.path.join(BUILD, "problems.o")
    # One object file for both: the native program and the capsules run the
    # very same machine code.
    if newer(obj, [src, hdr]):
        sh(["cc", "-O2", "-fPIC", "-c", src, "-o", obj])
    if newer(LIB, [obj]):
        sh(["cc", "-O2", "-shared", "-fPIC", obj, "-lm", "-o", LIB])


# Ipopt's own split of the solve's time, from its timing statistics (wall
# clock): the user's functions, and the step computation, which is the
# linear algebra.
TIMING = {
    "fevals": re.compile(r"^Function Evaluations\.*:.*wall:\s*([0-9.]+)\)", re.M),
    "linear": re.compile(r"^PDSystemSolverTotal\.*:.*wall:\s*([0-9.]+)\)", re.M),
}


def run_form(form, solver, problem, n):
    # print_level 3 prints the summary and the timing statistics, no
    # iteration lines; the result is the one JSON line of the output.
    options = ["print_level=3", "print_timing_statistics=yes"]
    if form == "native":
        opts = [f"{k}={v}" for k, v in OPTIONS.items() if k != "print_level"]
        cmd = [native_path(solver), problem, str(n), *opts, *options]
    else:
        cmd = [sys.executable, os.path.join(HERE, "child.py"), "solve", form, problem, str(n)]
        cmd += [LIB, "1", *options]
    out = subprocess.run(
        cmd, check=True, capture_output=True, text=True, env=child_env(solver)
    ).stdout
    result = json.loads(next(line for line in out.splitlines() if line.startswith("{")))
    for key, pattern in TIMING.items():
        found = pattern.search(out)
        result[key] = float(found.group(1)) if found else float("nan")
    return result


def child(*args, solver="source"):
    cmd = [sys.executable, os.path.join(HERE, "child.py"), *map(str, args)]
    out = subprocess.run(
        cmd, check=True, capture_output=True, text=True, env=child_env(solver)
    ).stdout
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
    import numpy

    return (
        f"{os.cpu_count()} cores, {cpu}, Python {platform.python_version()}, "
        f"NumPy {numpy.__version__}"
    )


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", help="n of the scalable problems, comma-separated")
    parser.add_argument("--repeat", type=int, help="solves per form and size (default 3, quick 2)")
    parser.add_argument("--quick", action="store_true", help="small sizes, few repetitions")
    parser.add_argument(
        "--solvers", default="system,source", help="solver builds: system, source or both"
    )
    parser.add_argument("--json", metavar="PATH", help="also write the figures to this JSON file")
    parser.add_argument(
        "--readme", action="store_true", help="replace the results in bench/README.md"
    )
    args = parser.parse_args()
    repeat = args.repeat or (2 if args.quick else 3)
    sizes = QUICK_SIZES if args.quick else FULL_SIZES
    if args.sizes:
        chosen = [int(float(s)) for s in args.sizes.split(",")]
        sizes = {"rosenbrock": chosen, "chained": chosen}
    cases = [("hs071", 4)] + [(p, n) for p in ("rosenbrock", "chained") for n in sizes[p]]
    cases.append(("car", CAR_N))
    solvers = args.solvers.split(",")

    t0 = time.perf_counter()
    build()
    described = {solver: build_solver(solver) for solver in solvers}
    start_load = load()
    lines = [f"Machine: {machine()}; load average at the start {start_load}.", ""]
    lines += [f"- {solver}: {text}" for solver, text in described.items()]
    baseline = solvers[0]
    lines += [
        "",
        "| problem | n | solver | form | iterations | objective | wall time | per iteration "
        f"| ratio to native, same solver | ratio to native on {baseline} | CPU time | CPU ratio "
        "| function evaluations | linear algebra | peak RSS | same iterations and objective as "
        "native |",
        "|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    print("\n".join(lines), flush=True)
    records = []
    for problem, n in cases:
        forms = ["native", "compiled"]
        if args.sizes or n <= PYTHON_MAX_N:
            forms.append("python")
        pairs = [(solver, form) for solver in solvers for form in forms]
        runs = {pair: [] for pair in pairs}
        for rep in range(repeat):
            shift = rep % len(pairs)
            for solver, form in pairs[shift:] + pairs[:shift]:
                runs[solver, form].append(run_form(form, solver, problem, n))
        base_time = statistics.median(r["time"] for r in runs[baseline, "native"])
        for solver, form in pairs:
            native = runs[solver, "native"]
            native_time = statistics.median(r["time"] for r in native)
            native_cpu = statistics.median(r["cpu"] for r in native)
            rs = runs[solver, form]
            first = rs[0]
            t = statistics.median(r["time"] for r in rs)
            cpu = statistics.median(r["cpu"] for r in rs)
            fevals = statistics.median(r["fevals"] for r in rs)
            linear = statistics.median(r["linear"] for r in rs)
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
                f"| {LABEL.get(problem, problem)} | {n} | {solver} | {form} | {first['iter']} "
                f"| {float(first['obj']):.10g} | {fmt_time(t)} "
                f"| {fmt_time(t / max(first['iter'], 1))} | {t / native_time:.3f} "
                f"| {t / base_time:.3f} | {fmt_time(cpu)} | {cpu / native_cpu:.3f} "
                f"| {fmt_time(fevals)} | {fmt_time(linear)} | {rss:.1f} MiB | {same} |"
            )
            if bad:
                row += f" status {bad}"
            records.append(
                {
                    "problem": LABEL.get(problem, problem),
                    "n": n,
                    "form": form,
                    "solver": f"{solver} {described[solver].split()[1]}",
                    "iterations": first["iter"],
                    "objective": float(first["obj"]),
                    "wall_s": t,
                    "cpu_s": cpu,
                    "peak_rss_mib": rss,
                }
            )
            lines.append(row)
            print(row, flush=True)
    lines.append(f"\nLoad average at the end of the table: {load()}.")

    solver = solvers[-1]
    idle = child("idle", LIB, solver=solver)["maxrss_kb"] / 1024
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
        r = child("solve", form, "chained", n_mem, LIB, solves, solver=solver)
        after = r["rss_after_kb"]
        extra.append(
            f"Repeated solves, {solver} solver, chained n={n_mem}, {form}: RSS after solve 1: "
            f"{after[0] / 1024:.1f} MiB, after solve 2: {after[1] / 1024:.1f} MiB, after solve "
            f"{solves}: {after[-1] / 1024:.1f} MiB."
        )

    rounds = 60 if args.quick else 300
    ov = child("overhead", LIB, rounds, solver=solver)
    extra += [
        "",
        f"Per-call overhead of Python callbacks on the {solver} solver (trivial callables "
        "against compiled ones, see bench/overhead.py):",
        "",
        "| role | arrays | calls per solve | overhead per call | how |",
        "|---|---:|---:|---:|---|",
    ]
    arrays = {"f": 1, "grad_f": 2, "g": 2, "jac_g": 2, "h": 3}
    overhead = []
    for role, v in ov.items():
        how = "Ipopt derivative checker, n=200" if role != "h" else "150 barrier iterations, n=4"
        overhead.append(
            {
                "role": f"eval_{role}",
                "arrays": arrays[role],
                "per_call_us": v["us_per_call"],
                "how": f"{how}, {solver} solver",
            }
        )
        extra.append(
            f"| eval_{role} | {arrays[role]} | {v['calls']} | {v['us_per_call']:.2f} µs | {how} |"
        )
    extra += ["", f"Total benchmark time: {time.perf_counter() - t0:.0f} s."]
    print("\n".join(extra), flush=True)
    lines += extra
    with open(os.path.join(BUILD, "results.md"), "w") as results:
        results.write("\n".join(lines) + "\n")
    if args.json:
        write_json(args.json, start_load, records, overhead)
    if args.readme:
        write_readme(lines)


README = os.path.join(HERE, "README.md")
BEGIN = "<!-- bench/run.py --readme: begin -->"
END = "<!-- bench/run.py --readme: end -->"


def write_readme(lines):
    with open(README) as f:
        text = f.read()
    if text.count(BEGIN) != 1 or text.count(END) != 1:
        raise SystemExit(f"{README} needs one {BEGIN!r} and one {END!r} line")
    head, rest = text.split(BEGIN)
    _, tail = rest.split(END)
    command = " ".join(["python3 bench/run.py", *sys.argv[1:]])
    body = [BEGIN, "", f"`{command}`, {time.strftime('%Y-%m-%d %H:%M %Z')}:", "", *lines, END]
    with open(README, "w") as f:
        f.write(head + "\n".join(body) + tail)


def write_json(path, start_load, rows, overhead):
    import numpy

    cpu = machine().split(", Python")[0]
    data = {
        "command": " ".join(["python3", "bench/run.py", *sys.argv[1:]]),
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
        "machine": cpu,
        "load": [float(x) for x in start_load.split()],
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "rows": rows,
        "overhead": overhead,
    }
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(data, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
