"""A Problem's statistics, the references it holds, its reclamation, and what
a solve leaves in the caller's arrays."""

import gc
import os
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import problems
import vornel

STATS_KEYS = [
    "n_eval_f",
    "n_eval_grad_f",
    "n_eval_g_eq",
    "n_eval_jac_g_eq",
    "n_eval_g_ineq",
    "n_eval_jac_g_ineq",
    "n_eval_h",
    "n_iter",
]


# --- stats -------------------------------------------------------------------


def test_stats_of_a_new_problem_are_all_minus_one():
    stats = problems.make_hs071().stats
    assert list(stats) == STATS_KEYS
    assert all(type(v) is int and v == -1 for v in stats.values())


def test_every_read_of_stats_is_a_fresh_snapshot():
    problem = problems.make_hs071()
    first = problem.stats
    first["n_iter"] = 99
    second = problem.stats
    assert second is not first
    assert second["n_iter"] == -1


def test_stats_after_a_solve_count_the_run():
    calls = {"f": 0, "h": 0}

    def eval_f(x):
        calls["f"] += 1
        return problems.eval_f(x)

    def eval_h(*args):
        calls["h"] += 1
        problems.eval_h(*args)

    problem = problems.make_hs071(eval_f=eval_f, eval_h=eval_h, ipopt_options=problems.QUIET)
    problem.solve(problems.x0())
    stats = problem.stats
    assert list(stats) == STATS_KEYS
    assert stats["n_iter"] > 0
    assert stats["n_eval_f"] >= stats["n_iter"]
    assert stats["n_eval_f"] == calls["f"]
    assert stats["n_eval_h"] == calls["h"]
    # HS071 has one equality and one inequality constraint.
    assert stats["n_eval_g_eq"] > 0 and stats["n_eval_g_ineq"] > 0

    # A shorter run replaces the figures instead of adding to them.
    problem.set(max_iter=2)
    problem.solve(problems.x0())
    assert problem.stats["n_iter"] == 2
    assert problem.stats["n_eval_f"] < stats["n_eval_f"]


def test_stats_is_read_only():
    problem = problems.make_hs071()
    with pytest.raises(AttributeError):
        problem.stats = {}
    with pytest.raises(AttributeError):
        del problem.stats
    assert problem.stats["n_iter"] == -1


def test_problem_cannot_be_subclassed():
    with pytest.raises(TypeError):

        class Derived(vornel.Problem):
            pass


# --- references held ---------------------------------------------------------


def _fresh_python_callbacks():
    # New function objects, so that no other test or module holds them.
    return {
        "eval_f": lambda x: problems.eval_f(x),
        "eval_grad_f": lambda x, out: problems.eval_grad_f(x, out),
        "eval_g": lambda x, out: problems.eval_g(x, out),
        "eval_jac_g": lambda x, out: problems.eval_jac_g(x, out),
        "eval_h": lambda *args: problems.eval_h(*args),
        "intermediate_callback": lambda *args: True,
    }


def _callbacks(form, c_callbacks):
    if form == "python":
        return _fresh_python_callbacks()
    return c_callbacks.kwargs(form)


@pytest.mark.parametrize("form", ["python", "capsule", "llc"])
@pytest.mark.parametrize("optional", [False, True], ids=["four callbacks", "six callbacks"])
def test_problem_holds_one_reference_to_each_callback_until_deleted(form, optional, c_callbacks):
    callbacks = _callbacks(form, c_callbacks)
    if not optional:
        del callbacks["eval_h"], callbacks["intermediate_callback"]
    before = {name: sys.getrefcount(obj) for name, obj in callbacks.items()}

    # The shared HS071 arguments include a Hessian; leave it out explicitly.
    absent = {} if optional else {"eval_h": None}
    problem = problems.make_hs071(**callbacks, **absent, ipopt_options=problems.QUIET)
    held = {name: sys.getrefcount(obj) - before[name] for name, obj in callbacks.items()}
    assert held == dict.fromkeys(callbacks, 1)
    # The collector sees exactly these objects, not more.
    assert sorted(map(id, gc.get_referents(problem))) == sorted(map(id, callbacks.values()))

    problem.solve(problems.x0())
    assert {name: sys.getrefcount(obj) for name, obj in callbacks.items()} == {
        name: before[name] + 1 for name in callbacks
    }
    del problem
    assert {name: sys.getrefcount(obj) for name, obj in callbacks.items()} == before


