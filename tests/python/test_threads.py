"""Solves in threads: compiled solves let other threads run, a problem runs
one solve at a time, and solves of different problems take turns exactly
where the linked Ipopt requires it."""

import threading
import time

import numpy as np
import pytest
from child import run_child

import problems
import vornel


def solve_and_record(problem, x0):
    mult_g, mult_x_L, mult_x_U = np.zeros(2), np.zeros(4), np.zeros(4)
    x, obj, status = problem.solve(x0, mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U)
    arrays = (x, mult_g, mult_x_L, mult_x_U)
    return b"".join(a.tobytes() for a in arrays), obj, status, problem.stats


def start_points(count):
    rng = np.random.default_rng(71)
    return [np.clip(problems.x0() + rng.uniform(-0.5, 0.5, 4), 1.0, 5.0) for _ in range(count)]


def in_threads(jobs, threads):
    """Runs the callables in `threads` threads; their results in order."""
    results = [None] * len(jobs)
    barrier = threading.Barrier(threads)

    def work(first):
        barrier.wait()
        for i in range(first, len(jobs), threads):
            results[i] = jobs[i]()

    pool = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return results


def test_threaded_solves_equal_sequential_ones_bit_for_bit(hs071_library):
    # Compiled problems of both forms, and Python ones among them.
    kinds = ["capsule", "llc", "python"] * 8
    points = start_points(len(kinds))

    def job(kind, x0):
        def run():
            # The C functions' user data lives in `callbacks`.
            callbacks = hs071_library.callbacks()
            kwargs = {} if kind == "python" else callbacks.kwargs(kind)
            problem = problems.make_hs071(**kwargs, ipopt_options=problems.QUIET)
            return solve_and_record(problem, x0.copy())

        return run

    jobs = [job(kind, x0) for kind, x0 in zip(kinds, points, strict=True)]
    sequential = [run() for run in jobs]
    assert in_threads(jobs, 4) == sequential
    assert all(status == 0 for _, _, status, _ in sequential)


def slow_solve(hs071_library, delay_us=30_000):
    """A compiled HS071 whose objective sleeps; returns the problem, its
    callbacks and a thread that solves it once (not started)."""
    callbacks = hs071_library.callbacks(delay_us=delay_us)
    problem = problems.make_hs071(**callbacks.kwargs("capsule"), ipopt_options=problems.QUIET)
    outcome = {}
    thread = threading.Thread(
        target=lambda: outcome.update(result=solve_and_record(problem, problems.x0()))
    )
    return problem, callbacks, thread, outcome


def test_other_threads_run_while_a_compiled_solve_runs(hs071_library):
    problem, callbacks, thread, outcome = slow_solve(hs071_library)
    ticks = 0
    thread.start()
    while thread.is_alive():
        time.sleep(0.001)
        ticks += callbacks.calls("f") > 0 and thread.is_alive()
    thread.join()
    # The solve sleeps about 0.3 s in its objective; a lock held for the
    # whole run would leave this thread a tick or two.
    assert ticks >= 20, ticks
    assert outcome["result"][2] == 0


def test_solves_run_at_once_exactly_where_the_solver_allows(hs071_library):
    hs071_library.most_running()
    runs = [slow_solve(hs071_library, delay_us=5_000) for _ in range(2)]
    jobs = [lambda run=run: solve_and_record(run[0], problems.x0()) for run in runs]
    results = in_threads(jobs, 2)
    assert all(status == 0 for _, _, status, _ in results)
    assert hs071_library.most_running() == (2 if vornel.parallel_solves else 1)


