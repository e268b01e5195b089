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
from child import run_child

import compiled
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


def test_the_keys_of_stats_are_made_once():
    # Made per read, they would come and go in the table of interned
    # strings: held by nothing but this list, a key would count as many
    # references as an interned string made here. In a child, where no
    # constant of this module holds the keys. Where interned strings are
    # immortal (Python 3.12), both counts are the immortal one.
    result = run_child(
        """
        import sys
        import problems
        keys = list(problems.make_hs071().stats)
        made_here = [sys.intern("".join(["n_", "made_here"]))]
        counts = [min(sys.getrefcount(key) for key in held) for held in (keys, made_here)]
        print(*counts)
        """
    )
    assert result.returncode == 0, result.stdout
    key_count, baseline = map(int, result.stdout.split())
    assert key_count > baseline or baseline > 2**29, result.stdout


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


# --- instances Python code should never see ----------------------------------

HALF_BUILT_USES = {
    "stats": "p.stats",
    "solve": "p.solve(problems.x0())",
    "set": "p.set(tol=1e-3)",
    "set_problem_scaling": "p.set_problem_scaling(1.0)",
    "check": "p.check(problems.x0())",
    "result": "p.result",
    "current_iterate": "p.current_iterate()",
    "_structure": "vornel._core._structure(p)",
    "_evaluate": "vornel._core._evaluate(p, 'f', problems.x0())",
    "_last_solve": "vornel._core._last_solve(p)",
    "_callbacks": "vornel._core._callbacks(p)",
}


@pytest.mark.parametrize("when", ["during construction", "after a failed construction"])
@pytest.mark.parametrize("use", HALF_BUILT_USES.values(), ids=HALF_BUILT_USES.keys())
def test_an_instance_seen_before_it_is_complete_refuses_every_use(use, when):
    # The collector lists an instance from its allocation on; a converter's
    # Python code can find it there. In a child: it used to dereference null.
    result = run_child(
        f"""
        import gc
        import problems, vornel
        found, answers = [], []

        def use(p):
            try:
                {use}
            except RuntimeError as error:
                answers.append(str(error))
            else:
                answers.append("no error")

        class Rows:
            def __iter__(self):
                found.extend(o for o in gc.get_objects() if type(o) is vornel.Problem)
                if {when!r} == "during construction":
                    for p in found:
                        use(p)
                    return iter(problems.JAC_G[0])
                raise ValueError("rows fail")

        try:
            jac_g = (Rows(), problems.JAC_G[1])
            vornel.Problem(**problems.hs071_args(sparsity_indices_jac_g=jac_g))
        except TypeError:
            for p in found:
                use(p)
        print(len(found), answers)
        """
    )
    assert result.returncode == 0, result.stdout
    assert result.stdout.strip() == "1 ['vornel.Problem is not initialised']", result.stdout


# --- the interpreter around the module ---------------------------------------


@pytest.mark.parametrize("kind", ["python", "llc"])
def test_a_daemon_thread_solving_at_interpreter_exit_does_not_abort_the_process(kind):
    # The thread is ended while a Python callback runs inside the solver, or
    # while a compiled solve runs without the interpreter lock and later
    # asks for it back.
    result = run_child(
        f"""
        import tempfile, threading, time
        import compiled, problems

        started = threading.Event()

        def eval_f(x):
            started.set()
            time.sleep(0.001)
            return problems.eval_f(x)

        if {kind!r} == "python":
            kwargs = dict(eval_f=eval_f)
            options = {{**problems.QUIET, "max_iter": 100000, "tol": 1e-30, "acceptable_iter": 0}}
        else:
            # Short solves: each ends by taking the lock back for its results.
            library = compiled.Library(compiled.build(tempfile.mkdtemp()))
            callbacks = library.callbacks(delay_us=300)
            kwargs, options = callbacks.kwargs({kind!r}), problems.QUIET

        def run():
            p = problems.make_hs071(**kwargs, ipopt_options=options)
            started.set()
            while True:
                p.solve(problems.x0())

        threading.Thread(target=run, daemon=True).start()
        started.wait()
        time.sleep(0.2)
        print("EXIT", flush=True)
        """
    )
    assert result.returncode == 0, result.stdout
    assert "FATAL" not in result.stdout and "EXIT" in result.stdout


SUBINTERPRETER = """
    code = "try:\\n import vornel\\nexcept ImportError as e:\\n print('REFUSED', e)\\n"
    try:
        import _interpreters as subinterpreters  # 3.13
    except ImportError:
        import _xxsubinterpreters as subinterpreters  # 3.11, 3.12
    interp = subinterpreters.create()
    try:
        subinterpreters.run_string(interp, code)
    except Exception as error:  # 3.13 reports an uncaught failure as its own
        print("REFUSED", error)
    subinterpreters.destroy(interp)
"""
LEGACY_SUBINTERPRETER = """
    import _testcapi
    code = "try:\\n import vornel\\nexcept ImportError as e:\\n print('REFUSED', e)\\n"
    _testcapi.run_in_subinterp(code)
"""


