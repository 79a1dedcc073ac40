#!/usr/bin/env bash
# The sanitizer and reference-leak checks on CPython 3.14, from the Debian unstable chroot
# (its g++ and sanitizer runtimes, and Debian's python3.14-dbg).
# shellcheck source=newest-common.bash
source "$(dirname "$0")/newest-common.bash"

echo "=== newest: sanitizers on python3.14"
MIRVAK_PYTHON=python3.14 in_chroot bash .ci/checks/sanitizers.sh
echo "=== newest: reference leaks on python3.14-dbg"
MIRVAK_DEBUG_PYTHON=python3.14-dbg in_chroot bash .ci/checks/refleaks.sh
