#!/usr/bin/env bash
# Installs what vornel needs and the package itself into a virtual
# environment; safe to run again, and quick when everything is already there.
#   tools/setup.sh          system packages, the environment, the package
#   tools/setup.sh --test   the same plus every test and developer dependency
#   tools/setup.sh --check  the same plus only what the Python test suite
#                           needs (pytest, SciPy, Hypothesis)
# The environment is the one tools/env.sh chooses: .venv at the repository
# root unless another virtual environment is active (or VORNEL_VENV names one).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/env.sh
with_tests=0
requirements=""
case "${1:-}" in
  --test) with_tests=1 requirements=tools/requirements-test.txt ;;
  --check) requirements=tools/requirements-check.txt ;;
esac
base_python=${VORNEL_PYTHON:-python3}

packages=(libblas-dev liblapack-dev pkg-config g++ make)
if [ "$with_tests" = 1 ]; then packages+=(libgtest-dev clang-format clang-tidy valgrind); fi

# Debian's own python3 makes environments and builds extensions only with
# these packages (pip itself then comes with the environment).
interpreter=$python
[ -x "$interpreter" ] || interpreter=$(command -v "$base_python" || true)
[ -n "$interpreter" ] || { echo "setup.sh: $base_python not found" >&2; exit 1; }
if dpkg -S "$(readlink -f "$interpreter")" > /dev/null 2>&1; then
  packages+=(python3-venv python3-dev python3-pip)
fi

# ---- The Ipopt to build against --------------------------------------------
# By default the solver tools/build-ipopt.sh builds once into its cache:
# Ipopt 3.14 on a sequential MUMPS 5.7 with METIS, which the module finds
# through its run path. It is faster than Debian 12's Ipopt 3.11.9 on MUMPS
# 5.5 on every benchmark problem (bench/README.md), and the first build takes
# about five minutes. VORNEL_IPOPT=system builds on the system's Ipopt
# (Debian's coinor-libipopt-dev, found by pkg-config) instead.
pip_args=()
case "${VORNEL_IPOPT:-source}" in
  system) packages+=(coinor-libipopt-dev) ;;
  source)
    prefix=$(tools/build-ipopt.sh | tail -n1)
    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
    pip_args+=(-Csetup-args=-Dipopt_rpath=true)
    ;;
  *) echo "setup.sh: VORNEL_IPOPT must be system or source" >&2; exit 2 ;;
esac
ipopt_check() {
  pkg-config --exists ipopt || {
    echo "setup.sh: pkg-config finds no Ipopt (PKG_CONFIG_PATH=${PKG_CONFIG_PATH:-})" >&2
    exit 1
  }
}
# -----------------------------------------------------------------------------

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" < /dev/null > /dev/null
fi
ipopt_check

if [ ! -x "$python" ]; then
  # Packages the machine's Python already has (NumPy, the test tools) are
  # used from there rather than downloaded again.
  echo "setup.sh: making the virtual environment $venv"
  "$base_python" -m venv --system-site-packages "$venv"
fi
pip=("$python" -m pip --disable-pip-version-check)
"${pip[@]}" --version > /dev/null
# pip's notes on find-links folders the machine lacks are noise here.
pip_install() {
  "${pip[@]}" install -q "$@" 2>&1 | { grep -v "^WARNING: Location .* is ignored" || true; }
}

if [ -n "$requirements" ]; then
  "$python" - "$requirements" << 'PYEOF' || pip_install -r "$requirements"
import importlib.util, re, sys
names = {"dask[distributed]": "distributed", "meson": "mesonbuild"}
for line in open(sys.argv[1]):
    requirement = re.split(r"[<>=!~ ]", line.strip(), maxsplit=1)[0]
    if requirement and importlib.util.find_spec(names.get(requirement, requirement)) is None:
        sys.exit(1)
PYEOF
fi

# Rebuild only when the sources, the interpreter or the Ipopt changed since
# the last install into this environment.
stamp=$venv/.vornel-installed-sources
sum=$( (find src meson.build meson.options pyproject.toml -type f | LC_ALL=C sort | xargs cat
  "$python" -c 'import sys; print(sys.version)'
  pkg-config --modversion --variable=prefix ipopt
  pwd) | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2> /dev/null)" != "$sum" ] || ! (cd / && "$python" -c "import vornel") 2> /dev/null; then
  pip_install "${pip_args[@]}" .
  echo "$sum" > "$stamp"
fi
