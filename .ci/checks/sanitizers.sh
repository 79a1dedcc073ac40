#!/usr/bin/env bash
# Sanitizer check: the extension built with AddressSanitizer and UndefinedBehaviorSanitizer,
# the whole test suite run with the sanitizer runtimes preloaded into the interpreter.  Any
# report, in the test process or in a subprocess a test starts, fails the check.
# MIRVAK_PYTHON names the interpreter (default python3).
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1
python=${MIRVAK_PYTHON:-python3}

runtime() { g++ -print-file-name="$1" 2>/dev/null || true; }
if ! command -v g++ >/dev/null 2>&1 || [ ! -e "$(runtime libasan.so)" ] || [ ! -e "$(runtime libubsan.so)" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ libasan8 libubsan1 >/dev/null
fi
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)

echo "sanitizers: $("$python" --version 2>&1)"
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install -q scikit-build-core pytest hypothesis
SKBUILD_BUILD_DIR="$work/build" SKBUILD_CMAKE_DEFINE="MIRVAK_SANITIZE=ON;MIRVAK_WERROR=ON" \
  "$work/venv/bin/pip" install -q --no-build-isolation ".[test]"
extension=$("$work/venv/bin/python" -c \
  'import importlib.util; print(importlib.util.find_spec("mirvak.core.pluginmanager").origin)')
# grep reads the whole listing: with -q it would stop at the first match, nm would die of
# SIGPIPE, and pipefail would turn that into a failure.
if ! nm -D "$extension" | grep __asan_ >/dev/null; then
  echo "sanitizers: $extension was not built with AddressSanitizer" >&2
  exit 1
fi

# Reports go to files as well as failing the process: a subprocess whose failure a test
# expects must not hide one.  The interpreter itself leaks at exit, so leak detection is off.
mkdir "$work/reports"
status=0
env LD_PRELOAD="$asan $ubsan" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:log_path=$work/reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$work/reports/ubsan" \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider || status=$?
if compgen -G "$work/reports/*" >/dev/null; then
  cat "$work/reports"/* >&2
  echo "sanitizers: reports above" >&2
  exit 1
fi
exit "$status"
