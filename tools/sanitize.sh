#!/usr/bin/env bash
# Builds vornel with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan and runs the native tests (when there are any) and the whole
# Python test suite against that build. The interpreter is not rebuilt: the
# sanitizer runtimes are preloaded into it.
#   tools/sanitize.sh                 everything
#   tools/sanitize.sh -k fuzz -x      extra arguments go to pytest
# Any sanitizer report makes the run fail (halt_on_error, exitcode).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/asan

native_opt=false
if compgen -G "tests/native/*.cpp" > /dev/null && [ -f tests/native/meson.build ]; then
  native_opt=true
fi

if [ ! -f "$build/build.ninja" ]; then
  meson setup "$build" -Db_sanitize=address,undefined -Db_lundef=false --buildtype=debug \
    -Dnative_tests="$native_opt" > /dev/null
else
  meson configure "$build" -Dnative_tests="$native_opt" > /dev/null
fi
# Two jobs at most: the build is heavy (every callback combination is a
# template instantiation) and the machine may be shared.
ninja -C "$build" -j "${SANITIZE_JOBS:-2}" > /dev/null

asan_rt=$(g++ -print-file-name=libasan.so)
ubsan_rt=$(g++ -print-file-name=libubsan.so)
for rt in "$asan_rt" "$ubsan_rt"; do
  [ -f "$rt" ] || { echo "sanitize.sh: runtime $rt not found" >&2; exit 2; }
done

# Leak detection stays off: the interpreter keeps its start-up allocations
# until exit by design, and so do NumPy and Ipopt's option registry. The
# soak test (tools/soak.py) measures growth instead. To look at leaks
# anyway, set ASAN_OPTIONS=detect_leaks=1 with an LSan suppression file
# (LSAN_OPTIONS=suppressions=...) that lists libpython and _multiarray_umath.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:${ASAN_OPTIONS_EXTRA:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87"
# With the system allocator every Python object is an ASan heap block, so a
# read past a NumPy buffer or a freed object is seen, not absorbed by pymalloc.
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1
preload="$asan_rt:$ubsan_rt"

if [ "$native_opt" = true ]; then
  for exe in "$build"/tests/native/test_*; do
    [ -f "$exe" ] && [ -x "$exe" ] || continue
    echo "== $exe"
    "$exe"
  done
fi

# The package as the interpreter imports it: the Python modules beside the
# sanitized core, linked into a staging folder that nothing else supplies.
package=$root/$build/package/vornel
rm -rf "$package"
mkdir -p "$package"
for f in "$root"/src/vornel/*; do ln -s "$f" "$package/"; done
core=$(echo "$root/$build"/_core.*.so)
[ -f "$core" ] || { echo "sanitize.sh: no compiled core in $build" >&2; exit 2; }
ln -s "$core" "$package/"

# Run from outside the source tree so that nothing but the staging folder can
# supply the package; the installed copy must not be picked up.
cd /
module=$(LD_PRELOAD="$preload" PYTHONPATH="$root/$build/package" \
  python3 -c 'import vornel._core; print(vornel._core.__file__)')
echo "== vornel from $module"
case "$module" in
  "$package"/_core.*.so) ;;
  *) echo "sanitize.sh: the sanitized module was not the one imported" >&2; exit 2 ;;
esac

LD_PRELOAD="$preload" PYTHONPATH="$root/$build/package" \
  python3 -m pytest -p no:cacheprovider -q "$root/tests/python" "$@"
