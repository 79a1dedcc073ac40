#!/usr/bin/env bash
# Reference-leak check: the extension built for Debian's debug interpreter, and every in-process
# test run repeatedly while the interpreter's reference total and allocated block count are
# compared between runs (tools/refleak.py).  A test that grows either in every run fails.
# MIRVAK_DEBUG_PYTHON names the debug interpreter (default Debian's python3-dbg).
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
export PYTHONWARNINGS=ignore  # the debug interpreter shows pip's own resource warnings

python=${MIRVAK_DEBUG_PYTHON:-python3-dbg}

usable() {
  command -v "$python" >/dev/null 2>&1 && "$python" -c 'import ensurepip, venv' 2>/dev/null &&
    [ -e "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]
}
if ! usable && [ "$python" = python3-dbg ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-dbg python3-dev python3-venv >/dev/null
fi
usable || { echo "refleaks: $python cannot build extensions in a virtual environment" >&2; exit 1; }

echo "refleaks: $("$python" --version 2>&1)"
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install -q scikit-build-core pytest hypothesis
# Debian 12's debug include directory links to the release headers, whose pyconfig.h does not
# define Py_DEBUG: without it the extension's reference counting would not be accounted.
# (Unstable's python3.14-dbg has a pyconfig.h of its own that defines it: the flag is harmless.)
SKBUILD_BUILD_DIR="$work/build" SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON;CMAKE_CXX_FLAGS=-DPy_DEBUG" \
  "$work/venv/bin/pip" install -q --no-build-isolation .
unset PYTHONWARNINGS
# The property test runs seven times here: a smaller share of steps keeps the check short.
MIRVAK_STATEFUL_STEPS=2000 "$work/venv/bin/python" tools/refleak.py -q -p no:cacheprovider
