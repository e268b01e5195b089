"""Early stop: a per-iteration callback that reports progress and ends the run.

intermediate_callback is called once per iteration; returning False asks the
solver to stop, and solve then returns the point reached so far with the
status User_Requested_Stop (5).
"""

from _hs071 import make_problem, x0

USER_REQUESTED_STOP = 5
# Good enough for this example: stop once the constraints hold to 1e-2,
# well before the solver's own tolerance of 1e-8.
TOLERANCE = 1e-2


def progress(
    mode: int,
    iteration: int,
    obj_value: float,
    inf_pr: float,
    inf_du: float,
    mu: float,
    d_norm: float,
    regularization_size: float,
    alpha_du: float,
    alpha_pr: float,
    ls_trials: int,
) -> bool:
    print(
        f"iter {iteration:2d}  objective {obj_value:10.6f}  "
        f"primal infeasibility {inf_pr:9.2e}  dual infeasibility {inf_du:9.2e}"
    )
    # Iteration 0 is the starting point, before any step.
    return iteration == 0 or inf_pr > TOLERANCE


def main() -> None:
    problem = make_problem(intermediate_callback=progress)
    x, obj, status = problem.solve(x0())
    stopped = " (stopped early by the callback)" if status == USER_REQUESTED_STOP else ""
    print(f"status {status}{stopped} after {problem.stats['n_iter']} iterations")
    print(f"objective {obj:.6f} at x = {x}")


if __name__ == "__main__":
    main()
