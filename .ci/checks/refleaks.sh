#!/usr/bin/env bash
# Reference-leak check: the extension built for Debian's debug interpreter, and every in-process
# test run repeatedly while the interpreter's reference total and allocated block count are
# compared between runs (tools/refleak.py).  A test that grows either in every run fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
export PYTHONWARNINGS=ignore  # the debug interpreter shows pip's own resource warnings

if ! command -v python3-dbg >/dev/null 2>&1 || ! python3-dbg -c 'import ensurepip, venv' 2>/dev/null ||
  [ ! -e "$(python3-dbg -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-dbg python3-dev python3-venv >/dev/null
fi

python3-dbg -m venv "$work/venv"
"$work/venv/bin/pip" install -q scikit-build-core pytest hypothesis
# Debian's debug include directory links to the release headers, whose pyconfig.h does not
# define Py_DEBUG: without it the extension's reference counting would not be accounted.
SKBUILD_BUILD_DIR="$work/build" SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON;CMAKE_CXX_FLAGS=-DPy_DEBUG" \
  "$work/venv/bin/pip" install -q --no-build-isolation .
unset PYTHONWARNINGS
# The property test runs seven times here: a smaller share of steps keeps the check short.
MIRVAK_STATEFUL_STEPS=2000 "$work/venv/bin/python" tools/refleak.py -q -p no:cacheprovider
