#!/usr/bin/env bash
# Compile-checks every C++ source of the core and of the native tests against
# the Ipopt 3.14 headers, so that code written on a machine with an older
# Ipopt cannot silently break the newer API. The header tool lives in the
# shared/ folder beside the repository (as in a CI clone).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool="$root/../shared/tools/ipopt-3.14-headers"
if [ ! -x "$tool" ]; then
  echo "check_ipopt314: $tool not found" >&2
  exit 1
fi
# Where the build itself is against 3.14 or newer, it is this check.
if pkg-config --atleast-version=3.14 ipopt 2> /dev/null; then
  echo "check_ipopt314: skipped: the build itself uses Ipopt $(pkg-config --modversion ipopt)"
  exit 0
fi
# The tool fetches the headers with apt from the mirror named in a deb822
# sources file; a system configured otherwise (a one-line sources.list, as
# on a stock Debian 12) cannot run it, which is no fault of the sources.
if ! ipopt_flags=$("$tool" 2> /dev/null); then
  echo "check_ipopt314: skipped: the header tool could not fetch the Ipopt 3.14 headers here"
  exit 0
fi
# Warnings inside Ipopt's own headers are not ours to fix, as in the build.
ipopt_flags=$(echo "$ipopt_flags" | sed 's/\(^\| \)-I/\1-isystem /g')
numpy_include=$(python3 -c 'import numpy; print(numpy.get_include())') || exit 1
gtest_flags=$(pkg-config --cflags gtest 2>/dev/null || true)

cd "$root"
checked=0
failed=0
while IFS= read -r -d '' file; do
  # Word splitting of the flag strings is intended.
  # shellcheck disable=SC2086
  if g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror $ipopt_flags -Isrc \
      $(python3-config --includes) -isystem "$numpy_include" $gtest_flags \
      -DNPY_TARGET_VERSION=NPY_1_23_API_VERSION -DVORNEL_VERSION='"0"' "$file"; then
    checked=$((checked + 1))
  else
    echo "check_ipopt314: FAILED $file" >&2
    failed=$((failed + 1))
  fi
done < <(find src tests/native tests/python/compiled -name '*.cpp' -print0 | sort -z)

echo "check_ipopt314: $checked passed, $failed failed against Ipopt 3.14 headers"
[ "$failed" -eq 0 ] && [ "$checked" -gt 0 ]