def test_a_problem_that_another_thread_solves_refuses_changes(hs071_library):
    problem, callbacks, thread, outcome = slow_solve(hs071_library)
    before = problem.stats
    thread.start()
    while callbacks.calls("f") == 0:
        time.sleep(0.001)
    refusals = {
        "another thread is solving; a problem runs one solve at a time": lambda: problem.solve(
            problems.x0()
        ),
        "another thread is solving; options change between solves": lambda: problem.set(tol=1e-6),
        "another thread is solving; the scaling changes between solves": lambda: (
            problem.set_problem_scaling(2.0)
        ),
        "not available while solve\\(\\) runs": lambda: problem.result,
        "another thread is solving; check it between solves": lambda: problem.check(problems.x0()),
    }
    for message, use in refusals.items():
        with pytest.raises(RuntimeError, match=message):
            use()
    assert problem.stats == before
    # Other problems are built, solved and freed meanwhile.
    for _ in range(3):
        other = problems.make_hs071(ipopt_options=problems.QUIET)
        assert other.solve(problems.x0())[2] == 0
    thread.join()
    assert outcome["result"][2] == 0 and problem.stats["n_iter"] > 0
    problem.set(tol=1e-6)
    problem.set_problem_scaling(2.0)


@pytest.mark.parametrize(
    "handler, raised",
    [("signal.default_int_handler", "KeyboardInterrupt"), ("stop", "LookupError")],
    ids=["ctrl-c", "raising handler"],
)
def test_a_signal_stops_the_main_threads_solve_and_no_other(handler, raised):
    # The main thread's compiled solve stops at its next iteration and
    # raises what the handler raised; solves in other threads finish.
    result = run_child(
        f"""
        import signal, tempfile, threading
        import compiled, problems

        library = compiled.Library(compiled.build(tempfile.mkdtemp()))

        def stop(signum, frame):
            raise LookupError("stopped")

        def solve(delay_us):
            callbacks = library.callbacks(delay_us=delay_us)
            p = problems.make_hs071(**callbacks.kwargs("llc"), ipopt_options=problems.QUIET)
            return p.solve(problems.x0())[1:]

        reference = solve(0)
        outcomes = []
        workers = [
            threading.Thread(target=lambda: outcomes.append(solve(20_000))) for _ in range(2)
        ]
        for worker in workers:
            worker.start()
        signal.signal(signal.SIGALRM, {handler})
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            solve(50_000)
            print("NOT STOPPED")
        except BaseException as error:
            print("RAISED", type(error).__name__)
        for worker in workers:
            worker.join()
        print("WORKERS", outcomes == [reference] * 2)
        """
    )
    assert result.returncode == 0, result.stdout
    assert f"RAISED {raised}" in result.stdout and "WORKERS True" in result.stdout, result.stdout


def test_the_current_iterate_is_the_solving_threads_alone():
    inside, done = threading.Event(), threading.Event()

    def intermediate_callback(*args):
        problem.current_iterate()
        inside.set()
        done.wait(10)
        return False

    problem = problems.make_hs071(
        intermediate_callback=intermediate_callback, ipopt_options=problems.QUIET
    )
    thread = threading.Thread(target=problem.solve, args=(problems.x0(),))
    thread.start()
    assert inside.wait(10)
    with pytest.raises(RuntimeError, match="on the thread that solves"):
        problem.current_iterate()
    done.set()
    thread.join()


def test_a_callback_may_solve_another_problem():
    # The solver turn is the thread's already: waiting for it would hang.
    result = run_child(
        """
        import tempfile
        import compiled, problems

        library = compiled.Library(compiled.build(tempfile.mkdtemp()))
        callbacks = library.callbacks()
        inner = problems.make_hs071(**callbacks.kwargs("capsule"), ipopt_options=problems.QUIET)
        inner_results = []

        def eval_f(x):
            if not inner_results:
                inner_results.append(inner.solve(problems.x0())[1:])
            return problems.eval_f(x)

        outer = problems.make_hs071(eval_f=eval_f, ipopt_options=problems.QUIET)
        print("SOLVED", outer.solve(problems.x0())[1:] == inner_results[0])
        """,
        timeout=60,
    )
    assert "SOLVED True" in result.stdout, result.stdout


