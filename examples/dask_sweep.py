# dask.distributed leaves much of its client API unannotated.
# mypy: disable-error-code="no-untyped-call"
"""The parameter sweep of parallel_sweep.py on a Dask cluster.

By default a local cluster of worker processes is started; pass
``--scheduler ADDRESS`` (e.g. tcp://10.0.0.5:8786) to use a running cluster,
whose workers need numpy and vornel installed. As with concurrent.futures, the
Problem is built inside each worker from the bound it is sent.
"""

import argparse
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster

from _hs071 import solve_case


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler"
    )
    parser.add_argument(
        "--workers",
        type=int,
        default=2,
        help="workers of the local cluster (default 2)",
    )
    parser.add_argument("--points", type=int, default=8, help="number of bounds to try (default 8)")
    args = parser.parse_args()

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        # No dashboard: nothing here looks at it, and its fixed port would
        # clash between runs on the same machine.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    try:
        # Workers of a remote cluster do not have the examples directory;
        # sending the shared module makes solve_case importable there.
        client.upload_file(str(Path(__file__).with_name("_hs071.py")))
        bounds = np.linspace(20.0, 30.0, args.points).tolist()
        futures = client.map(solve_case, bounds)
        results = client.gather(futures)
        workers = len(client.scheduler_info()["workers"])
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    print(" bound   objective  status  iterations")
    for bound, obj, status, iterations in results:
        print(f"{bound:6.2f}  {obj:10.6f}  {status:6d}  {iterations:10d}")
    solved = sum(status == 0 for _, _, status, _ in results)
    print(f"{solved} of {len(results)} solved on {workers} Dask workers")


if __name__ == "__main__":
    main()
