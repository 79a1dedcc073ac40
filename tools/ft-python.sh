#!/usr/bin/env bash
# A cached free-threaded CPython 3.13 (python3.13t), built from the source tarball kept in
# shared/interpreters/ (Debian 12 ships none).
#
#   tools/ft-python.sh ensure   build it unless a complete build is cached; prints the
#                               interpreter's path on the last line
#
# The cache is keyed by the tarball's SHA-256, so a new tarball builds anew beside the old one.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tarball=${MIRVAK_FT_SOURCE:-$here/../../shared/interpreters/python3.13_3.13.15.orig.tar.xz}
cache=${MIRVAK_FT_CACHE:-/var/cache/mirvak}
build_deps=(libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev)

die() { echo "ft-python: $*" >&2; exit 1; }

ensure() {
  [ -r "$tarball" ] || die "no CPython source at $tarball"
  local sum prefix lock
  sum=$(sha256sum "$tarball" | cut -c1-16)
  prefix=$cache/python3.13t-$sum
  mkdir -p "$cache"
  lock=$cache/.python3.13t.lock
  exec 9>"$lock"
  flock 9
  if [ ! -e "$prefix/.mirvak-complete" ]; then
    install_build_deps
    build "$prefix"
  fi
  flock -u 9
  echo "$prefix/bin/python3.13t"
}

install_build_deps() {
  local missing=() pkg
  for pkg in "${build_deps[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ "${#missing[@]}" = 0 ] && return 0
  [ "$(id -u)" = 0 ] || die "needs root to install ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

build() {
  local prefix=$1 work
  work=$(mktemp -d)
  rm -rf "$prefix"
  echo "ft-python: building a free-threaded CPython into $prefix" >&2
  tar -xJf "$tarball" -C "$work"
  (
    cd "$work"/Python-*/
    ./configure --disable-gil --prefix="$prefix" >"$work/configure.log" 2>&1 ||
      { tail -n 40 "$work/configure.log" >&2; exit 1; }
    make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
  ) || { rm -rf "$work"; return 1; }
  rm -rf "$work"
  "$prefix/bin/python3.13t" -c 'import sys; assert not sys._is_gil_enabled()'
  touch "$prefix/.mirvak-complete"
}

case "${1:-}" in
  ensure) ensure ;;
  *) die "usage: tools/ft-python.sh ensure" ;;
esac
