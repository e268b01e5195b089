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
. tools/env.sh
root=$PWD
build=build/asan

native_opt=false
if compgen -G "tests/native/*.cpp" > /dev/null && [ -f tests/native/meson.build ]; then
  native_opt=true
fi

if [ ! -f "$build/build.ninja" ]; then
  if ! setup_log=$(meson setup "$build" -Db_sanitize=address,undefined -Db_lundef=false -Dipopt_rpath=true \
    --buildtype=debug -Dnative_tests="$native_opt" 2>&1); then
    echo "$setup_log"
    exit 1
  fi
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
# core built in $1, linked into a staging folder that nothing else supplies.
stage_package() {
  local package=$root/$1/package/vornel core
  rm -rf "$package"
  mkdir -p "$package"
  for f in "$root"/src/vornel/*; do ln -s "$f" "$package/"; done
  core=$(echo "$root/$1"/_core.*.so)
  [ -f "$core" ] || { echo "sanitize.sh: no compiled core in $1" >&2; exit 2; }
  ln -s "$core" "$package/"
}
stage_package "$build"
package=$root/$build/package/vornel

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

# ThreadSanitizer on the tests that solve in threads: the module's own code
# is instrumented; the interpreter's lock is a pthread mutex, which the
# runtime sees, so every access the module makes to Python objects or to a
# problem's record from two threads must be ordered by it or by the solver
# turn. The interpreter, NumPy and Ipopt are not instrumented: races inside
# them are not seen. VORNEL_SKIP_TSAN=1 leaves it out.
if [ "${VORNEL_SKIP_TSAN:-0}" != 1 ]; then
  tsan_build=build/tsan
  cd "$root"
  if [ ! -f "$tsan_build/build.ninja" ]; then
    meson setup "$tsan_build" -Db_sanitize=thread -Db_lundef=false -Dipopt_rpath=true --buildtype=debug > /dev/null
  fi
  ninja -C "$tsan_build" -j "${SANITIZE_JOBS:-2}" > /dev/null
  stage_package "$tsan_build"
  cd /
  echo "== under ThreadSanitizer"
  # Without address-space randomisation where the tool exists: the runtime
  # of some releases cannot map its shadow memory around a randomised layout.
  norandom=()
  if command -v setarch > /dev/null && setarch -R true 2> /dev/null; then norandom=(setarch -R); fi
  # Thread leaks are not reported: on Debian 13, Debian's MUMPS brings in the
  # MPI stack, whose transport library starts a thread it never joins.
  TSAN_OPTIONS="halt_on_error=0:exitcode=89:second_deadlock_stack=1:report_thread_leaks=0" \
    LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" PYTHONPATH="$root/$tsan_build/package" \
    "${norandom[@]}" python3 -m pytest -p no:cacheprovider -q "$root/tests/python/test_threads.py" \
    "$root/tests/python/test_lifecycle.py" -k "thread or signal"
fi

# Valgrind's memcheck sees what AddressSanitizer cannot: reads and writes
# through uninstrumented code (Ipopt's BLAS copy into a caller's array), on
# the release build's own code paths. It is slow, so it runs a subset that
# passes every kind of caller array through a solve, kept and changed
# callback arrays included; child processes of the tests are checked too.
# VORNEL_SKIP_VALGRIND=1 leaves it out.
if [ "${VORNEL_SKIP_VALGRIND:-0}" != 1 ]; then
  vg_build=build/valgrind
  cd "$root"
  if [ ! -f "$vg_build/build.ninja" ]; then
    meson setup "$vg_build" -Dipopt_rpath=true --buildtype=debugoptimized > /dev/null
  fi
  ninja -C "$vg_build" -j "${SANITIZE_JOBS:-2}" > /dev/null
  stage_package "$vg_build"
  cd /
  echo "== under valgrind memcheck"
  PYTHONPATH="$root/$vg_build/package" valgrind --quiet --error-exitcode=88 --num-callers=30 \
    --suppressions="$root/tools/valgrind.supp" --trace-children=yes \
    --trace-children-skip='*/cc,*/gcc,*/cc1,*/as,*/ld,*/collect2' \
    python3 -m pytest -p no:cacheprovider -q "$root/tests/python/test_solve.py" \
    "$root/tests/python/test_callbacks.py" -k "returns_x0 or all_multipliers or share_memory \
      or sharing_memory or dropping or changed_during_the_solve_receives_nothing and grown \
      or kept_argument or kept_arrays_changed and own"
fi
