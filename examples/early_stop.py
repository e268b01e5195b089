"""Early stop: a per-iteration callback that reports progress and ends the run.

intermediate_callback is called once per iteration; returning False asks the
solver to stop, and solve then returns the point reached so far with the status
User_Requested_Stop (5). Inside the callback, problem.current_iterate() gives
the current point and its constraint violations.
"""

import vornel
from _hs071 import make_problem, x0

# Good enough for this example: stop once the constraints hold to 1e-2,
# well before the solver's own tolerance of 1e-8.
TOLERANCE = 1e-2


class Progress:
    """The per-iteration callback, with the problem it watches."""

    problem: vornel.Problem

    def __call__(
        self,
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
        # The current point, unscaled, and how far it violates the constraints.
        iterate = self.problem.current_iterate()
        print(
            f"iter {iteration:2d}  objective {obj_value:10.6f}  "
            f"primal infeasibility {inf_pr:9.2e}  dual infeasibility {inf_du:9.2e}  "
            f"largest violation {iterate.constraint_violation:9.2e}"
        )
        # Iteration 0 is the starting point, before any step.
        return iteration == 0 or iterate.constraint_violation > TOLERANCE


def main() -> None:
    progress = Progress()
    problem = make_problem(intermediate_callback=progress)
    progress.problem = problem
    x, obj, status = problem.solve(x0())
    stopped = (
        " (stopped early by the callback)" if status == vornel.Status.User_Requested_Stop else ""
    )
    print(f"status {status}{stopped} after {problem.stats['n_iter']} iterations")
    print(f"objective {obj:.6f} at x = {x}")
    print(f"{vornel.Status(status).name}: {vornel.Status(status).explanation}")


if __name__ == "__main__":
    main()
