"""Every example runs as a user would start it and prints what it promises."""

import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vornel

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
OBJECTIVE = "17.014017"


def run(name, *args, timeout=120, cwd=None):
    """Run examples/NAME.py in a fresh interpreter and return its output."""
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / f"{name}.py"), *args],
        check=False,
        capture_output=True,
        text=True,
        timeout=timeout,
        # Anywhere but examples/: the examples must find their shared module
        # themselves.
        cwd=cwd,
    )
    assert result.returncode == 0, f"{name} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def needs(*modules):
    missing = [m for m in modules if importlib.util.find_spec(m) is None]
    return pytest.mark.skipif(
        bool(missing), reason=f"optional dependency not installed: {', '.join(missing)}"
    )


def field(output, pattern):
    match = re.search(pattern, output, re.MULTILINE)
    assert match, f"{pattern!r} not in output:\n{output}"
    return match.group(1)


def stats_of(output):
    return ast.literal_eval(field(output, r"^stats:\s+(\{.*\})$"))


def check_hs071_solution(output):
    assert field(output, r"^objective: (\S+)$") == OBJECTIVE
    assert field(output, r"^status:\s+(-?\d+)") == "0"
    assert stats_of(output)["n_iter"] > 0


@needs("scipy")
def test_minimize(tmp_path):
    # HS071 as scipy.optimize states it, through both front doors.
    out = run("minimize", cwd=tmp_path)
    assert field(out, r"^vornel.minimize: Solve_Succeeded, objective (\S+)") == OBJECTIVE
    assert field(out, r"^scipy.optimize.minimize: Solve_Succeeded, objective (\S+)") == OBJECTIVE
    assert "x: [1.       4.743    3.82115  1.379408]" in out
    assert int(field(out, r"^warm start: Solve_Succeeded in (\d+) iterations")) <= 2


def test_hs071(tmp_path):
    out = run("hs071", cwd=tmp_path)
    check_hs071_solution(out)
    assert "1.       4.743    3.82115  1.379408" in out
    assert out.startswith("check: no fault found")
    assert "status:    0 (Solve_Succeeded)" in out
    assert field(out, r"^multipliers of the constraints: (.*)$") == "[-0.552294  0.161469]"
    assert float(field(out, r"^final constraint violation: (\S+)$")) < 1e-8


def readme_blocks():
    """Each Python block of the README with the text block that follows it
    (what it prints), or None where none does."""
    readme = (EXAMPLES.parent / "README.md").read_text()
    blocks = re.findall(r"^```(\w*)\n(.*?)^```$", readme, re.MULTILINE | re.DOTALL)
    found = []
    for k, (language, code) in enumerate(blocks):
        if language == "python":
            after = blocks[k + 1] if k + 1 < len(blocks) else ("", "")
            found.append((code, after[1] if after[0] == "text" else None))
    # An empty list would parametrise the test into a silent skip.
    if not any(shown is not None for _, shown in found):
        raise AssertionError("the README shows no Python example with its output")
    return found


@needs("scipy")
@pytest.mark.parametrize("code, shown", readme_blocks())
def test_readme_examples_run_and_print_what_the_readme_shows(tmp_path, code, shown):
    script = tmp_path / "readme_example.py"
    script.write_text(code)
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=120, check=False
    )
    assert result.returncode == 0, result.stderr
    if shown is not None:
        assert result.stdout == shown


def test_hs071_c(tmp_path):
    out = run("hs071_c", cwd=tmp_path)
    check_hs071_solution(out)
    # The counters live in the user data; matching the solver's own counts
    # shows that the context of every capsule reached the C functions.
    counted = dict(
        re.findall(r"(\w+)=(\d+)", field(out, r"^C calls counted in the user data: (.*)$"))
    )
    stats = stats_of(out)
    assert int(counted["f"]) == stats["n_eval_f"]
    assert int(counted["h"]) == stats["n_eval_h"]
    assert all(int(v) > 0 for v in counted.values())


@needs("numba", "scipy")
def test_hs071_numba(tmp_path):
    out = run("hs071_numba", timeout=300, cwd=tmp_path)
    check_hs071_solution(out)
    python_ms = float(field(out, r"^Python callbacks:\s+(\S+) ms per solve$"))
    numba_ms = float(field(out, r"^Numba callbacks:\s+(\S+) ms per solve$"))
    speed_up = float(field(out, r"^speed-up:\s+(\S+)x$"))
    assert python_ms > 0 and numba_ms > 0
    assert speed_up == pytest.approx(python_ms / numba_ms, rel=0.01)


