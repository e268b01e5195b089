#!/usr/bin/env bash
# Installs everything (tools/setup.sh), then runs the command in the
# environment vornel is installed in:
#   tools/run.sh examples/hs071.py      a script, with the environment's python
#   tools/run.sh -m pytest tests/python  python's own options work too
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/setup.sh"
. "$here/env.sh"
exec "$python" "$@"
