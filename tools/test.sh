#!/usr/bin/env bash
# Installs everything the tests need, then runs the native tests of the core
# and the Python test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --test

if [ ! -f build/native/build.ninja ]; then
  meson setup build/native -Dnative_tests=true --buildtype=debugoptimized > /dev/null
fi
ninja -C build/native > /dev/null
build/native/tests/native/test_core

python3 -m pytest tests/python "$@"
