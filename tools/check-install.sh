#!/usr/bin/env bash
# Checks an installation of vornel without the developer tools (no
# sanitizers, linters or GoogleTest): installs vornel and only pytest, SciPy
# and Hypothesis beside it (tools/setup.sh --check), then runs
# the Python test suite there. Tests of optional companions (Numba, Dask,
# mypy) are skipped when those are not installed. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --check
. tools/env.sh
exec "$python" -m pytest -p no:cacheprovider -q tests/python "$@"
