# Sourced by the tools: chooses the Python environment vornel is installed in
# and the tests run in, and puts it first on PATH.
#   1. VORNEL_VENV, when set (the tools make it when it is missing);
#   2. otherwise the virtual environment already active (VIRTUAL_ENV), as it is;
#   3. otherwise .venv at the repository root (made when missing).
# VORNEL_PYTHON names the interpreter a new environment is made from
# (default: python3).
if [ -n "${VORNEL_VENV:-}" ]; then
  venv=$VORNEL_VENV
elif [ -n "${VIRTUAL_ENV:-}" ]; then
  venv=$VIRTUAL_ENV
else
  venv=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.venv
fi
case "$venv" in /*) ;; *) venv=$PWD/$venv ;; esac
export VIRTUAL_ENV=$venv
case ":$PATH:" in
  *":$venv/bin:"*) ;;
  *) export PATH="$venv/bin:$PATH" ;;
esac
# The environment's own interpreter (it may not exist yet: tools/setup.sh makes it).
python=$venv/bin/python
