#!/usr/bin/env bash
# Installs what vornel needs and the package itself; safe to run again, and
# quick when everything is already there.
#   tools/setup.sh          system packages, the package
#   tools/setup.sh --test   the same plus the test dependencies
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(coinor-libipopt-dev libblas-dev liblapack-dev pkg-config g++ make)
if [ "${1:-}" = "--test" ]; then packages+=(libgtest-dev clang-format clang-tidy); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}" < /dev/null
fi

python3 -m pip --version > /dev/null
if [ "${1:-}" = "--test" ]; then
  python3 -c "import pytest, scipy, hypothesis, mesonbuild, ninja, numba, dask, distributed, mypy, ruff" 2> /dev/null ||
    python3 -m pip install -q -r tools/requirements-test.txt
fi

# The solver: the system's Ipopt when it is 3.14 or newer, otherwise the one
# tools/build-ipopt.sh builds once into its cache. VORNEL_IPOPT=system or
# VORNEL_IPOPT=source forces either.
pip_args=()
ipopt=${VORNEL_IPOPT:-}
if [ -z "$ipopt" ]; then
  ipopt=source
  if pkg-config --atleast-version=3.14 ipopt; then ipopt=system; fi
fi
case "$ipopt" in
  system) ;;
  source)
    prefix=$(tools/build-ipopt.sh | tail -n1)
    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
    pip_args+=(-Csetup-args=-Dipopt_rpath=true)
    ;;
  *) echo "setup: VORNEL_IPOPT must be system or source" >&2; exit 2 ;;
esac
echo "setup: Ipopt $(pkg-config --modversion ipopt) from $(pkg-config --variable=libdir ipopt)"

# Rebuild only when the sources or the solver changed since the last install.
stamp=build/.installed-sources
sum=$( (find src meson.build meson.options pyproject.toml -type f | LC_ALL=C sort |
  xargs cat; python3 -c 'import sys; print(sys.version)'; pkg-config --libs ipopt) |
  sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2> /dev/null)" != "$sum" ] || ! (cd / && python3 -c "import vornel") 2> /dev/null; then
  python3 -m pip install -q "${pip_args[@]}" . 
  mkdir -p build && echo "$sum" > "$stamp"
fi