def test_warm_start(tmp_path):
    out = run("warm_start", cwd=tmp_path)
    assert field(out, r"^original problem:\s+objective (\S+),") == OBJECTIVE
    cold = int(field(out, r"^cold start.*status 0, (\d+) iterations$"))
    warm = int(field(out, r"^warm start.*status 0, (\d+) iterations$"))
    assert field(out, r"^same optimum: (\w+);") == "True"
    assert warm < cold


def test_user_scaling(tmp_path):
    out = run("user_scaling", cwd=tmp_path)
    rows = re.findall(r"objective (\S+)\s+status (-?\d+)\s+(\d+) iterations", out)
    assert len(rows) == 4
    assert all(obj == OBJECTIVE and status == "0" for obj, status, _ in rows)
    # Scaling that changes nothing on the solver's path would be no example.
    assert len({iterations for _, _, iterations in rows}) > 1


def test_early_stop(tmp_path):
    out = run("early_stop", cwd=tmp_path)
    iterations = [int(i) for i in re.findall(r"^iter\s+(\d+)\s", out, re.MULTILINE)]
    stopped_after = int(
        field(out, r"^status 5 \(stopped early by the callback\) after (\d+) iterations$")
    )
    # One progress line per iteration, the starting point included.
    assert iterations == list(range(stopped_after + 1))
    objective = float(field(out, r"^objective (\S+) at x"))
    assert objective != pytest.approx(float(OBJECTIVE), abs=1e-6)
    violations = [float(v) for v in re.findall(r"largest violation\s+(\S+)$", out, re.MULTILINE)]
    assert len(violations) == len(iterations) and violations[-1] <= 1e-2 < violations[0]
    assert "User_Requested_Stop: Stopped by the intermediate_callback" in out


def test_limited_memory(tmp_path):
    out = run("limited_memory", cwd=tmp_path)
    assert field(out, r"^exact Hessian:\s+objective (\S+),") == OBJECTIVE
    assert field(out, r"^limited-memory BFGS:\s+objective (\S+), status 0,") == OBJECTIVE
    assert field(out, r"^Hessian evaluations: (\d+)$") == "0"


def test_list_options(tmp_path):
    out = run("list_options", cwd=tmp_path)
    options = vornel.get_ipopt_options()
    categories = {o["category"] for o in options}
    assert field(out, r"^(\d+) options in") == str(len(options))
    assert field(out, r"options in (\d+) categories$") == str(len(categories))
    counts = [int(c) for c in re.findall(r"^.+ \((\d+)\): ", out, re.MULTILINE)]
    assert sum(counts) == len(options)


def test_list_options_of_one_category(tmp_path):
    out = run("list_options", "Warm Start", cwd=tmp_path)
    expected = sorted(
        o["name"] for o in vornel.get_ipopt_options() if o["category"] == "Warm Start"
    )
    assert expected
    assert [line.split()[0] for line in out.splitlines()] == expected


def sweep_rows(out):
    return re.findall(r"^\s*(\d+\.\d+)\s+(\S+)\s+(-?\d+)\s+(\d+)$", out, re.MULTILINE)


def check_sweep(out, points):
    rows = sweep_rows(out)
    assert len(rows) == points
    bounds = [float(r[0]) for r in rows]
    objectives = [float(r[1]) for r in rows]
    assert all(r[2] == "0" for r in rows)
    assert bounds == sorted(bounds)
    # A tighter product constraint can only make the optimum worse.
    assert objectives == sorted(objectives)
    assert f"{points} of {points} solved" in out


def test_parallel_sweep(tmp_path):
    check_sweep(run("parallel_sweep", "--points", "5", cwd=tmp_path), 5)


@needs("numba", "scipy")
def test_thread_sweep(tmp_path):
    out = run("thread_sweep", "--points", "5", "--workers", "3", timeout=300, cwd=tmp_path)
    check_sweep(out, 5)
    assert field(out, r"^same results as with 1 thread: (\w+)$") == "True"
    # Each point solved alone in a process of its own, with Python callbacks.
    alone = run("parallel_sweep", "--points", "5", "--workers", "1", cwd=tmp_path)
    assert sweep_rows(out) == sweep_rows(alone)
    assert float(field(out, r"^wall time, 3 threads:\s+(\S+) ms$")) > 0
    assert field(out, r"^vornel.parallel_solves: (\w+)$") == str(vornel.parallel_solves)


@needs("dask", "distributed")
def test_dask_sweep(tmp_path):
    check_sweep(run("dask_sweep", "--points", "5", timeout=300, cwd=tmp_path), 5)


def test_every_example_has_a_test():
    examples = {p.stem for p in EXAMPLES.glob("*.py") if not p.stem.startswith("_")}
    tested = {name[len("test_") :] for name in globals() if name.startswith("test_")}
    assert examples <= tested, f"examples without a test: {sorted(examples - tested)}"
