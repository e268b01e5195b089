"""A parameter sweep over processes with concurrent.futures.

HS071 is solved for a range of lower bounds on the product x0*x1*x2*x3. A
Problem holds Python callables and cannot be pickled, so each worker builds its
own from the bound it is sent (_hs071.solve_case) and sends back plain numbers.
"""

import argparse
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from _hs071 import solve_case


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2, help="number of processes (default 2)")
    parser.add_argument("--points", type=int, default=8, help="number of bounds to try (default 8)")
    args = parser.parse_args()

    bounds = np.linspace(20.0, 30.0, args.points).tolist()
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        results = list(pool.map(solve_case, bounds))

    print(" bound   objective  status  iterations")
    for bound, obj, status, iterations in results:
        print(f"{bound:6.2f}  {obj:10.6f}  {status:6d}  {iterations:10d}")
    solved = sum(status == 0 for _, _, status, _ in results)
    print(f"{solved} of {len(results)} solved in {args.workers} processes")


if __name__ == "__main__":
    main()
