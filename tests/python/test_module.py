"""The module object: its attributes, the Problem type and the docstrings."""

import importlib.metadata
import pickle
import re
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

import vornel
from problems import make_hs071

CORE = {
    "EvaluationError",
    "Problem",
    "get_ipopt_options",
    "linear_solvers",
    "__version__",
    "ipopt_version",
    "ipopt_linear_solver",
    "parallel_solves",
}
ADDED = {
    "Status",
    "SolveResult",
    "Iterate",
    "CheckReport",
    "Finding",
    "Mismatch",
    "minimize",
    "ipopt",
}
PUBLIC = CORE | ADDED


def test_public_attributes_are_the_core_and_the_python_additions():
    public = {name for name in dir(vornel) if not name.startswith("_")} | {"__version__"}
    assert public == PUBLIC
    assert set(vornel.__all__) == PUBLIC


def test_the_core_is_private_and_publishes_the_same_objects():
    from vornel import _core

    assert _core.__name__ == "vornel._core"
    for name in CORE:
        assert getattr(vornel, name) is getattr(_core, name)
    for name in ADDED:
        assert getattr(vornel, name).__module__.startswith("vornel._")


# Each runs first thing in a fresh interpreter, where the names and members
# that the package loads at first use are not loaded yet: the first use must
# behave as every later one, and the import itself must not load them.
FIRST_USE = {
    "import alone": """
        import sys
        import vornel
        assert not {"vornel._minimize", "scipy"} & set(sys.modules)
        assert "ipopt_linear_solver" in dir(vornel) and "minimize" in dir(vornel)
        assert vornel.ipopt.__module__ == "vornel._minimize" and "scipy.optimize" in sys.modules
    """,
    "star import": """
        from vornel import *
        assert SolveResult.__module__ == "vornel._result" and Status(0).name == "Solve_Succeeded"
        assert minimize.__module__ == "vornel._minimize"
        assert isinstance(ipopt_linear_solver, str) and ipopt_linear_solver
    """,
    "core's linear solver first": """
        from vornel import _core
        import vornel
        assert _core.ipopt_linear_solver is vornel.ipopt_linear_solver
        assert "ipopt_linear_solver" in vars(_core)
    """,
    "members through an instance": """
        import inspect, numpy as np, vornel
        problem = vornel.Problem(
            n=1, x_l=np.zeros(1), x_u=np.ones(1), m=0, g_l=np.zeros(0), g_u=np.zeros(0),
            sparsity_indices_jac_g=([], []), sparsity_indices_h=([], []),
            eval_f=lambda x: 0.0, eval_grad_f=lambda x, out: None,
            eval_g=lambda x, out: None, eval_jac_g=lambda x, out: None,
        )
        actions = [
            lambda: setattr(problem, "result", 1),
            lambda: delattr(problem, "result"),
            lambda: problem.result,
            problem.current_iterate,
            lambda: type(problem.check(np.zeros(1))).__name__,
        ]
        def outcome(action):
            try:
                return repr(action())
            except Exception as error:
                return f"{type(error).__name__}: {error}"
        first = [outcome(action) for action in actions]
        assert first == [outcome(action) for action in actions], first
        assert [text.split(":")[0] for text in first[:4]] == [
            "AttributeError", "AttributeError", "RuntimeError", "RuntimeError"
        ] and first[4] == "'CheckReport'", first
        assert isinstance(inspect.getattr_static(vornel.Problem, "result"), property)
        assert inspect.getattr_static(vornel.Problem, "check") is vornel.Problem.check
    """,
}


@pytest.mark.parametrize("code", FIRST_USE.values(), ids=FIRST_USE.keys())
def test_names_loaded_at_first_use_behave_as_loaded_ones(code, tmp_path):
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=60,
        check=False,
    )
    assert run.returncode == 0, run.stderr


def test_the_type_pickles_by_its_public_name():
    assert pickle.loads(pickle.dumps(vornel.Problem)) is vornel.Problem


def test_version_is_the_distributions():
    # Both come from the build's one version number.
    assert vornel.__version__ == importlib.metadata.version("vornel")
    assert re.fullmatch(r"\d+\.\d+\.\d+", vornel.__version__)


def test_ipopt_version_and_linear_solver_are_those_the_solver_announces(capfd):
    # The banner of a solve names the version and linear solver of the
    # library actually loaded ("MUMPS 5.7.3" on 3.14, "mumps" on 3.11).
    problem = vornel.Problem(
        n=1,
        x_l=np.zeros(1),
        x_u=np.ones(1),
        m=0,
        g_l=np.zeros(0),
        g_u=np.zeros(0),
        sparsity_indices_jac_g=([], []),
        sparsity_indices_h=([0], [0]),
        eval_f=lambda x: float(x[0] ** 2),
        eval_grad_f=lambda x, out: out.__setitem__(0, 2 * x[0]),
        eval_g=lambda x, out: None,
        eval_jac_g=lambda x, out: None,
        eval_h=lambda x, lagrange, obj_factor, out: out.__setitem__(0, 2 * obj_factor),
        ipopt_options={"print_level": 5, "sb": "yes", "max_iter": 1},
    )
    problem.solve(np.array([0.5]))
    banner = re.search(
        r"This is Ipopt version (\S+), running with linear solver (\S+)", capfd.readouterr().out
    )
    assert banner is not None
    assert vornel.ipopt_version == banner.group(1)
    assert banner.group(2).rstrip(".").lower() == vornel.ipopt_linear_solver.lower()


