#!/usr/bin/env bash
# A cached Debian unstable chroot holding CPython 3.14 and 3.15 (release and debug builds),
# which Debian 12 does not ship.
#
#   tools/sid-chroot.sh ensure             build the chroot unless a complete one is cached
#   tools/sid-chroot.sh run DIR -- CMD...  run CMD inside it, with DIR bind-mounted at /src
#                                          (CMD starts in /src)
#
# Needs root.  `run` mounts /proc, /dev and a fresh /tmp in a private mount namespace only,
# over a writable overlay of the cache: nothing stays mounted when CMD ends, whatever CMD
# changes outside /src is thrown away with the overlay, and so the cache can be copied or
# deleted at any time no command is running and serves several commands at once.
set -euo pipefail

root=${MIRVAK_SID_CHROOT:-/var/cache/mirvak/sid-chroot}
mirror=${MIRVAK_SID_MIRROR:-http://deb.debian.org/debian}
stamp=.mirvak-complete
packages=(
  python3.14-dev python3.14-venv python3.14-dbg
  python3.15-dev python3.15-venv python3.15-dbg
  g++ cmake make git ca-certificates binutils
)

die() { echo "sid-chroot: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root"

# pip's settings from the host that mean the same inside the chroot; per-user files point at
# local wheel directories that only serve the host's interpreters.
pip_config_files=(/etc/pip.conf /etc/xdg/pip)

copy_host_settings() {
  local target=$1 file
  # Extra certificate authorities (an intercepting egress, for one) have to be trusted inside
  # as well; update-ca-certificates rebuilds the bundle from Debian's set plus these.
  if compgen -G '/usr/local/share/ca-certificates/*' >/dev/null; then
    mkdir -p "$target/usr/local/share/ca-certificates"
    cp -r /usr/local/share/ca-certificates/. "$target/usr/local/share/ca-certificates/"
    # (Its rehash step warns about the bundle file itself, as on any Debian.)
    chroot "$target" update-ca-certificates >/dev/null 2>&1
  fi
  # The host's bundle may hold authorities added some other way: keep every one it has.
  if [ -s /etc/ssl/certs/ca-certificates.crt ]; then
    cat /etc/ssl/certs/ca-certificates.crt "$target/etc/ssl/certs/ca-certificates.crt" \
      | awk '/-----BEGIN CERTIFICATE-----/{c=""} {c=c $0 "\n"} /-----END CERTIFICATE-----/{if(!seen[c]++) printf "%s", c}' \
      >"$target/etc/ssl/certs/ca-certificates.crt.new"
    mv "$target/etc/ssl/certs/ca-certificates.crt.new" "$target/etc/ssl/certs/ca-certificates.crt"
  fi
  for file in "${pip_config_files[@]}"; do
    [ -e "$file" ] || continue
    mkdir -p "$target$(dirname "$file")"
    rm -rf "${target:?}$file"
    cp -r "$file" "$target$file"
  done
}

# Runs CMD chrooted in TARGET with /proc, /dev and /tmp mounted in a private mount namespace.
in_namespace() {
  local target=$1
  shift
  unshare --mount -- bash -euo pipefail -c '
    target=$1; shift
    mount --make-rprivate /
    mount -t proc proc "$target/proc"
    mount --rbind /dev "$target/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$target/tmp"
    exec chroot "$target" "$@"
  ' in-namespace "$target" "$@"
}

ensure() {
  # The stamp, written last, names what was installed: a changed list rebuilds too.
  complete() { [ "$(cat "$root/$stamp" 2>/dev/null)" = "${packages[*]}" ]; }
  complete && return 0
  mkdir -p "$(dirname "$root")"
  # Exclusive: waits for commands running in the old chroot, and holds new ones off.
  exec 9>>"$root.lock"
  flock 9
  complete && return 0
  if ! command -v debootstrap >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap zstd >/dev/null
  fi
  local new="$root.new"
  # Nothing is ever mounted under either (see below), so this cannot reach into the host.
  rm -rf --one-file-system "$new" "$root"
  echo "sid-chroot: bootstrapping Debian unstable into $root" >&2
  # debootstrap mounts /proc and /sys in the target, and may leave them there when it fails:
  # in a mount namespace of its own they go when it ends.
  unshare --mount -- sh -c 'mount --make-rprivate / && exec "$@"' sh \
    debootstrap --variant=minbase sid "$new" "$mirror" >"$new.log" 2>&1 ||
    { tail -n 30 "$new.log" >&2; die "debootstrap failed (log: $new.log)"; }
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  # The archive this machine reaches may be a dated copy whose Release files have expired,
  # which the host's apt is set to accept as well.
  echo 'Acquire::Check-Valid-Until "false";' >"$new/etc/apt/apt.conf.d/99mirvak-no-expiry"
  in_namespace "$new" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    sh -ec 'apt-get update -qq
            apt-get install -y -qq --no-install-recommends "$@" >/dev/null
            apt-get clean' sh "${packages[@]}"
  copy_host_settings "$new"
  local runtime
  for runtime in libasan.so libubsan.so; do
    chroot "$new" sh -c 'test -e "$(g++ -print-file-name="$1")"' sh "$runtime" ||
      die "no $runtime for the chroot's g++"
  done
  mv "$new" "$root"
  rm -f "$new.log"
  echo "${packages[*]}" >"$root/$stamp"
}

run() {
  [ $# -ge 3 ] && [ "$2" = -- ] || die "usage: $0 run DIR -- CMD..."
  local dir
  dir=$(realpath "$1")
  [ -d "$dir" ] || die "$1 is not a directory"
  shift 2
  [ -e "$root/$stamp" ] || die "no complete chroot at $root: run '$0 ensure' first"
  # Shared with other commands; a rebuild waits until none runs.
  exec 9>>"$root.lock"
  flock -s 9
  [ -e "$root/$stamp" ] || die "no complete chroot at $root: run '$0 ensure' first"

  # Only what a build and test run needs crosses over; pip's variables lose any local
  # path that the chroot does not have (the host's own wheel directories).
  local -a vars=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    LANG=C.UTF-8)
  local name value
  for name in $(compgen -e); do
    case $name in
      MIRVAK_SID_*) continue ;;
      CI | PIP_* | SKBUILD_* | MIRVAK_* | PYTHONHASHSEED | TERM) ;;
      *) continue ;;
    esac
    value=${!name}
    case $value in /*) [ -e "$root$value" ] || continue ;; esac
    vars+=("$name=$value")
  done

  local scratch
  scratch=$(mktemp -d /tmp/sid-chroot.XXXXXX)
  # The overlay's directories live on the host: the namespace's mounts go when it ends.
  mkdir "$scratch/upper" "$scratch/work" "$scratch/merged"
  local status=0
  unshare --mount -- bash -euo pipefail -c '
    lower=$1 scratch=$2 dir=$3; shift 3
    mount --make-rprivate /
    mount -t overlay overlay -o "lowerdir=$lower,upperdir=$scratch/upper,workdir=$scratch/work" \
      "$scratch/merged"
    target=$scratch/merged
    mkdir -p "$target/src"
    mount --bind "$dir" "$target/src"
    mount -t proc proc "$target/proc"
    mount --rbind /dev "$target/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$target/tmp"
    exec chroot "$target" /bin/sh -c "cd /src && exec \"\$@\"" sh "$@"
  ' in-namespace "$root" "$scratch" "$dir" env -i "${vars[@]}" "$@" || status=$?
  rm -rf --one-file-system "$scratch"
  return "$status"
}

case ${1:-} in
  ensure) ensure ;;
  run) shift; run "$@" ;;
  *) die "usage: $0 ensure | run DIR -- CMD..." ;;
esac
