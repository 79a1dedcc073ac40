#!/usr/bin/env bash
# CPython 3.14 and 3.15, which Debian 12 lacks, from a Debian unstable chroot
# (tools/sid-chroot.sh): the README's test command with warnings as errors on both, the
# public build (no fast paths) on 3.14, and the sanitizer and reference-leak checks on 3.14.
# Each run works on its own fresh copy of the checkout.
set -euo pipefail
shopt -s inherit_errexit  # a failing copy inside $(...) fails the check
cd "$(dirname "$0")/../.."
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chroot_tool="$root/tools/sid-chroot.sh"

bash "$chroot_tool" ensure

# Prints the path of a new copy of the checkout.
fresh_copy() {
  local copy
  copy=$(mktemp -d "$work/src.XXXXXX")
  if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard |
      (cd "$root" && xargs -0 cp --parents -t "$copy")
  else
    cp -a "$root/." "$copy"
  fi
  echo "$copy"
}

in_chroot() {
  local copy
  copy=$(fresh_copy) || return
  bash "$chroot_tool" run "$copy" -- "$@"
}

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

export PIP_DISABLE_PIP_VERSION_CHECK=1
SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON" suite python3.14
SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON" suite python3.15
SKBUILD_CMAKE_DEFINE="MIRVAK_WERROR=ON;MIRVAK_FAST_PATHS=OFF" suite python3.14
echo "=== newest: sanitizers on python3.14"
MIRVAK_PYTHON=python3.14 in_chroot bash .ci/checks/sanitizers.sh
echo "=== newest: reference leaks on python3.14-dbg"
MIRVAK_DEBUG_PYTHON=python3.14-dbg in_chroot bash .ci/checks/refleaks.sh
