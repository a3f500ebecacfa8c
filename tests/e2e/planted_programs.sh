#!/usr/bin/env bash
# Programs named like the system's own (sc.exe, taskkill.exe, msiexec.exe, powershell.exe) lying
# beside the tool, as in a Downloads folder any user can write to, and in the current folder
# never run, even with the current folder first on PATH: the tool starts the system's own by full
# path. Each stand-in records its start, so any record at all is a planted program that ran
# elevated. With the whole agent staged, the steps are seen to work with the system's programs.
here=$(dirname "$0")
source "$here/lib.sh"

downloads="$E2E_DIR/Downloads"
current="$E2E_DIR/current"
clean="$E2E_DIR/clean"
planted_record="$E2E_DIR/planted-starts.txt"

# plant DIR: a recording stand-in under each system program's name in DIR.
plant() {
  mkdir -p "$1"
  local name
  for name in sc.exe taskkill.exe msiexec.exe powershell.exe; do
    cp "$VOXTREL_TEST_CHILD" "$1/$name"
  done
}
plant "$downloads"
plant "$current"
cp "$VOXTREL_EXE" "$downloads/voxtrel-force-remove.exe"
mkdir -p "$clean"
cp "$VOXTREL_EXE" "$clean/voxtrel-force-remove.exe"
# Wine puts WINEPATH in front of the PATH its programs see.
export WINEPATH=.

# expect_no_planted_start: no stand-in wrote a record.
expect_no_planted_start() {
  [ -e "$planted_record" ] && fail "a planted program ran: $(cat "$planted_record")"
  return 0
}

stage_agent
snapshot staged

echo "== elevated, started from Downloads in a folder of stand-ins: the steps use the system's programs"
# On the running wineserver: the staged service and processes must still be running.
pushd "$current" >/dev/null
TOOL_RC=0
printf '\n' | VOXTREL_CHILD_RECORD="$(unix_to_windows "$planted_record")" timeout 300 \
  wine "$downloads/voxtrel-force-remove.exe" >"$TRANSCRIPT" 2>"$TOOL_ERRORS" || TOOL_RC=$?
popd >/dev/null
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_no_planted_start
expect_transcript "$here/full-machine.txt"
service_exists "$AGENT_SERVICE" && fail "the service is still registered"
[ -z "$(agent_processes)" ] || fail "agent processes still run: $(agent_processes)"
snapshot cleaned
expect_only_agent_removed staged cleaned

# The relaunch: the system's PowerShell is a stand-in too. Every stand-in records to the same
# file now; the image line tells which file ran.
system_record="$E2E_DIR/system-powershell.txt"
powershell_windows="$SYSTEM_DIR_WINDOWS\\${SYSTEM_POWERSHELL//\//\\}"
cp "$VOXTREL_TEST_CHILD" "$SYSTEM_DIR/$SYSTEM_POWERSHELL"

# relaunch_from TOOL: runs TOOL not elevated from the current folder; only the system's
# PowerShell may record the relaunch, once.
relaunch_from() {
  pushd "$current" >/dev/null
  run_fresh "$1" "$NOT_ADMIN_OVERRIDES" "$system_record" limited
  popd >/dev/null
  [ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
  grep -q '^\[INFO\] Not running as administrator' "$TRANSCRIPT" || fail "no information line"
  wait_for_record "$system_record"
  local images
  images=$(grep '^image=' "$system_record")
  [ "$images" = "image=$powershell_windows" ] || fail "PowerShell started from [$images]"
  grep -q "^command_line=\"$(printf '%s' "$powershell_windows" | sed 's/\\/\\\\/g')\" -Command " \
    "$system_record" || fail "the command line does not name the system's PowerShell: $(cat "$system_record")"
  rm "$system_record"
}

echo "== not elevated, tool in a clean folder, stand-ins in the current folder (first on PATH)"
relaunch_from "$clean/voxtrel-force-remove.exe"

echo "== not elevated, started from Downloads among the stand-ins"
relaunch_from "$downloads/voxtrel-force-remove.exe"
echo "PASS"
