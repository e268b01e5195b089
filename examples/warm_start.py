"""Warm start: solve a slightly changed problem from a previous solution.

HS071 is solved once; its solution and multipliers then start the solve of a
neighbour problem whose product constraint x0*x1*x2*x3 >= 25 is tightened to
25.5, and the iteration count is compared with a cold start.
"""

import numpy as np

from _hs071 import make_problem, x0

WARM_OPTIONS: dict[str, int | float | str] = {
    "warm_start_init_point": "yes",
    # Keep the warm point where it is instead of pushing it into the interior.
    "warm_start_bound_push": 1e-9,
    "warm_start_bound_frac": 1e-9,
    "warm_start_mult_bound_push": 1e-9,
    "mu_init": 1e-6,
}


def main() -> None:
    first = make_problem(25.0)
    x = x0()
    mult_g = np.zeros(2)
    mult_x_L = np.zeros(4)
    mult_x_U = np.zeros(4)
    # The multiplier arrays receive the final multipliers of the run.
    _, obj, status = first.solve(x, mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U)
    print(
        f"original problem:  objective {obj:.6f}, status {status}, "
        f"{first.stats['n_iter']} iterations"
    )
    print("  constraint multipliers:", np.array2string(mult_g, precision=6))

    cold = make_problem(25.5)
    _, cold_obj, cold_status = cold.solve(x0())
    cold_iter = cold.stats["n_iter"]
    print(
        f"cold start (25.5): objective {cold_obj:.6f}, status {cold_status}, {cold_iter} iterations"
    )

    warm = make_problem(25.5)
    warm.set(**WARM_OPTIONS)
    # solve overwrites its arrays, so the first solution stays as it was.
    x_warm = x.copy()
    _, warm_obj, warm_status = warm.solve(
        x_warm, mult_g=mult_g.copy(), mult_x_L=mult_x_L.copy(), mult_x_U=mult_x_U.copy()
    )
    warm_iter = warm.stats["n_iter"]
    print(
        f"warm start (25.5): objective {warm_obj:.6f}, status {warm_status}, {warm_iter} iterations"
    )
    print(
        f"same optimum: {abs(warm_obj - cold_obj) < 1e-6}; "
        f"iterations saved: {cold_iter - warm_iter}"
    )


if __name__ == "__main__":
    main()
