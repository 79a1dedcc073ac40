# Shared by the checks on CPython 3.14 and 3.15 (newest.sh, newest-reliability.sh), which
# Debian 12 lacks: they run in a Debian unstable chroot (tools/sid-chroot.sh), each command on
# its own fresh copy of the checkout.  Sourced, not run: .ci/run takes only *.sh as checks.
set -euo pipefail
shopt -s inherit_errexit  # a failing copy inside $(...) fails the check
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chroot_tool="$root/tools/sid-chroot.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# Both checks may start at once: the second waits for the first's build of the chroot.
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
