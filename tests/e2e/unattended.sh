#!/usr/bin/env bash
# The tool run as a deployment system runs it, and the footprint check around that run. The
# shipped remove-voxtrel.cmd (the README's text), run by cmd /c on the whole agent staged as the
# demo stages it, with decoys, and a standard input that never ends: the run ends without
# waiting, its log is the exact transcript, every agent process is gone, nothing but the agent's
# footprint is removed, and the script's exit code is the footprint check's 0; a run of the tool
# after it changes nothing. The agent staged again, the script runs again while another process
# holds the first run's logs open for reading, sharing only reading: it writes new logs in a
# folder of its own and removes everything. All run among stand-ins named like the system's
# programs, beside them and in the current folder (first on PATH): none may run. A service the
# tool deletes while another process holds it stays until released. The check answers 1 on the
# staged machine, listing every part; each part's line is right when only that part is there;
# the decoys are never reported; and a query the platform refuses makes it answer 2 unless
# something is found.
source "$(dirname "$0")/lib.sh"
current="$E2E_DIR/current"
plant "$current"
plant "$E2E_DIR/bin"
starts="$E2E_DIR/starts.txt"
# among_stand_ins COMMAND...: COMMAND run from the current folder (Wine puts WINEPATH in front of
# PATH); a record from any stand-in is a planted program that ran elevated.
among_stand_ins() { (cd "$current" && WINEPATH=. VOXTREL_CHILD_RECORD="$(unix_to_windows "$starts")" "$@"); }
none_ran() { [ ! -e "$starts" ] || fail "a planted program ran: $(cat "$starts")"; }
FOOTPRINT="$E2E_DIR/bin/voxtrel-footprint.exe"
cp "$VOXTREL_FOOTPRINT_EXE" "$FOOTPRINT"
# The script as the package ships it, which the README shows line for line.
SCRIPT="$E2E_DIR/bin/remove-voxtrel.cmd"
cp "$VOXTREL_SOURCE_DIR/resources/remove-voxtrel.cmd" "$SCRIPT"
awk '/^<!-- remove-voxtrel.cmd -->$/ { found = 1; next }
  found && /^```$/ { if (inside) exit; inside = 1; next }
  inside' "$VOXTREL_SOURCE_DIR/README.md" >"$E2E_DIR/readme-script.txt"
grep -q voxtrel-footprint.exe "$E2E_DIR/readme-script.txt" || fail "no script in the README"
tr -d '\r' <"$SCRIPT" | diff "$E2E_DIR/readme-script.txt" - ||
  fail "the README does not show resources/remove-voxtrel.cmd as it is"
LOGS="$drive_c/windows/voxtrel-force-remove-logs"
LOGS_MAY_DIFFER='windows/voxtrel-force-remove-logs(/|$)'
AGENT_PRODUCTS_LINE='uninstall entries named *Voxtrel*: present (Voxtrel Agent {5B0E1D2A-7C41-4E8B-9A63-2F1D0C9B8A01}; Voxtrel Agent Plugins {5B0E1D2A-7C41-4E8B-9A63-2F1D0C9B8A21}; Voxtrel Updater {5B0E1D2A-7C41-4E8B-9A63-2F1D0C9B8A11})'
ALL_ABSENT=("service VoxtrelAgent: absent" "processes voxtrel-agent.exe: absent"
  "uninstall entries named *Voxtrel*: absent" 'folder C:\Program Files\Voxtrel: absent'
  'folder C:\ProgramData\Voxtrel: absent' 'key HKLM\SOFTWARE\Voxtrel: absent'
  "leftovers voxtrel-agent.exe.old*: absent")

# normalized_footprint FILE: the check's lines with process ids as N and the leftovers sorted
# (a folder lists its entries in the file system's order).
normalized_footprint() {
  perl -pe 's/\d+/N/g if /^processes /;
    $_ = $1 . join("; ", sort split(/; /, $2)) . ")\n" if /^(leftovers [^:]*: present \()(.*)\)$/' "$1"
}

# expect_footprint CODE [INDEX LINE]...: the check run now exits with CODE and prints the
# all-absent lines with line INDEX (0 to 6) replaced by LINE, as normalized_footprint gives them.
# (A Unix exit status keeps a Windows exit code's low 8 bits only: 3010 arrives as 194.)
expect_footprint() {
  local want=$1 rc=0 expected=("${ALL_ABSENT[@]}")
  shift
  while [ $# -gt 0 ]; do expected[$1]=$2; shift 2; done
  timeout 60 wine "$FOOTPRINT" </dev/null >"$E2E_DIR/footprint.txt" 2>"$E2E_DIR/footprint.err" || rc=$?
  if [ "$rc" -ne $((want & 255)) ] || [ -s "$E2E_DIR/footprint.err" ] ||
    [ "$(normalized_footprint "$E2E_DIR/footprint.txt")" != "$(printf '%s\n' "${expected[@]}")" ]; then
    echo "--- footprint check, exit code $rc ---"; cat -A "$E2E_DIR/footprint.txt" "$E2E_DIR/footprint.err"
    echo "--- expected, exit code $want ---"; printf '%s\n' "${expected[@]}"
    fail "the footprint check's answer is wrong"
  fi
}

# run_script NAME: remove-voxtrel.cmd through cmd /d /c among the stand-ins, on the agent as
# stage_agent stages it, with a standard input that never ends; cmd's own output in NAME.txt. It
# must end with 0, having made one new folder in the log folder, named after the date and time
# and holding just the two logs: the full transcript and every part absent. $RUN_LOGS names it,
# $RUN_LOGS_WINDOWS as Windows does.
# (Wine's icacls, 8's and 10's, is a dummy that changes no access list and says so: its debug
# line shows what it was asked.)
run_script() {
  local before new rc=0
  before=$(ls "$LOGS" 2>/dev/null || true)
  [ -p "$E2E_DIR/never-ends" ] || mkfifo "$E2E_DIR/never-ends"
  exec 4<>"$E2E_DIR/never-ends"
  among_stand_ins env WINEDEBUG=-all,fixme+icacls timeout 120 wine 'C:\windows\system32\cmd.exe' /d /c \
    "$(unix_to_windows "$SCRIPT")" <&4 >"$E2E_DIR/$1.txt" 2>&1 || rc=$?
  exec 4>&-
  [ "$rc" -ne 124 ] || fail "the run waited for input"
  new=$(LC_ALL=C comm -13 <(LC_ALL=C sort <<<"$before") <(ls "$LOGS" | LC_ALL=C sort))
  [ "$rc" -eq 0 ] || fail "remove-voxtrel.cmd ended with $rc: $(cat "$E2E_DIR/$1.txt" "$LOGS/$new/"*)"
  local name_pattern='^[^\/:*?"<>| ]+_[^\/:*?"<>| ]+-[0-9]+$'
  [[ "$new" =~ $name_pattern ]] ||
    fail "not one new log folder named after the date and time: '$new'"
  RUN_LOGS="$LOGS/$new"
  [ "$(ls "$RUN_LOGS")" = "$(printf '%s\n' voxtrel-footprint.log voxtrel-force-remove.log)" ] ||
    fail "the run's log folder holds: $(ls "$RUN_LOGS")"
  RUN_LOGS_WINDOWS="C:\\windows\\voxtrel-force-remove-logs\\$new"
  tr -d '\r' <"$E2E_DIR/$1.txt" | grep -xF "Transcripts: \"$RUN_LOGS_WINDOWS\"" >/dev/null ||
    fail "the script did not say where the logs went: $(cat -A "$E2E_DIR/$1.txt")"
  local grants='"/inheritance:r" "/grant:r" "*S-1-5-18:(OI)(CI)F" "*S-1-5-32-544:(OI)(CI)F"'
  grep -F "\"C:\\\\windows\\\\voxtrel-force-remove-logs\" $grants" "$E2E_DIR/$1.txt" >/dev/null ||
    fail "icacls was not asked to protect the log folder: $(cat "$E2E_DIR/$1.txt")"
  cp "$RUN_LOGS/voxtrel-force-remove.log" "$TRANSCRIPT"
  expect_full
  [ -z "$(agent_processes)" ] || fail "agent processes still run: $(agent_processes)"
  none_ran
  [ "$(cat "$RUN_LOGS/voxtrel-footprint.log")" = "$(printf '%s\n' "${ALL_ABSENT[@]}")" ] ||
    fail "the footprint log: $(cat "$RUN_LOGS/voxtrel-footprint.log")"
}

stage_agent
leftovers=$(for f in "${AGENT_LEFTOVERS[@]}"; do printf 'C:\\%s\n' "${f//\//\\}"; done | LC_ALL=C sort |
  awk '{ printf "%s%s", (NR > 1 ? "; " : ""), $0 }')

echo "== the footprint check on the staged machine"
expect_footprint 1 0 "service VoxtrelAgent: present" \
  1 "processes voxtrel-agent.exe: present (process ids N; N)" 2 "$AGENT_PRODUCTS_LINE" \
  3 'folder C:\Program Files\Voxtrel: present' 4 'folder C:\ProgramData\Voxtrel: present' \
  5 'key HKLM\SOFTWARE\Voxtrel: present' 6 "leftovers voxtrel-agent.exe.old*: present ($leftovers)"

echo "== remove-voxtrel.cmd through cmd /c, input a pipe that never ends"
run_script first-run
first_logs=$RUN_LOGS
first_windows=$RUN_LOGS_WINDOWS
# The rest plants parts again: the machine is compared right after each run of the tool.
expect_only_agent_removed staged '' "$LOGS_MAY_DIFFER"
echo "== run again: the second run finds nothing and changes nothing"
among_stand_ins run_tool
expect_clean
none_ran
expect_only_agent_removed staged '' "$LOGS_MAY_DIFFER"

echo "== staged again, the first run's logs held open, reading shared only: the script still runs"
stage_agent
cp -r "$first_logs" "$E2E_DIR/first-logs"
hold --hold-reading "$first_windows\voxtrel-force-remove.log" --hold-reading "$first_windows\voxtrel-footprint.log"
# The hold is real: a writer of the same name, as the script's '>' was, is refused.
printf '@echo overwritten> "%s"\r\n' "$first_windows\voxtrel-footprint.log" >"$E2E_DIR/overwrite.cmd"
wine 'C:\windows\system32\cmd.exe' /d /c "$(unix_to_windows "$E2E_DIR/overwrite.cmd")" \
  >/dev/null 2>&1 </dev/null || true
run_script second-run
release_file
diff -r "$E2E_DIR/first-logs" "$first_logs" || fail "the first run's logs changed"
expect_only_agent_removed staged '' "$LOGS_MAY_DIFFER"

echo "== a service the tool deletes while another process holds it: there until released"
snapshot before-held-service
wine_system sc create "$AGENT_SERVICE" binPath= 'C:\nowhere\agent.exe' >/dev/null
hold --hold-service "$AGENT_SERVICE"
run_tool
expect_clean
# Kept as Windows keeps a service marked for deletion: still registered, and deleting it again
# fails (Windows says 1072, Wine's sc nothing).
service_exists "$AGENT_SERVICE" || fail "the held service is gone"
if wine_system sc delete "$AGENT_SERVICE" >/dev/null 2>&1; then
  fail "the held service was not marked for deletion"
fi
# Windows answers the check's query for it with ERROR_SERVICE_MARKED_FOR_DELETE: pending restart,
# 3010 (the unit tests give that answer). Wine 8 answers that query with success: present, 1.
if { timeout 60 wine "$FOOTPRINT" </dev/null 2>/dev/null || true; } |
  grep '^service VoxtrelAgent: pending restart' >/dev/null; then
  expect_footprint 3010 0 "service VoxtrelAgent: pending restart (marked for deletion)"
else
  expect_footprint 1 0 "service VoxtrelAgent: present"
fi
release_file
wait_until 30 eval '! service_exists "$AGENT_SERVICE"' || fail "the released service did not go"
expect_footprint 0
expect_only_agent_removed before-held-service

echo "== the decoys are there and not reported"
for key in 'HKLM\SOFTWARE\VoxtrelTools' 'HKLM\SOFTWARE\WOW6432Node\Voxtrel' \
  "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(product_guid "$DECOY_GUID_BASE" 0 1)"; do
  reg_exists "$key" || fail "the decoy $key is gone"
done
service_exists "$DECOY_SERVICE" || fail "the decoy service is gone"
for decoy in "${DECOY_FILES[@]}"; do [ -f "$drive_c/$decoy" ] || fail "the decoy $decoy is gone"; done
expect_footprint 0

echo "== each part alone"
wine_system sc create "$AGENT_SERVICE" binPath= 'C:\nowhere\agent.exe' >/dev/null
expect_footprint 1 0 "service VoxtrelAgent: present"
wine_system sc delete "$AGENT_SERVICE" >/dev/null

# In other letters: taskkill /IM matches the image name in any case.
stand_in_runs() { [ -n "$(prefix_processes 'VOXTREL-Agent')" ]; }
cp "$VOXTREL_TEST_CHILD" "$E2E_DIR/bin/VOXTREL-Agent.EXE"
wine "$E2E_DIR/bin/VOXTREL-Agent.EXE" --sleep 120000 </dev/null >/dev/null 2>&1 &
wait_until 30 stand_in_runs || fail "the stand-in did not start"
expect_footprint 1 1 "processes voxtrel-agent.exe: present (process ids N)"
kill $(prefix_processes 'VOXTREL-Agent')
wait_until 30 eval '! stand_in_runs' || fail "the stand-in did not end"

# An entry of the 32-bit list only, and not an installed product: the list is what counts.
legacy='HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\{00000000-0000-0000-0000-0000000000A1}'
wine_system reg add "$legacy" /v DisplayName /d "Legacy Voxtrel Updater" /f >/dev/null
expect_footprint 1 2 "uninstall entries named *Voxtrel*: present (Legacy Voxtrel Updater {00000000-0000-0000-0000-0000000000A1})"
wine_system reg delete "$legacy" /f >/dev/null

mkdir "$drive_c/Program Files/Voxtrel"
expect_footprint 1 3 'folder C:\Program Files\Voxtrel: present'
rmdir "$drive_c/Program Files/Voxtrel"
mkdir "$drive_c/ProgramData/Voxtrel"
expect_footprint 1 4 'folder C:\ProgramData\Voxtrel: present'
rmdir "$drive_c/ProgramData/Voxtrel"
wine_system reg add 'HKLM\SOFTWARE\Voxtrel' /f >/dev/null
expect_footprint 1 5 'key HKLM\SOFTWARE\Voxtrel: present'
wine_system reg delete 'HKLM\SOFTWARE\Voxtrel' /f >/dev/null
mkdir -p "$drive_c/ProgramData/Nested/deeper" && touch "$drive_c/ProgramData/Nested/deeper/voxtrel-agent.exe.old.7"
expect_footprint 1 6 'leftovers voxtrel-agent.exe.old*: present (C:\ProgramData\Nested\deeper\voxtrel-agent.exe.old.7)'

echo "== a key nobody may open: cannot tell, unless something is found, before it or after it"
wine "$VOXTREL_TEST_CHILD" --deny-key 'SOFTWARE\Voxtrel'
denied='key HKLM\SOFTWARE\Voxtrel: cannot tell (error 5: Access denied.)'
expect_footprint 1 5 "$denied" \
  6 'leftovers voxtrel-agent.exe.old*: present (C:\ProgramData\Nested\deeper\voxtrel-agent.exe.old.7)'
rm -r "$drive_c/ProgramData/Nested"
mkdir "$drive_c/ProgramData/Voxtrel"
expect_footprint 1 4 'folder C:\ProgramData\Voxtrel: present' 5 "$denied"
rmdir "$drive_c/ProgramData/Voxtrel"
expect_footprint 2 5 "$denied"
