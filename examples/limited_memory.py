"""A problem without a Hessian callback.

Without eval_h the solver approximates the Hessian of the Lagrangian from
gradients (hessian_approximation "limited-memory", set by vornel), and the
Hessian sparsity argument is not used. It typically needs more iterations than
with the exact Hessian, each of them cheaper for large problems.
"""

from _hs071 import make_problem, x0


def main() -> None:
    exact = make_problem()
    _, obj, status = exact.solve(x0())
    print(
        f"exact Hessian:       objective {obj:.6f}, status {status}, "
        f"{exact.stats['n_iter']} iterations"
    )

    approx = make_problem(eval_h=None, sparsity_indices_h=([], []))
    x, obj, status = approx.solve(x0())
    print(
        f"limited-memory BFGS: objective {obj:.6f}, status {status}, "
        f"{approx.stats['n_iter']} iterations"
    )
    print("Hessian evaluations:", approx.stats["n_eval_h"])
    print("solution:", x)


if __name__ == "__main__":
    main()
