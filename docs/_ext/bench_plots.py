"""The benchmark page's plots, drawn at build time from bench/results/run.json."""

from __future__ import annotations

from collections import defaultdict

import matplotlib.pyplot as plt
from vornel_docs import load_results

FORMS = ("native", "compiled", "python")
MARKERS = {"native": "o", "compiled": "s", "python": "^"}
STYLES = ["-", "--", ":", "-."]


def time_against_n() -> None:
    """Wall time against n, one panel per scalable problem, one line per
    form and solver build."""
    rows = load_results()["rows"]
    sizes: dict[str, set[int]] = defaultdict(set)
    for r in rows:
        sizes[r["problem"]].add(r["n"])
    problems = [p for p in sizes if len(sizes[p]) > 1]
    solvers = sorted({r["solver"] for r in rows})
    fig, axes = plt.subplots(1, len(problems), squeeze=False, figsize=(4.2 * len(problems), 4.0))
    for ax, problem in zip(axes[0], problems, strict=True):
        for s, solver in enumerate(solvers):
            for form in FORMS:
                points = sorted(
                    (r["n"], r["wall_s"])
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
        ax.set_title(problem)
        ax.set_xlabel("n (variables)")
        ax.set_ylabel("wall time of a solve [s]")
        ax.grid(True, which="both", alpha=0.3)
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
    ax.set_xlim(0, max(values) * 1.25 if values else 1)
    ax.grid(True, axis="x", alpha=0.3)
    fig.tight_layout()