@pytest.mark.parametrize("main_first", [False, True], ids=["sub then main", "main then sub"])
@pytest.mark.parametrize(
    "kind", [SUBINTERPRETER, LEGACY_SUBINTERPRETER], ids=["isolated", "legacy"]
)
def test_import_outside_the_main_interpreter_is_refused(kind, main_first):
    pytest.importorskip("_testcapi" if kind is LEGACY_SUBINTERPRETER else "_testinternalcapi")
    code = "import vornel\n" if main_first else ""
    code += textwrap.dedent(kind)
    code += textwrap.dedent(
        """
        import vornel, problems
        p = problems.make_hs071(ipopt_options=problems.QUIET)
        print("MAIN", p.solve(problems.x0())[2])
        """
    )
    result = run_child(code)
    assert result.returncode == 0, result.stdout
    assert "REFUSED" in result.stdout and "subinterpreter" in result.stdout, result.stdout
    assert "MAIN 0" in result.stdout


ENTRY_POINTS = {
    "Problem()": "vornel.Problem(**args)",
    "set_problem_scaling": "p.set_problem_scaling(1.0, big)",
}


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves the address space"
)
@pytest.mark.parametrize("call", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_exhausted_memory_is_a_memory_error(call):
    # The address space is capped just above what the child uses, so the
    # native copies of large arguments cannot be allocated.
    result = run_child(
        f"""
        import resource
        import numpy as np
        import problems, vornel

        n = 4_000_000
        big = np.ones(n)
        args = problems.hs071_args(n=n, x_l=big, x_u=big, m=0, g_l=np.zeros(0), g_u=np.zeros(0),
                                   sparsity_indices_jac_g=([], []), eval_h=None)
        p = problems.make_hs071(ipopt_options=problems.QUIET)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 16 * 2**20, resource.RLIM_INFINITY))
        try:
            {call}
        except MemoryError:
            print("MemoryError")
        except ValueError as error:  # set_problem_scaling on a problem of 4 variables
            print("MemoryError" if "MemoryError" in str(error) else error)
        """
    )
    assert result.returncode == 0, result.stdout
    assert "MemoryError" in result.stdout, result.stdout


def _system_solver():
    """Whether the module runs on the system's Ipopt rather than the one
    tools/build-ipopt.sh builds (or a wheel bundles)."""
    return compiled.linked_ipopt().is_relative_to("/usr")


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves the address space"
)
@pytest.mark.skipif(
    _system_solver(),
    reason="the system's MUMPS may end the process when memory runs out inside it "
    "(see the README); only the solver vornel builds is held to a status",
)
@pytest.mark.parametrize("margin_mib", [80, 100, 120])
def test_memory_running_out_inside_the_linear_solver_ends_the_solve_only(margin_mib):
    # n = 3e5 leaves the ordering, analysis or factorisation of the KKT
    # system short of memory, wherever the cap falls.
    result = run_child(
        f"""
        import resource
        import numpy as np
        import vornel

        n = 300_000
        j = np.arange(n - 1)

        def eval_g(x, out):
            out[:] = x[:-1] ** 2 + x[1:]

        def eval_jac_g(x, out):
            out[0::2] = 2 * x[:-1]
            out[1::2] = 1.0

        def eval_h(x, lagrange, obj_factor, out):
            out[:] = 2 * obj_factor
            out[:-1] += 2 * lagrange

        p = vornel.Problem(
            n=n, x_l=np.full(n, -10.0), x_u=np.full(n, 10.0), m=n - 1,
            g_l=np.ones(n - 1), g_u=np.ones(n - 1),
            sparsity_indices_jac_g=(np.repeat(j, 2), np.stack([j, j + 1], 1).ravel()),
            sparsity_indices_h=(np.arange(n), np.arange(n)),
            eval_f=lambda x: float(np.sum((x - 2) ** 2)),
            eval_grad_f=lambda x, out: np.copyto(out, 2 * (x - 2)),
            eval_g=eval_g, eval_jac_g=eval_jac_g, eval_h=eval_h,
            ipopt_options={{"print_level": 0, "sb": "yes", "max_iter": 10}},
        )
        x0 = np.zeros(n)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        cap = used + {margin_mib} * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (cap, resource.RLIM_INFINITY))
        try:
            status = p.solve(x0)[2]
            print("STATUS", vornel.Status(status).name)
        except MemoryError:
            print("MemoryError")
        print("END")
        """,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout
    assert result.stdout.rstrip().endswith("END"), result.stdout
    assert "STATUS" in result.stdout or "MemoryError" in result.stdout, result.stdout
