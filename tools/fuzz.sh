#!/usr/bin/env bash
# Runs the property-based tests with the long Hypothesis profile and prints
# how many examples each test tried and what they ended in.
#   tools/fuzz.sh                 against the installed module
#   tools/fuzz.sh --sanitized     against build/asan, under tools/sanitize.sh
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/env.sh
export VORNEL_HYPOTHESIS_PROFILE=${VORNEL_HYPOTHESIS_PROFILE:-long}
if [ "${1:-}" = "--sanitized" ]; then
  shift
  exec tools/sanitize.sh -k test_fuzz --hypothesis-show-statistics "$@"
fi
exec python3 -m pytest -p no:cacheprovider -q tests/python/test_fuzz.py --hypothesis-show-statistics "$@"
