#!/usr/bin/env bash
# Builds the documentation site into build/docs/html, with every warning an
# error, the tutorials executed and every cross-reference resolved; runs the
# examples of the pages and of the docstrings as doctests; then opens the
# built site in headless Chromium (tools/docs_browser.py). Installs what it
# needs first: vornel (tools/setup.sh), the Python packages of
# tools/requirements-docs.txt into the same environment, and Debian's
# chromium. Extra arguments go to the HTML build's sphinx-build.
#   VORNEL_DOCS_BROWSER=0   leaves the browser check out
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
. tools/env.sh

"$python" - tools/requirements-docs.txt << 'PYEOF' || "$python" -m pip install -q --disable-pip-version-check -r tools/requirements-docs.txt 2>&1 | { grep -v "^WARNING: Location .* is ignored" || true; }
import importlib.metadata, re, sys
for line in open(sys.argv[1]):
    line = line.split("#")[0].strip()
    if not line:
        continue
    name, op, wanted = re.match(r"([A-Za-z0-9_.-]+)\s*([=<>!~]*)\s*(\S*)", line).groups()
    try:
        have = importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        sys.exit(1)
    if op == "==" and have != wanted:
        sys.exit(1)
PYEOF

if [ "${VORNEL_DOCS_BROWSER:-1}" != 0 ] && ! command -v chromium > /dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends chromium fonts-dejavu-core < /dev/null > /dev/null
fi

start=$(date +%s)
out=build/docs
rm -rf docs/tutorials "$out/doctrees"
# Matplotlib draws without a display.
export MPLBACKEND=Agg
"$python" -m sphinx -b html -W --keep-going -n -q -d "$out/doctrees" docs "$out/html" "$@"
# The tutorials ran in the HTML build; the doctest build checks the pages'
# and docstrings' examples.
VORNEL_DOCS_GALLERY=False "$python" -m sphinx -b doctest -W --keep-going -n -q \
  -d "$out/doctrees-doctest" docs "$out/doctest"
echo "docs: built $out/html in $(($(date +%s) - start)) s"

if [ "${VORNEL_DOCS_BROWSER:-1}" != 0 ]; then
  "$python" tools/docs_browser.py "$out/html" --screenshots "$out"
fi
