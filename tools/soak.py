#!/usr/bin/env python3
"""Soak test: repeats the life cycle of a problem (construction, solve,
destruction) for each callback form, and every failure path of
construction, solve, set and set_problem_scaling, N times each.

After a warm-up, resident memory must not grow by more than the limit
(1 MiB by default) over the N repetitions of any scenario, tracemalloc must
show no net growth of the blocks allocated from the call sites into the
module, and the reference counts of the arguments of every failure path
must be unchanged after each repetition. Prints one line of figures per
scenario and exits non-zero if any scenario breaks a limit.

    python3 tools/soak.py                 # 10,000 repetitions each
    python3 tools/soak.py -n 1000 -k solve
"""

import argparse
import contextlib
import os
import sys
import time
import tracemalloc

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import vornel  # noqa: E402
from reliability import scenarios  # noqa: E402


@contextlib.contextmanager
def solver_output_silenced(report):
    """Ipopt prints a notice for every refused option straight to file
    descriptor 1; thousands of them would bury the figures, which go to
    `report` (a duplicate of the original standard output)."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
    try:
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--cycles", type=int, default=10_000)
    parser.add_argument("--warmup", type=int, default=None, help="default: max(100, N/20)")
    parser.add_argument("--limit-kib", type=float, default=1024.0)
    parser.add_argument(
        "--traced-limit", type=int, default=16384, help="bytes of tracemalloc growth"
    )
    parser.add_argument(
        "-k", "--select", default="", help="only scenarios whose name contains this"
    )
    parser.add_argument(
        "--no-tracemalloc", action="store_true", help="resident memory only (faster)"
    )
    args = parser.parse_args()
    warmup = args.warmup if args.warmup is not None else max(100, args.cycles // 20)
    trace = not args.no_tracemalloc

    report = os.fdopen(os.dup(1), "w", buffering=1)
    print(f"vornel {vornel.__version__} from {vornel.__file__}", file=report)
    print(
        f"{args.cycles} cycles per scenario after {warmup} of warm-up; "
        f"limit {args.limit_kib:.0f} KiB of resident growth; tracemalloc "
        f"{f'on, limit {args.traced_limit} B and max(64, N/100) blocks' if trace else 'off'}",
        file=report,
    )
    if trace:
        tracemalloc.start(1)

    scenarios_ = [
        (f"life cycle: {form}", scenarios.life_cycle(form), None) for form in scenarios.FORMS
    ]
    scenarios_ += [(f.name, f.run, f.refcounts) for f in scenarios.all_failures()]
    scenarios_ = [s for s in scenarios_ if args.select in s[0]]

    failed = []
    total_cycles = 0
    started = time.perf_counter()
    header = (
        f"{'scenario':44s} {'cycles':>7s} {'RSS KiB':>9s} {'grow KiB':>9s} {'traced B':>9s} "
        f"{'blocks':>7s} refs  {'s':>6s}"
    )
    print(header, file=report)
    for name, run, refcounts in scenarios_:
        with solver_output_silenced(report):
            fig = scenarios.soak(name, run, args.cycles, warmup, refcounts, trace)
        total_cycles += fig.cycles + warmup
        problems = []
        if fig.rss_growth > args.limit_kib * 1024:
            problems.append("resident memory grew")
        # A leak grows with the cycles (10,000 blocks for one per cycle);
        # a few dozen blocks are caches filled once (free lists, NumPy's
        # dtype and cast caches) and do not grow with N.
        block_limit = max(64, fig.cycles // 100)
        if trace and (fig.traced_growth > args.traced_limit or fig.traced_blocks > block_limit):
            problems.append(f"traced blocks grew (most at {fig.top_growth})")
        if not fig.refcounts_kept:
            problems.append("reference counts changed")
        traced = "-" if fig.traced_growth is None else str(fig.traced_growth)
        blocks = "-" if fig.traced_blocks is None else str(fig.traced_blocks)
        refs = "-" if refcounts is None else ("ok" if fig.refcounts_kept else "BAD")
        print(
            f"{name:44s} {fig.cycles:7d} {fig.rss_after / 1024:9.0f} {fig.rss_growth / 1024:9.1f} "
            f"{traced:>9s} {blocks:>7s} {refs:4s} {fig.seconds:6.1f}"
            + (f"  FAIL: {', '.join(problems)}" if problems else ""),
            file=report,
        )
        if problems:
            failed.append(name)
    print(
        f"{len(scenarios_)} scenarios, {total_cycles} calls, "
        f"{time.perf_counter() - started:.0f} s; "
        f"peak resident {scenarios.rss() / 1024:.0f} KiB",
        file=report,
    )
    if failed:
        print(f"FAILED: {', '.join(failed)}", file=report)
        return 1
    print("no growth", file=report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
