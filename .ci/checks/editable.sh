#!/usr/bin/env bash
# Editable-install check: the suite against `pip install -e .`, where scikit-build-core's
# import hook serves mirvak from src/ and only the compiled module sits in site-packages.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1

python3 -m venv "$work/venv"
"$work/venv/bin/pip" install -q scikit-build-core pytest hypothesis mypy setuptools
"$work/venv/bin/pip" install -q --no-build-isolation --config-settings=build-dir="$work/build" \
  -e ".[test]"
# The install must really be editable, or this check proves nothing.
"$work/venv/bin/python" - <<'PYTHON'
import os, sys
import mirvak
source = os.path.abspath("src")
if not os.path.abspath(mirvak.__file__).startswith(source + os.sep):
    sys.exit(f"editable: mirvak imports from {mirvak.__file__}, not from {source}")
PYTHON
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider
