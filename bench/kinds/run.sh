#!/usr/bin/env bash
# Builds and runs the per-call benchmark of the Python callback kinds.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=bench/build/kind_overhead
mkdir -p bench/build
numpy_include=$(python3 -c "import numpy; print(numpy.get_include())")
g++ -O2 -std=c++17 -Wall -Wextra -Isrc -isystem "$numpy_include" \
  $(pkg-config --cflags ipopt | sed 's/-I/-isystem /g') $(python3-config --includes) \
  -DNPY_TARGET_VERSION=NPY_1_23_API_VERSION \
  bench/kinds/kind_overhead.cpp src/nlp/python_kinds.cpp -o "$out" \
  $(python3-config --ldflags --embed)
"$out"