# While another thread's solve waits for the main thread (its callback
# blocks on an event), the main thread must neither hang nor miss Ctrl-C.
MAIN_THREAD_USES = {
    "solve": "other.solve(problems.x0())",
    "del": "del other",
    "gc.collect": "box = [other]; box.append(box); del other, box; gc.collect()",
}


@pytest.mark.parametrize("use", MAIN_THREAD_USES.values(), ids=MAIN_THREAD_USES.keys())
def test_the_main_thread_neither_hangs_nor_misses_a_signal_beside_another_solve(use):
    result = run_child(
        f"""
        import gc, signal, tempfile, threading, time
        import compiled, problems

        library = compiled.Library(compiled.build(tempfile.mkdtemp()))
        # Slow, so that where solves run at once the signal finds it running;
        # solved once, so that freeing it ends a linear solver. The user data
        # lives in `slow`, which the C functions only point into: keep it.
        slow = library.callbacks(delay_us=50_000)
        other = problems.make_hs071(**slow.kwargs("llc"), ipopt_options=problems.QUIET)
        problems.make_hs071(ipopt_options=problems.QUIET).solve(problems.x0())
        started, release = threading.Event(), threading.Event()

        def eval_f(x):
            if not started.is_set():
                started.set()
                release.wait(20)
            return problems.eval_f(x)

        waiting = problems.make_hs071(eval_f=eval_f, ipopt_options=problems.QUIET)
        thread = threading.Thread(target=waiting.solve, args=(problems.x0(),))
        thread.start()
        started.wait()
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        begun = time.monotonic()
        try:
            {use}
            outcome = "DONE"
        except KeyboardInterrupt:
            outcome = "INTERRUPTED"
        print(outcome, time.monotonic() - begun < 10)
        signal.setitimer(signal.ITIMER_REAL, 0)
        release.set()
        thread.join()
        print("JOINED")
        """,
        timeout=90,
    )
    expected = "INTERRUPTED" if use.startswith("other.solve") else "DONE"
    assert result.returncode == 0, result.stdout
    assert f"{expected} True\nJOINED" in result.stdout, result.stdout


@pytest.mark.parametrize("start", ["os.fork", "multiprocessing"])
def test_a_child_forked_while_another_thread_solves_solves_and_frees_problems(start):
    result = run_child(
        f"""
        import multiprocessing, os, threading, time, warnings
        import problems

        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        started, release = threading.Event(), threading.Event()

        def eval_f(x):
            if not started.is_set():
                started.set()
                release.wait(30)
            return problems.eval_f(x)

        waiting = problems.make_hs071(eval_f=eval_f, ipopt_options=problems.QUIET)
        solved = problems.make_hs071(ipopt_options=problems.QUIET)
        solved.solve(problems.x0())
        thread = threading.Thread(target=waiting.solve, args=(problems.x0(),))
        thread.start()
        started.wait()

        def in_child():
            global solved
            p = problems.make_hs071(ipopt_options=problems.QUIET)
            status = p.solve(problems.x0())[2]
            del p, solved
            os.write(1, f"CHILD {{status}}\\n".encode())

        if {start!r} == "os.fork":
            pid = os.fork()
            if pid == 0:
                in_child()
                os._exit(0)
            deadline = time.monotonic() + 20
            alive = True
            while alive and time.monotonic() < deadline:
                time.sleep(0.05)
                alive = os.waitpid(pid, os.WNOHANG) == (0, 0)
            if alive:
                os.kill(pid, 9)
        else:
            child = multiprocessing.get_context("fork").Process(target=in_child)
            child.start()
            child.join(20)
            alive = child.is_alive()
            if alive:
                child.kill()
        print("HUNG" if alive else "ENDED")
        release.set()
        thread.join()
        """,
        timeout=90,
    )
    assert result.returncode == 0, result.stdout
    assert "CHILD 0\n" in result.stdout and "ENDED" in result.stdout, result.stdout
