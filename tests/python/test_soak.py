"""Short soak: a few hundred life cycles per callback form and repetitions
of every failure path, with the reference counts of each failure path's
arguments checked around every repetition and resident memory bounded.
tools/soak.py runs the same scenarios 10,000 times with tracemalloc."""

import time

import pytest

from reliability import compiled, scenarios

MIB = 1 << 20
FAILURES = scenarios.all_failures()


def cycles_for(run, budget=0.08, most=300, least=50):
    started = time.perf_counter()
    run()
    once = time.perf_counter() - started
    return max(least, min(most, int(budget / max(once, 1e-9))))


@pytest.mark.parametrize(
    "form",
    [
        pytest.param(
            f,
            marks=pytest.mark.skipif(
                f != "python" and not compiled.available(), reason="no C compiler"
            ),
        )
        for f in scenarios.FORMS
    ],
)
def test_life_cycles_keep_memory_flat(form):
    figures = scenarios.soak(form, scenarios.life_cycle(form), cycles=300, warmup=30)
    assert scenarios.UNDER_ASAN or figures.rss_growth <= MIB, figures


@pytest.mark.parametrize("failure", FAILURES, ids=[f.name for f in FAILURES])
def test_failure_path_keeps_references_and_memory(failure):
    before = failure.refcounts()
    failure.run()
    assert failure.refcounts() == before
    n = cycles_for(failure.run)
    figures = scenarios.soak(
        failure.name, failure.run, cycles=n, warmup=n // 10, refcounts=failure.refcounts
    )
    assert figures.refcounts_kept, figures
    assert scenarios.UNDER_ASAN or figures.rss_growth <= MIB, figures
