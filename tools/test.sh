#!/usr/bin/env bash
# Installs everything the tests need, then runs the native tests of the core,
# the Python test suite, the documentation build (tools/docs.sh), a part of
# the suite on a build against the system's Ipopt (tools/system-ipopt.sh), the Python
# test suite on every other CPython 3.11 to
# 3.13 the machine has (each in a virtual environment of its own under
# build/venvs/), and the native tests and the Python suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer (all but the slow example,
# stub and soak files), the tests that solve in threads under
# ThreadSanitizer, and a valgrind run of the array-passing tests.
# Extra arguments go to each pytest run but the sanitized one.
#   VORNEL_SKIP_SANITIZERS=1       leaves the sanitizer run out
#   VORNEL_OTHER_PYTHONS=0         leaves the other CPythons out
#   VORNEL_SYSTEM_IPOPT=0          leaves out the build on the system's Ipopt
#                                  (tools/system-ipopt.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --test
. tools/env.sh

# The quick linters first, so that a style slip fails in seconds. clang-tidy
# takes minutes; it runs on its own (see .clang-tidy).
python3 -m ruff check --quiet .
clang-format --dry-run --Werror src/*/*.cpp src/*/*.hpp tests/native/*.cpp tests/native/*.hpp

# The 3.14 header tool comes with the shared folder beside the repository.
if [ -d ../shared/tools ]; then
  tests/check_ipopt314.sh
else
  echo "Ipopt 3.14 compile check skipped: no ../shared/tools beside the repository"
fi

# The native builds (here and in tools/sanitize.sh) link the Ipopt the
# module was installed on: the source-built one unless VORNEL_IPOPT=system.
if [ "${VORNEL_IPOPT:-source}" = source ]; then
  prefix=$(tools/build-ipopt.sh --prefix)
  export PKG_CONFIG_PATH=$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
fi

# meson reports its errors on standard output: shown only when it fails.
if [ ! -f build/native/build.ninja ] &&
  ! setup_log=$(meson setup build/native -Dnative_tests=true -Dipopt_rpath=true \
    --buildtype=debugoptimized 2>&1); then
  echo "$setup_log"
  exit 1
fi
# Quiet when it builds, the compiler's messages when it does not.
if ! build_log=$(ninja -C build/native 2>&1); then
  echo "$build_log"
  exit 1
fi
build/native/tests/native/test_core --gtest_brief=1

echo "== Python $(python3 -c 'import platform; print(platform.python_version())') ($VIRTUAL_ENV)"
python3 -m pytest tests/python "$@"
tools/docs.sh

if [ "${VORNEL_OTHER_PYTHONS:-1}" != 0 ]; then
  tools/other-pythons.sh "$@"
fi

if [ "${VORNEL_SYSTEM_IPOPT:-1}" != 0 ]; then
  tools/system-ipopt.sh "$@"
fi

if [ "${VORNEL_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== under AddressSanitizer and UndefinedBehaviorSanitizer"
  tools/sanitize.sh --ignore="$PWD/tests/python/test_examples.py" \
    --ignore="$PWD/tests/python/test_stubs.py" --ignore="$PWD/tests/python/test_soak.py"
fi
