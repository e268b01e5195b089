"""A parameter sweep over a thread pool, with callbacks compiled by Numba.

HS071 is solved for a range of lower bounds on the product x0*x1*x2*x3, as in
parallel_sweep.py, but in threads of one process: the callbacks are Numba
``cfunc`` functions (see hs071_numba.py), compiled once and shared by every
Problem, and the bound is each Problem's own constraint bound. With compiled
callbacks vornel lets other threads run while Ipopt works; whether solves of
different problems also run at the same time depends on the linked Ipopt, and
``vornel.parallel_solves`` tells which. The sweep runs with one thread, then
with --workers threads, and the wall time of each is printed.
"""

import argparse
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vornel
from _hs071 import x0
from hs071_numba import make_numba_problem


def solve_case(product_bound: float) -> tuple[float, float, int, int]:
    """One point: (bound, objective, status, iterations), on a Problem of its
    own, since two threads may not solve the same Problem at once."""
    problem = make_numba_problem(product_bound)
    _, obj, status = problem.solve(x0())
    return product_bound, obj, status, problem.stats["n_iter"]


def sweep(bounds: list[float], workers: int) -> tuple[list[tuple[float, float, int, int]], float]:
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        results = list(pool.map(solve_case, bounds))
    return results, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2, help="number of threads (default 2)")
    parser.add_argument("--points", type=int, default=8, help="number of bounds to try (default 8)")
    args = parser.parse_args()

    bounds = np.linspace(20.0, 30.0, args.points).tolist()
    sequential, one_time = sweep(bounds, 1)
    results, pool_time = sweep(bounds, args.workers)

    print(" bound   objective  status  iterations")
    for bound, obj, status, iterations in results:
        print(f"{bound:6.2f}  {obj:10.6f}  {status:6d}  {iterations:10d}")
    solved = sum(status == 0 for _, _, status, _ in results)
    print(f"{solved} of {len(results)} solved in {args.workers} threads")
    print(f"same results as with 1 thread: {results == sequential}")
    print(f"wall time, 1 thread:   {one_time * 1e3:8.1f} ms")
    print(f"wall time, {args.workers} threads: {pool_time * 1e3:8.1f} ms")
    print(f"vornel.parallel_solves: {vornel.parallel_solves}")


if __name__ == "__main__":
    main()