def test_module_docstring():
    assert vornel.__doc__ == "Python interface to Ipopt"


def test_problem_is_a_type_named_vornel_problem():
    assert isinstance(vornel.Problem, type)
    assert vornel.Problem.__name__ == "Problem"
    assert vornel.Problem.__module__ == "vornel"
    assert repr(vornel.Problem) == "<class 'vornel.Problem'>"


def test_problem_has_no_initializer_of_its_own():
    assert vornel.Problem.__init__ is object.__init__


@pytest.mark.parametrize("function", [vornel.get_ipopt_options, vornel.linear_solvers])
def test_module_functions_are_builtins_taking_no_arguments(function):
    assert isinstance(function, types.BuiltinFunctionType)
    with pytest.raises(TypeError, match="takes no arguments"):
        function(1)


def test_linear_solvers_name_values_of_linear_solver_and_how_each_is_had():
    solvers = vornel.linear_solvers()
    assert solvers is not vornel.linear_solvers()
    assert solvers[vornel.ipopt_linear_solver.lower()] == "built in"
    loaders = {"hsllib", "pardisolib"} if vornel.parallel_solves else {"libhsl.so", "libpardiso.so"}
    assert set(solvers.values()) <= {"built in"} | loaders
    options = {option["name"] for option in vornel.get_ipopt_options()}
    problem = make_hs071()
    for name, source in solvers.items():
        problem.set(linear_solver=name)  # a value this Ipopt accepts
        # The option that names the library to load exists in this Ipopt.
        assert source in ("built in", "libhsl.so", "libpardiso.so") or source in options


@pytest.mark.parametrize(
    "doc, first_line",
    [
        (vornel.Problem.__doc__, "Ipopt problem type in python"),
        (vornel.Problem.solve.__doc__, "solve(x: numpy.ndarray[numpy.float64], mult_g: "),
        (vornel.Problem.set.__doc__, "set(**kwargs) -> None"),
        (
            vornel.Problem.set_problem_scaling.__doc__,
            "set_problem_scaling(obj_scaling: float, x_scaling: Optional[numpy.ndarray] = None, "
            "g_scaling: Optional[numpy.ndarray] = None) -> None",
        ),
        (vornel.get_ipopt_options.__doc__, "get_ipopt_options() -> list[dict[str, Any]]"),
        (vornel.linear_solvers.__doc__, "linear_solvers() -> dict[str, str]"),
    ],
    ids=["Problem", "solve", "set", "set_problem_scaling", "get_ipopt_options", "linear_solvers"],
)
def test_docstrings_start_with_a_newline_then_the_documented_line(doc, first_line):
    assert doc.startswith("\n" + first_line)


def test_solve_docstring_signature_line():
    line = vornel.Problem.solve.__doc__.split("\n")[1]
    assert line == (
        "solve(x: numpy.ndarray[numpy.float64], "
        "mult_g: Optional[numpy.ndarray[numpy.float64]] = None, "
        "mult_x_L: Optional[numpy.ndarray[numpy.float64]] = None, "
        "mult_x_U: Optional[numpy.ndarray[numpy.float64]] = None) "
        "-> tuple[numpy.ndarray[numpy.float64], float, int]"
    )
    assert vornel.Problem.solve.__doc__.endswith("\n")


def test_problem_docstring_signature_args_and_link_targets():
    lines = vornel.Problem.__doc__.split("\n")
    assert lines[2] == ""
    assert lines[3].startswith("Problem(n: int, x_l: numpy.ndarray[numpy.float64], ")
    assert lines[3].endswith(
        "ipopt_options: Optional[dict[str, Union[int, float, str]]] = None) -> Problem"
    )
    assert lines[4] == "" and lines[5] == "Args:"
    args_section = "\n".join(lines[5:])
    documented = [
        "n",
        "x_l",
        "x_u",
        "m",
        "g_l",
        "g_u",
        "sparsity_indices_jac_g",
        "sparsity_indices_h",
        "eval_f",
        "eval_grad_f",
        "eval_g",
        "eval_jac_g",
        "eval_h",
        "intermediate_callback",
        "obj_scaling",
        "x_scaling",
        "g_scaling",
        "ipopt_options",
    ]
    positions = [args_section.index(f"\n    {name}: ") for name in documented]
    assert positions == sorted(positions)
    assert any(line.startswith(".. _PyCapsule: ") for line in lines)
    assert any(line.startswith(".. _scipy.LowLevelCallable: ") for line in lines)


def test_set_problem_scaling_docstring_body():
    doc = vornel.Problem.set_problem_scaling.__doc__
    assert doc.split("\n")[3] == "Set scaling parameters for the NLP."
    assert 'nlp_scaling_method="user-scaling"' in doc
    assert "TNLP::get_scaling_parameters" in doc


def test_catalogue_docstring_documents_the_five_keys():
    doc = vornel.get_ipopt_options.__doc__
    assert doc.split("\n")[3] == "Get a list of all Ipopt options."
    assert "::" in doc
    for key in ("name", "description_short", "description_long", "category"):
        assert f"{key}: str" in doc
    assert "type: Union[Type[int], Type[float], Type[str], None]" in doc


def test_stats_attribute_is_documented():
    assert vornel.Problem.stats.__doc__ == "dict[str, int]: Stats about an optimization run"
