"""The benchmark page's plots, drawn at build time from bench/results/run.json."""

from __future__ import annotations

from collections import defaultdict

import matplotlib.pyplot as plt
from vornel_docs import load_results

FORMS = ("native", "compiled", "python")
MARKERS = {"native": "o", "compiled": "s", "python": "^"}
STYLES = ["-", "--", ":", "-."]


def time_against_n() -> None:
    """Wall and CPU time against n, one column per scalable problem, one line
    per form and solver build."""
    rows = load_results()["rows"]
    sizes: dict[str, set[int]] = defaultdict(set)
    for r in rows:
        sizes[r["problem"]].add(r["n"])
    problems = [p for p in sizes if len(sizes[p]) > 1]
    solvers = sorted({r["solver"] for r in rows})
    fig, axes = plt.subplots(
        2, len(problems), squeeze=False, sharex="col", figsize=(4.4 * len(problems), 7.0)
    )
    for column, problem in enumerate(problems):
        for row, (key, label) in enumerate([("wall_s", "wall"), ("cpu_s", "CPU")]):
            ax = axes[row][column]
            for s, solver in enumerate(solvers):
                for form in FORMS:
                    points = sorted(
                        (r["n"], r[key])
                        for r in rows
                        if r["problem"] == problem and r["solver"] == solver and r["form"] == form
                    )
                    if not points:
                        continue
                    ns, times = zip(*points, strict=True)
                    ax.loglog(
                        ns,
                        times,
                        marker=MARKERS[form],
                        linestyle=STYLES[s % len(STYLES)],
                        label=f"{form}, {solver}",
                    )
            ax.set_title(f"{problem}, {label} time")
            ax.set_ylabel(f"{label} time of a solve [s]")
            ax.grid(True, which="both", alpha=0.3)
        axes[1][column].set_xlabel("n (variables)")
    axes[0][-1].legend(fontsize="small")
    fig.tight_layout()


def overhead() -> None:
    """Per-call overhead of a Python callback against a compiled one, by role."""
    data = load_results()["overhead"]
    fig, ax = plt.subplots(figsize=(6.0, 3.0))
    labels = [f"{o['role']} ({o['arrays']} array{'s' if o['arrays'] != 1 else ''})" for o in data]
    values = [o["per_call_us"] for o in data]
    bars = ax.barh(labels, values, color="tab:blue")
    ax.bar_label(bars, labels=[f"{v:.2f} µs" for v in values], padding=3, fontsize="small")
    ax.invert_yaxis()
    ax.set_xlabel("overhead per call [µs]")
    # A difference of noisy times can come out below zero.
    ax.set_xlim(min(0.0, min(values, default=0.0)) * 1.25, max(values, default=1.0) * 1.25)
    ax.axvline(0.0, color="black", linewidth=0.8)
    ax.grid(True, axis="x", alpha=0.3)
    fig.tight_layout()
