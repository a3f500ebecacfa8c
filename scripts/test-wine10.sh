#!/usr/bin/env bash
# The test command again under Debian 13 (trixie) and its Wine 10, which takes the extended
# disposition that Wine 8 refuses. Needs root (debootstrap, chroot, mount).
#
#   bash scripts/test-wine10.sh              scripts/test.sh, then the Windows test bundle
#                                            (scripts/package-tests.sh, scripts/run-test-bundle.sh)
#   bash scripts/test-wine10.sh --run CMD... CMD in the checkout's copy, for example
#                                            --run bash scripts/test.sh -R e2e_folders, or
#                                            --run bash scripts/bench.sh 100000
#
# The root is built once with debootstrap (minbase, from the Debian archive this machine's apt
# uses), with what scripts/install-deps.sh installs, and kept in build/wine10-root; it is built
# again only when that package list (or the suite, variant or archive) changes. Each run copies the
# checkout's files (tracked and untracked, not ignored) into /voxtrel in the root, whose own build/
# stays between runs, so the host's build/ is never touched. /proc, /dev, /dev/pts, /dev/shm and
# /sys are mounted for the run and unmounted after it, whatever ends it. The first line printed is
# the root's Wine version; the build of the root logs to build/wine10-root.log.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd -P)

suite=trixie
variant=minbase
root=$checkout/build/wine10-root
log=$checkout/build/wine10-root.log
stamp=etc/voxtrel-root-packages  # in the root: what it was built from
inside=/voxtrel

if [ "$(id -u)" -ne 0 ]; then
  echo "test-wine10: needs root (debootstrap, chroot and mount)" >&2
  exit 1
fi
command=(bash -c 'bash scripts/test.sh && bash scripts/package-tests.sh && bash scripts/run-test-bundle.sh')
if [ "${1:-}" = --run ]; then
  shift
  (($#)) || { echo "test-wine10: --run needs a command" >&2; exit 2; }
  command=("$@")
elif (($#)); then
  sed -n '4,9p' "$0" >&2
  exit 2
fi

# The archive of this machine's Debian packages (its first non-security source), where the root's
# packages come from too.
debian_archive() {
  local uri=
  [ -f /etc/apt/sources.list.d/debian.sources ] && uri=$(awk -v RS= '
    /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ && !/-security/ && match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/) {
      uri = substr($0, RSTART, RLENGTH); sub(/^\n?URIs:[ \t]*/, "", uri); print uri; exit
    }' /etc/apt/sources.list.d/debian.sources)
  [ -n "$uri" ] || [ ! -f /etc/apt/sources.list ] ||
    uri=$(awk '$1 == "deb" && !/security/ { print ($2 ~ /^\[/ ? $3 : $2); exit }' /etc/apt/sources.list)
  echo "${uri:-http://deb.debian.org/debian}"
}
archive=$(debian_archive)
wanted=$(printf 'suite %s\nvariant %s\narchive %s\n' "$suite" "$variant" "$archive"
  scripts/install-deps.sh --list)

# --- Mounts: recorded as they are made, undone in reverse order on any exit.
mounted=()
mount_into() { # mount_into ROOT
  local target
  mount -t proc proc "$1/proc"
  mounted+=("$1/proc")
  for target in /dev /dev/pts; do
    mount --bind "$target" "$1$target"
    mounted+=("$1$target")
    # Mounts under the root must never reach the host's /dev, whatever its propagation.
    mount --make-private "$1$target"
  done
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$1/dev/shm"
  mounted+=("$1/dev/shm")
  mount -t sysfs -o ro sysfs "$1/sys"
  mounted+=("$1/sys")
}
# Processes left in the root (a wineserver of an interrupted run) would keep its mounts busy: they
# are this script's, found by their root directory.
stop_root_processes() { # stop_root_processes ROOT
  local entry pids=()
  for entry in /proc/[0-9]*; do
    [ "$(readlink "$entry/root" 2>/dev/null)" = "$1" ] && pids+=("${entry#/proc/}")
  done
  ((${#pids[@]} == 0)) || kill -KILL "${pids[@]}" 2>/dev/null || true
}
unmount_all() {
  local i
  ((${#mounted[@]})) || return 0
  stop_root_processes "$(dirname "${mounted[0]}")"
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
      echo "test-wine10: could not unmount ${mounted[i]}" >&2
  done
  mounted=()
}
building=
on_exit() {
  local status=$?
  unmount_all
  if [ -n "$building" ] && ((status)); then
    tail -n 40 "$log" >&2
    echo "test-wine10: building the Debian 13 root failed (whole log: $log)" >&2
  fi
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# remove_tree DIR: DIR and everything in it, refusing if anything is mounted inside it.
remove_tree() {
  [ -e "$1" ] || return 0
  if findmnt -rn -o TARGET | grep -qF "$1/"; then
    echo "test-wine10: something is still mounted under $1; not removing it" >&2
    return 1
  fi
  rm -rf --one-file-system "$1"
}

chroot_run() { # chroot_run ROOT COMMAND...: COMMAND in ROOT with a clean environment
  local root_dir=$1 variables=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    HOME=/root LANG=C.UTF-8 "TERM=${TERM:-dumb}" XDG_RUNTIME_DIR=/run/user/0)
  shift
  [ -z "${CI:-}" ] || variables+=("CI=$CI")
  [ -z "${SOURCE_DATE_EPOCH:-}" ] || variables+=("SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH")
  while IFS= read -r variable; do variables+=("$variable"); done < <(env | grep '^VOXTREL_' || true)
  chroot "$root_dir" /usr/bin/env -i "${variables[@]}" "$@"
}

# build_root: a new root in ROOT.partial, which replaces the old one only once complete.
build_root() {
  local partial=$root.partial
  remove_tree "$partial"
  scripts/install-deps.sh debootstrap
  debootstrap --variant="$variant" "$suite" "$partial" "$archive"
  cp scripts/install-deps.sh "$partial/tmp/install-deps.sh"
  mount_into "$partial"
  chroot_run "$partial" bash /tmp/install-deps.sh
  chroot_run "$partial" apt-get clean
  unmount_all
  rm "$partial/tmp/install-deps.sh"
  printf '%s\n' "$wanted" >"$partial/$stamp"
  remove_tree "$root"
  mv "$partial" "$root"
}

mkdir -p build
started=$SECONDS
if [ "$(cat "$root/$stamp" 2>/dev/null)" = "$wanted" ]; then
  root_line="Debian 13 root: reused ($root)"
else
  building=yes
  build_root >"$log" 2>&1
  building=
  root_line="Debian 13 root: built in $((SECONDS - started)) s ($root, log $log)"
fi

# The checkout's files into the root; the copy's build outputs stay, so builds are incremental
# (tar keeps the times of unchanged files).
mkdir -p "$root$inside"
find "$root$inside" -mindepth 1 -maxdepth 1 ! -name build ! -name dist -exec rm -rf {} +
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
  if [ -e "$file" ]; then printf '%s\0' "$file"; fi
done | tar --null -T - -cf - | tar -C "$root$inside" -xf -
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

# Wine 10's display drivers print an error on every start without a runtime folder, as a
# desktop session has.
mkdir -p -m 0700 "$root/run/user/0"
mount_into "$root"
chroot_run "$root" wine --version 2>/dev/null  # (Wine finds its own files through /proc)
echo "$root_line"
started=$SECONDS
status=0
chroot_run "$root" bash -c "cd $inside && exec \"\$@\"" command "${command[@]}" || status=$?
echo "Under $(chroot_run "$root" wine --version 2>/dev/null): exit $status after $((SECONDS - started)) s"
exit "$status"