class Owner:
    """Holds a problem whose objective is a method of the owner: a cycle that
    only the collector can break."""

    def __init__(self, eval_grad_f):
        self.problem = problems.make_hs071(
            eval_f=self.eval_f, eval_grad_f=eval_grad_f, ipopt_options=problems.QUIET
        )

    def eval_f(self, x):
        return problems.eval_f(x)


def test_problem_in_a_cycle_through_its_callback_is_collected():
    def eval_grad_f(x, out):
        problems.eval_grad_f(x, out)

    owner = Owner(eval_grad_f)
    owner.problem.solve(problems.x0())
    owner_alive = weakref.ref(owner)
    # Held by the problem alone from here on.
    gradient_alive = weakref.ref(eval_grad_f)
    del eval_grad_f
    gc.disable()
    try:
        del owner
        assert owner_alive() is not None
        gc.collect()
    finally:
        gc.enable()
    assert owner_alive() is None
    # The problem went with it and released its other callbacks.
    assert gradient_alive() is None


@pytest.mark.parametrize("form", ["capsule", "llc"])
def test_compiled_callback_lives_as_long_as_the_problem(form, c_callbacks):
    eval_f = c_callbacks.form("f", form)
    problem = problems.make_hs071(eval_f=eval_f, ipopt_options=problems.QUIET)
    # Ours, the problem's, and getrefcount's argument.
    assert sys.getrefcount(eval_f) == 3
    del eval_f
    gc.collect()
    shared = (problems.eval_grad_f, problems.eval_g, problems.eval_jac_g, problems.eval_h)
    (kept,) = [obj for obj in gc.get_referents(problem) if all(obj is not s for s in shared)]
    assert type(kept).__name__ == ("PyCapsule" if form == "capsule" else "LowLevelCallable")
    # The problem's, kept's, and getrefcount's argument: nobody else has it.
    assert sys.getrefcount(kept) == 3
    del kept

    _, obj, status = problem.solve(problems.x0())
    assert status == 0
    assert obj == pytest.approx(problems.F_OPT)
    assert c_callbacks.calls("f") == problem.stats["n_eval_f"]


# --- what a solve leaves in the caller's arrays ------------------------------


def _solve_with_multipliers(problem, x0):
    mult_g, mult_x_L, mult_x_U = np.zeros(2), np.zeros(4), np.zeros(4)
    result = problem.solve(x0, mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U)
    return result, mult_g, mult_x_L, mult_x_U


def test_multiplier_arrays_receive_the_final_multipliers():
    problem = problems.make_hs071(ipopt_options=problems.QUIET)
    (x, _, status), mult_g, mult_x_L, mult_x_U = _solve_with_multipliers(problem, problems.x0())
    assert status == 0
    # Stationarity of the Lagrangian f + g'lambda - z_L'x + z_U'x at the
    # solution ties the three arrays to the problem's derivatives.
    grad = np.zeros(4)
    problems.eval_grad_f(x, grad)
    jac_values = np.zeros(8)
    problems.eval_jac_g(x, jac_values)
    jac = np.zeros((2, 4))
    jac[problems.JAC_G] = jac_values
    np.testing.assert_allclose(grad + jac.T @ mult_g - mult_x_L + mult_x_U, 0, atol=1e-6)
    # x[0] sits on its lower bound; the other bounds are inactive.
    assert mult_x_L[0] > 0.1
    assert np.all(mult_x_L[1:] < 1e-6) and np.all(mult_x_U < 1e-6)


