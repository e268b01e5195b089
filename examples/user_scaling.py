"""User scaling: scaling factors for the objective, variables and constraints.

The factors take effect only with nlp_scaling_method "user-scaling". They can be
given at construction (obj_scaling, x_scaling, g_scaling) and replaced later
with set_problem_scaling; the optimum stays the same, the path to it changes.
"""

import numpy as np

from _hs071 import make_problem, x0


def main() -> None:
    problem = make_problem(
        obj_scaling=1.0,
        ipopt_options={
            "print_level": 0,
            "sb": "yes",
            "nlp_scaling_method": "user-scaling",
        },
    )
    cases = [
        ("no scaling", 1.0, None, None),
        ("objective x 0.1", 0.1, None, None),
        ("constraints / 40", 1.0, None, np.array([1 / 40, 1 / 40])),
        ("all three", 0.5, np.array([1.0, 0.2, 0.2, 1.0]), np.array([0.04, 0.025])),
    ]
    for label, obj_scaling, x_scaling, g_scaling in cases:
        problem.set_problem_scaling(obj_scaling, x_scaling, g_scaling)
        x, obj, status = problem.solve(x0())
        print(
            f"{label:18s} objective {obj:.6f}  status {status}  "
            f"{problem.stats['n_iter']:2d} iterations  x = {np.array2string(x, precision=4)}"
        )


if __name__ == "__main__":
    main()
