#!/usr/bin/env bash
# CPython 3.14 and 3.15 from a Debian unstable chroot: the README's test command with warnings
# as errors on both, and the public build (no fast paths) on 3.14.  The sanitizer and
# reference-leak checks on 3.14 are newest-reliability.sh, a job of their own.
# shellcheck source=newest-common.bash
source "$(dirname "$0")/newest-common.bash"

# The README's test command in a fresh virtual environment.
suite() {
  local python=$1
  echo "=== newest: $python, SKBUILD_CMAKE_DEFINE=$SKBUILD_CMAKE_DEFINE"
  in_chroot /bin/bash -euo pipefail -c '
    "$1" --version
    "$1" -m venv /tmp/venv
    . /tmp/venv/bin/activate
    pip install -q ".[test]" && python -m pytest -q' suite "$python"
}

SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON" suite python3.14
SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON" suite python3.15
SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON;MIRVAK_FAST_PATHS=OFF" suite python3.14
