# Snapshots of a Wine prefix's machine state, to prove that a run removed the agent's footprint
# and touched nothing else (sourced, not run). A snapshot is a sorted text file, one entry a line:
#   F <path>|<size>|<sha1>   a file under drive_c, path relative to drive_c ("D <path>" for a
#                            folder, "L <path> -> <target>" for a Unix symbolic link, not followed);
#   K <key>                  a registry key, and "V <key>|<value line>" for each of its values,
#                            as regedit exports them (continuation lines joined).
# Needs WINEPREFIX; regedit runs inside the prefix's wineserver (starting one if none runs).

# State that Wine itself rewrites on every start or every program run, whatever the tool does,
# is left out of every snapshot (found by snapshotting an untouched prefix before and after a
# restart of its wineserver, and a staged prefix before and after removing the agent by hand):
# - HKLM\System\CurrentControlSet\Control\Class and ...\Control\Video: the display driver's
#   entries, written again with a new date and a new adapter GUID at each start; and the same
#   driver's modes under ...\Hardware Profiles\Current\System\CurrentControlSet\Control\Video,
#   written again at each start too, by the desktop process after the start has returned, so that
#   a snapshot taken soon after a restart of the wineserver on a loaded machine finds them half
#   written (a value of them missing, seen once in 16 runs of the elevation gate scenario);
# - HKLM\System\CurrentControlSet\Control\ServiceCurrent: a counter the service control manager
#   raises each time it starts, that is each time the prefix's wineserver starts again;
# - HKLM\Hardware: what Wine finds on the machine at each start (Wine 10 writes each processor's
#   clock, ~MHz, anew; Windows, too, builds the key at each boot).
# Nothing under drive_c has needed leaving out. Wine 8's regedit exports the control set as
# CurrentControlSet, Wine 10's as ControlSet001 (CurrentControlSet being a link to it there).
export SNAPSHOT_VOLATILE_KEYS='^HKEY_LOCAL_MACHINE\\System\\(CurrentControlSet|ControlSet001)\\Control\\(Class|Video)(\\|$)'
SNAPSHOT_VOLATILE_KEYS+='|^HKEY_LOCAL_MACHINE\\System\\(CurrentControlSet|ControlSet001)\\Control\\ServiceCurrent(\\|$)'
SNAPSHOT_VOLATILE_KEYS+='|^HKEY_LOCAL_MACHINE\\Hardware(\\|$)'
SNAPSHOT_VOLATILE_KEYS+='|^HKEY_LOCAL_MACHINE\\System\\(CurrentControlSet|ControlSet001)\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Control\\Video(\\|$)'

# snapshot_files OUT: every path under drive_c with its size and content hash.
snapshot_files() {
  (
    cd "$WINEPREFIX/drive_c"
    find . -mindepth 1 -type d -printf 'D %P\n'
    find . -mindepth 1 -type l -printf 'L %P -> %l\n'
    # Sizes first, then the hashes of the same files, joined on the path.
    find . -mindepth 1 -type f -printf 'S %s %P\n'
    # sha1sum prints "<hash>  ./<path>".
    find . -mindepth 1 -type f -print0 | xargs -0 -r sha1sum --
  ) | awk '
    /^[DL] / { print; next }
    /^S / { size = $2; path = substr($0, length($1) + length($2) + 3); sizes[path] = size; next }
    { hash = $1; path = substr($0, length($1) + 5); print "F " path "|" sizes[path] "|" hash }
  ' | LC_ALL=C sort >"$1"
}

# snapshot_registry OUT: every key and value of HKEY_LOCAL_MACHINE and HKEY_USERS.
snapshot_registry() {
  local export_file
  export_file=$(mktemp "${TMPDIR:-/tmp}/voxtrel-registry.XXXXXX")
  wine_system regedit /E "$(unix_to_windows "$export_file")" >/dev/null 2>&1
  iconv -f UTF-16 -t UTF-8 "$export_file" | tr -d '\r' | awk '
    BEGIN { volatile = ENVIRON["SNAPSHOT_VOLATILE_KEYS"] }
    {
      line = $0
      if (pending != "") { sub(/^ +/, "", line); line = pending line; pending = "" }
      # A value line ending in a backslash goes on in the next line (long binary values).
      if (line ~ /\\$/ && line !~ /^\[/) { pending = substr(line, 1, length(line) - 1); next }
    }
    line ~ /^\[.*\]$/ {
      key = substr(line, 2, length(line) - 2); skip = key ~ volatile
      if (!skip) print "K " key
      next
    }
    line == "" || line ~ /^Windows Registry Editor/ { next }
    !skip { print "V " key "|" line }
  ' | LC_ALL=C sort >"$1"
  rm -f "$export_file"
}

# take_snapshot OUT: files and registry together.
take_snapshot() {
  snapshot_files "$1.files"
  snapshot_registry "$1.registry"
  cat "$1.files" "$1.registry" | LC_ALL=C sort >"$1"
  rm -f "$1.files" "$1.registry"
}

# snapshot_difference BEFORE AFTER EXPECTED_GONE [MAY_STAY [MAY_DIFFER]]: checks that going from
# snapshot BEFORE to snapshot AFTER removed exactly the entries listed in EXPECTED_GONE (a sorted
# subset of BEFORE) and changed or added nothing. Entries of EXPECTED_GONE that match the
# extended regular expression MAY_STAY are allowed to remain; entries whose path matches the
# extended regular expression MAY_DIFFER may go, change or appear. Prints every difference
# found, by kind, and returns non-zero if there is one.
snapshot_difference() {
  local before=$1 after=$2 expected=$3 may_stay=${4:-} may_differ=${5:-}
  local scratch status=0 kind
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/voxtrel-difference.XXXXXX")
  LC_ALL=C comm -23 "$before" "$after" >"$scratch/gone"
  LC_ALL=C comm -13 "$before" "$after" >"$scratch/new"
  LC_ALL=C comm -23 "$scratch/gone" "$expected" >"$scratch/wrongly-gone"
  LC_ALL=C comm -23 "$expected" "$scratch/gone" >"$scratch/still-there"
  if [ -n "$may_stay" ]; then
    grep -Ev -- "$may_stay" "$scratch/still-there" >"$scratch/still-there.checked" || true
    mv "$scratch/still-there.checked" "$scratch/still-there"
  fi
  if [ -n "$may_differ" ]; then
    for kind in new wrongly-gone; do
      grep -Ev -- "^[DFLKV] ($may_differ)" "$scratch/$kind" >"$scratch/$kind.checked" || true
      mv "$scratch/$kind.checked" "$scratch/$kind"
    done
  fi
  local title
  for kind in new wrongly-gone still-there; do
    case $kind in
      new) title="added or changed (nothing may be):" ;;
      wrongly-gone) title="removed but not the agent's:" ;;
      still-there) title="the agent's but still there:" ;;
    esac
    [ -s "$scratch/$kind" ] || continue
    status=1
    echo "$title $(wc -l <"$scratch/$kind") entries"
    head -n 40 "$scratch/$kind" | cut -c1-300 | sed 's/^/  /'
    [ "$(wc -l <"$scratch/$kind")" -le 40 ] || echo "  ..."
  done
  rm -rf "$scratch"
  return "$status"
}
