"""The installed type stub matches the module and type checkers find it."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vornel

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def typed_env(folder):
    """An environment whose MYPYPATH holds a copy of the installed package's
    typed files, ahead of anything else on the path (a stub-only package
    that an older install left in a shared site-packages, for instance)."""
    installed = Path(vornel.__file__).parent
    assert (installed / "py.typed").is_file()
    copy = folder / "typed" / "vornel"
    copy.mkdir(parents=True)
    for f in installed.iterdir():
        if f.suffix in (".py", ".pyi") or f.name == "py.typed":
            shutil.copy(f, copy)
    return {**os.environ, "MYPYPATH": str(copy.parent)}


def mypy(*args, cwd):
    # Outside the source tree, so that only the installed package can be
    # found, and without a cache that an earlier build could leave behind.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", *args],
        check=False,
        capture_output=True,
        text=True,
        timeout=300,
        cwd=cwd,
        env=typed_env(cwd),
    )


def test_stubtest_finds_no_difference_from_the_module(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vornel"],
        check=False,
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
        env=typed_env(tmp_path),
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reads_the_installed_stub(tmp_path):
    source = tmp_path / "use.py"
    source.write_text(
        "import numpy as np\n"
        "import vornel\n"
        "reveal_type(vornel.Problem.solve)\n"
        "reveal_type(vornel.get_ipopt_options()[0]['category'])\n"
        "def wrong(p: vornel.Problem) -> None:\n"
        "    p.solve(np.zeros(4), np.zeros(2))\n"
        "    p.set_problem_scaling('1')\n"
        "def grad(x: np.ndarray, out: np.ndarray) -> None: ...\n"
        "vornel.Problem(1, np.zeros(1), np.ones(1), 0, np.zeros(0), np.zeros(0),\n"
        "               sparsity_indices_h=([0], [0]), eval_f=lambda x: 0.0, eval_grad_f=grad)\n"
        "vornel.Problem(1, np.zeros(1), np.ones(1), 2, np.zeros(2), np.zeros(2),\n"
        "               sparsity_indices_h=([0], [0]), eval_f=lambda x: 0.0, eval_grad_f=grad)\n"
    )
    result = mypy("--strict", str(source), cwd=tmp_path)
    out = result.stdout
    assert 'Revealed type is "def (self: vornel.Problem, x0:' in out, out
    assert re.search(r'use\.py:4: note: Revealed type is "(builtins\.)?str"', out), out
    # The multipliers are keyword-only and obj_scaling is a number.
    assert "use.py:6: error: Too many positional arguments" in out, out
    assert 'use.py:7: error: Argument 1 to "set_problem_scaling"' in out, out
    # An unconstrained problem needs no constraint arguments; others do.
    assert "use.py:9:" not in out and "use.py:11: error: No overload" in out, out
    assert result.returncode == 1


def test_examples_pass_mypy_strict(tmp_path):
    result = mypy("--strict", str(EXAMPLES), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
