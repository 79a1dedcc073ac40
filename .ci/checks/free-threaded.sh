#!/usr/bin/env bash
# Free-threaded CPython 3.13 (python3.13t, built once from the kept source and cached by
# tools/ft-python.sh): the README's test command, for the fast build and for the public build
# (no fast paths), each in a fresh virtual environment on its own copy of the checkout.  The GIL
# is left to the modules (no PYTHON_GIL): importing the registry must keep it off by itself, and
# that is checked before each suite.  The suite's threads stress runs on both builds.
# Both builds run even when the first fails, so one log tells about both.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
unset PYTHON_GIL PYTHONWARNINGS
defines=${SKBUILD_CMAKE_DEFINE:-MIRVAK_WERROR=ON}

python=$(bash tools/ft-python.sh ensure | tail -n 1)
failed=()

# The README's test command in a fresh virtual environment, after checking the GIL stays off.
# (Called as `suite ... || ...`, where errexit is off: every step says itself how it fails.)
suite() (
  local name=$1 copy="$work/src-$1" status=0
  export SKBUILD_CMAKE_DEFINE=$2
  mkdir "$copy" || return
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    (cd "$root" && xargs -0 cp --parents -t "$copy") || return
  cd "$copy" || return
  echo "=== free-threaded, $name build: $("$python" --version 2>&1)," \
    "SKBUILD_CMAKE_DEFINE=$SKBUILD_CMAKE_DEFINE"
  "$python" -m venv "$work/venv-$name" || return
  # shellcheck disable=SC1091
  source "$work/venv-$name/bin/activate" || return
  pip install -q ".[test]" || return
  python -W error::RuntimeWarning -c \
    'import mirvak.core.pluginmanager, sys; assert not sys._is_gil_enabled(), "the GIL is on"' ||
    { status=$?; echo "free-threaded: importing the registry turned the GIL on ($name build)"; }
  python -m pytest -q || status=$?
  return "$status"
)

suite fast "$defines" || failed+=(fast)
suite public "$defines;MIRVAK_FAST_PATHS=OFF" || failed+=(public)
if [ "${#failed[@]}" -gt 0 ]; then
  echo "free-threaded: failed on the ${failed[*]} build"
  exit 1
fi
