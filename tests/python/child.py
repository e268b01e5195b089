"""Running a risky case in a child interpreter, so that a crash fails one
test and not the whole suite."""

import os
import subprocess
import sys
import textwrap

TESTS = os.path.dirname(os.path.abspath(__file__))


def run_child(code, timeout=120, env=None):
    """Runs `code` (dedented) in a fresh interpreter that can import the
    test helpers; returns the completed process, stderr merged into stdout.
    The child inherits the environment, so a sanitized run stays one."""
    prelude = f"import sys\nsys.path.insert(0, {TESTS!r})\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        check=False,
        cwd=os.path.dirname(TESTS),
        env={**os.environ, **(env or {})},
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=timeout,
    )
