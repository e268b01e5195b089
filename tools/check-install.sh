#!/usr/bin/env bash
# Checks an installation of vornel without the developer tools (no
# sanitizers, linters or GoogleTest): installs vornel (tools/setup.sh) and
# the test extra (pytest, SciPy, Hypothesis) into the environment, then runs
# the Python test suite there. Tests of optional companions (Numba, Dask,
# mypy) are skipped when those are not installed. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
. tools/env.sh
"$python" -c "import pytest, scipy, hypothesis" 2> /dev/null ||
  "$python" -m pip install -q --disable-pip-version-check "pytest>=7" "scipy>=1.9" "hypothesis>=6" 2>&1 |
  { grep -v "^WARNING: Location .* is ignored" || true; }
exec "$python" -m pytest -p no:cacheprovider -q tests/python "$@"
