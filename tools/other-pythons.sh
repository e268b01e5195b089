#!/usr/bin/env bash
# Runs the Python test suite on every CPython 3.11 to 3.13 this machine has
# besides the one of the main environment (tools/env.sh): pyenv's versions
# where pyenv is present, otherwise python3.11, python3.12 and python3.13 on
# PATH, whichever actually run. Each gets a virtual environment of its own,
# build/venvs/cpython-VERSION, made and kept up to date by tools/setup.sh.
# A version the machine lacks is reported as skipped. Arguments go to pytest.
# The soak and fuzz files are left out here: they repeat the same scenarios
# hundreds of times over a core that is the same on every interpreter, and
# would triple these runs; the main run has them.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/env.sh
main=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

if command -v pyenv > /dev/null; then
  pyenv_root=$(pyenv root)
else
  pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
fi

# The newest interpreter of that minor version that runs and says it is one.
find_python() {
  local minor=$1 candidate
  for candidate in $(ls -d "$pyenv_root"/versions/"$minor".[0-9]*/bin/python3 2> /dev/null | sort -rV) \
    "$(command -v "python$minor" || true)"; do
    [ -n "$candidate" ] || continue
    if [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2> /dev/null)" = "$minor" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

declare -A found=()
for minor in 3.11 3.12 3.13; do
  [ "$minor" != "$main" ] || continue
  if interpreter=$(find_python "$minor"); then
    found[$minor]=$interpreter
  else
    echo "== CPython $minor: skipped, not on this machine"
  fi
done

status=0
for minor in 3.11 3.12 3.13; do
  [ -n "${found[$minor]:-}" ] || continue
  interpreter=${found[$minor]}
  version=$("$interpreter" -c 'import platform; print(platform.python_version())')
  env_dir=$PWD/build/venvs/cpython-$version
  echo "== CPython $version ($interpreter, environment $env_dir)"
  if ! VORNEL_VENV=$env_dir VORNEL_PYTHON=$interpreter tools/setup.sh --check; then
    echo "== CPython $version: set-up failed"
    status=1
    continue
  fi
  "$env_dir/bin/python" -m pytest -p no:cacheprovider -q tests/python \
    --ignore=tests/python/test_soak.py --ignore=tests/python/test_fuzz.py "$@" || status=1
done
exit $status
