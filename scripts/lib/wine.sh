# Shared Wine set-up for the project's scripts (sourced, not run). Every use gets a prefix of its
# own; Mono and Gecko are switched off so that no installer prompt appears.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# wine_boot_prefix DIR: creates and boots a prefix, then waits for its wineserver to exit so the
# prefix's registry is on disk and the folder can be copied.
wine_boot_prefix() {
  mkdir -p "$1"
  WINEPREFIX="$1" wineboot -i >/dev/null 2>&1
  WINEPREFIX="$1" wineserver -w
}

# wine_copy_prefix FROM TO: a booted prefix is copied much faster than a new one boots.
wine_copy_prefix() {
  rm -rf "$2"
  cp -a "$1" "$2"
}

# wine_start_prefix DIR: starts DIR's wineserver to stay up until wine_stop_prefix, and boots the
# prefix's session (services, devices) in it with the caller's environment. Debian's wineserver
# wrapper (Debian 12's for Wine 8 and 13's for Wine 10 alike) starts every server with -p0, so a prefix's server otherwise begins to shut down the
# moment its last program ends: the next `wine` a script runs then races with services.exe and
# the other system processes being told to quit, or lands in a new server that has lost what
# lived only in memory, such as the security of a registry key (Wine does not save it).
# The server gets no standard streams of the caller's: it outlives the command, and a pipe it
# held open (a command substitution's, CTest's) would not end before it.
wine_start_prefix() {
  WINEPREFIX="$1" wineserver -p </dev/null >/dev/null 2>&1
  WINEPREFIX="$1" wine_system cmd /c exit >/dev/null 2>&1
}

# wine_system PROGRAM [ARGUMENTS...]: runs one of the prefix's own programs (reg, sc, msiexec,
# cmd, regedit) by its full Windows path. Given a bare name, wine (8 and 10) runs "start.exe /exec
# PROGRAM", and start.exe starts the program as a second process through ShellExecuteEx. About
# one such start in a thousand failed (seen under Wine 8; likely the loader's heap landing where
# Wine maps shared memory: see fixed-layout.sh): the program ends before it has started, and
# start.exe exits with 1, printing "ShellExecuteEx failed: Internal error" or nothing, which a
# caller cannot tell from the program's own failure. Named by its path, the program is the one
# process wine starts.
wine_system() {
  local folder='C:\windows\system32'
  [ "$1" = regedit ] && folder='C:\windows'
  wine "$folder\\$1.exe" "${@:2}"
}

# wait_until SECONDS COMMAND...: runs COMMAND every tenth of a second until it succeeds (status
# 0) or SECONDS have passed (status 1).
wait_until() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    ((--tries > 0)) || return 1
    sleep 0.1
  done
}

# prefix_processes REGEX: the ids of the live processes of the prefix (WINEPREFIX) whose command
# line matches REGEX (Wine 8's tasklist lists nothing, so they are found from the Unix side;
# Wine 10's lists processes, without their prefix's environment).
prefix_processes() {
  local pid
  for pid in $(pgrep -f "$1" || true); do
    [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1 || true)" = Z ] && continue
    grep -zqxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && echo "$pid"
  done
  return 0
}

# service_running NAME: whether the prefix's service NAME reports RUNNING.
service_running() { wine_system sc query "$1" 2>/dev/null | grep RUNNING >/dev/null; }

# wine_stop_prefix DIR: ends the prefix's wineserver and every process in it.
wine_stop_prefix() {
  WINEPREFIX="$1" wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$1" wineserver -w >/dev/null 2>&1 || true
}

# unix_to_windows PATH: the Z: form Wine gives a Unix path.
unix_to_windows() {
  printf 'Z:%s' "${1//\//\\}"
}