def test_warm_start_from_a_solution_takes_fewer_iterations():
    problem = problems.make_hs071(ipopt_options=problems.QUIET)
    (x, _, _), mult_g, mult_x_L, mult_x_U = _solve_with_multipliers(problem, problems.x0())
    cold_iterations = problem.stats["n_iter"]

    problem.set(warm_start_init_point="yes")
    x_warm, obj, status = problem.solve(
        x.copy(), mult_g=mult_g, mult_x_L=mult_x_L, mult_x_U=mult_x_U
    )
    assert status == 0
    np.testing.assert_allclose(x_warm, problems.X_OPT, rtol=1e-6)
    assert obj == pytest.approx(problems.F_OPT)
    assert 0 < problem.stats["n_iter"] < cold_iterations


def test_a_later_solve_without_multipliers_leaves_earlier_arrays_alone():
    problem = problems.make_hs071(ipopt_options=problems.QUIET)
    _, *multipliers = _solve_with_multipliers(problem, problems.x0())
    for array in multipliers:
        array.fill(np.nan)
    first_x0 = problems.x0()
    _, _, status = problem.solve(first_x0)
    assert status == 0
    for array in multipliers:
        assert np.isnan(array).all()


def test_solution_and_multipliers_outlive_the_problem():
    problem = problems.make_hs071(ipopt_options=problems.QUIET)
    (x, _, _), mult_g, _, _ = _solve_with_multipliers(problem, problems.x0())
    x_copy, mult_g_copy = x.copy(), mult_g.copy()
    del problem
    gc.collect()
    np.testing.assert_array_equal(x, x_copy)
    np.testing.assert_array_equal(mult_g, mult_g_copy)


# --- import ------------------------------------------------------------------


def _run(code, tmp_path):
    # Run outside the source tree, so the installed module is the one found.
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        check=False,
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=60,
    )


# How numpy is made unimportable, and what the printed cause then says.
BLOCK_NUMPY = {
    "None in sys.modules": ("sys.modules['numpy'] = None", "ModuleNotFoundError"),
    "refusing finder": (
        """
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == 'numpy' or name.startswith('numpy.'):
                    raise ImportError('numpy is blocked for this test')
        sys.meta_path.insert(0, Refuse())
    """,
        "ImportError: numpy is blocked for this test",
    ),
}


@pytest.mark.parametrize("block, cause_text", BLOCK_NUMPY.values(), ids=BLOCK_NUMPY.keys())
def test_import_without_numpy_fails_after_printing_the_cause(block, cause_text, tmp_path):
    code = (
        "import sys\n"
        + textwrap.dedent(block)
        + textwrap.dedent(
            """
        try:
            import vornel
        except ImportError as error:
            sys.stderr.flush()
            print('RAISED:', type(error).__name__, error, flush=True)
        else:
            print('IMPORTED', flush=True)
        """
        )
    )
    result = _run(code, tmp_path)
    assert result.returncode == 0, result.stdout
    output = result.stdout
    assert "RAISED: ImportError numpy._core.multiarray failed to import" in output
    cause, _, _ = output.partition("RAISED:")
    # The reason numpy could not be imported came out first.
    assert cause_text in cause


def test_vornel_imports_before_numpy(tmp_path):
    tests = os.path.dirname(problems.__file__)
    code = f"""
        import sys
        import vornel
        import numpy
        sys.path.insert(0, {tests!r})
        import problems
        x, obj, status = problems.make_hs071(ipopt_options=problems.QUIET).solve(problems.x0())
        print(status, round(obj, 4))
    """
    result = _run(code, tmp_path)
    assert result.returncode == 0, result.stdout
    assert result.stdout.split() == ["0", str(round(problems.F_OPT, 4))]
