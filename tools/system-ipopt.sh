#!/usr/bin/env bash
# Builds vornel on the system's Ipopt (Debian's coinor-libipopt-dev, 3.11.9 on
# Debian 12) in a virtual environment of its own, build/venvs/system-ipopt,
# and runs the part of the Python suite where the Ipopt releases differ: the
# module's attributes, the option catalogue, options, statuses and solves.
# The default build is on the solver tools/build-ipopt.sh builds; this keeps
# the other supported one compiling and working. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
env_dir=$PWD/build/venvs/system-ipopt
echo "== system Ipopt (environment $env_dir)"
# The system's pkg-config search only: a PKG_CONFIG_PATH naming the source
# build would win over it.
env -u PKG_CONFIG_PATH VORNEL_IPOPT=system VORNEL_VENV="$env_dir" tools/setup.sh --check
"$env_dir/bin/python" -c 'import vornel; print("Ipopt", vornel.ipopt_version, "with", vornel.ipopt_linear_solver)'
"$env_dir/bin/python" -m pytest -p no:cacheprovider -q tests/python/test_module.py \
  tests/python/test_catalogue.py tests/python/test_options.py tests/python/test_solve.py \
  tests/python/test_lifecycle.py "$@"
