#!/usr/bin/env bash
# The run sequence end to end. The final read ends the run whatever standard input is (a pipe that
# gives Enter is every other run's): exit code 0, the whole transcript, no wait. Agent processes
# from the program folder (one started with --console, one that found no service control manager)
# are killed by step 3, so step 5 can remove the folder, which Wine, like Windows, refuses while
# the image runs (Wine 10's taskkill ends one of them a run: there the other's image keeps it).
# The running service stopped, then a two-second pause before step 1 ends; service and key
# really deleted, a refused key deletion reported, a broken standard output ending the run.
source "$(dirname "$0")/lib.sh"
key_absent='      Not found, skipping HKLM\SOFTWARE\Voxtrel.'

echo "== standard input a pipe that ends without data, then none at all"
run_tool ""
expect_clean
timeout 300 wine "$TOOL" <&- >"$TRANSCRIPT" 2>"$TOOL_ERRORS"
expect_clean

echo "== agent processes running from the program folder"
# Whether this platform's taskkill /F /IM ends every process of the name, as Windows' does: two
# stand-ins under a name of their own. Wine 10's ends only the first it finds in each run.
probe_image="$E2E_DIR/bin/kill-probe.exe"
cp "$VOXTREL_TEST_CHILD" "$probe_image"
for i in 1 2; do (wine "$probe_image" --sleep 120000 </dev/null >/dev/null 2>&1 &); done
two_probes() { [ "$(prefix_processes 'kill-probe\.exe' | wc -l)" -eq 2 ]; }
wait_until 30 two_probes || fail "the two kill probes did not start"
wine_system taskkill /F /IM kill-probe.exe >/dev/null 2>&1 || true
no_probe() { [ -z "$(prefix_processes 'kill-probe\.exe')" ]; }
kills_all=yes
wait_until 5 no_probe || kills_all=
if [ -z "$kills_all" ]; then
  wine_system taskkill /F /IM kill-probe.exe >/dev/null 2>&1 || true
  wait_until 30 no_probe || fail "the second kill probe did not end"
fi
program="$drive_c/Program Files/Voxtrel"
mkdir -p "$program"; cp "$VOXTREL_AGENT_EXE" "$program/voxtrel-agent.exe"
(wine "$AGENT_IMAGE" --console </dev/null >/dev/null 2>&1 &)
(wine "$AGENT_IMAGE" </dev/null >/dev/null 2>&1 &)
two_agents() { [ "$(agent_processes | wc -l)" -eq 2 ]; }
wait_until 10 two_agents || fail "the two agent processes did not start"
wine_system cmd /c del "$AGENT_IMAGE" >/dev/null 2>&1 || true
[ -f "$program/voxtrel-agent.exe" ] || fail "a running image could be deleted: the scenario shows nothing"
run_tool
if [ -n "$kills_all" ]; then
  expect_clean '      Not found, skipping: C:\Program Files\Voxtrel' '      Removed: C:\Program Files\Voxtrel'
  [ -z "$(agent_processes)" ] || fail "agent processes still run: $(agent_processes)"
else
  # One agent outlives step 3, and its running image keeps step 5 from removing the folder.
  expect_clean '      Not found, skipping: C:\Program Files\Voxtrel' '      Failed to remove: C:\Program Files\Voxtrel'
  [ "$(agent_processes | wc -l)" -eq 1 ] || fail "not one agent process left: $(agent_processes)"
  [ -f "$program/voxtrel-agent.exe" ] || fail "the running image went"
  wine_system taskkill /F /IM voxtrel-agent.exe >/dev/null 2>&1
  wait_until 30 eval '[ -z "$(agent_processes)" ]' || fail "the last agent did not end"
  rm -r "$program"
fi

echo "== running service and product key staged: step 1 stops the service and pauses, steps 2 and 7 delete"
mkdir -p "$drive_c/agent"; cp "$VOXTREL_AGENT_EXE" "$drive_c/agent/voxtrel-agent.exe"
controls="$E2E_DIR/controls.txt"
wine_system sc create VoxtrelAgent \
  binPath= "C:\\agent\\voxtrel-agent.exe --record-controls $(unix_to_windows "$controls")" >/dev/null
wine_system sc start VoxtrelAgent >/dev/null
wait_until 10 service_running VoxtrelAgent || fail "staging: the service does not run"
wine_system reg add 'HKLM\SOFTWARE\Voxtrel\Agent\Settings' /v Level /t REG_DWORD /d 3 /f >/dev/null
wine_system reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null
wine_system reg add 'HKLM\SOFTWARE\VoxtrelTools' /v Keep /d yes /f >/dev/null
# Each line of the transcript stamped (seconds since 1970) as it arrives.
printf '\n' | timeout 300 wine "$TOOL" 2>"$TOOL_ERRORS" |
  perl -MTime::HiRes=time -ne '$| = 1; printf "%.3f %s", time, $_' >"$TRANSCRIPT.stamped"
sed 's/^[0-9.]* //' "$TRANSCRIPT.stamped" >"$TRANSCRIPT"
# The stop control, then at least two seconds before step 1's Done line.
stop_ms=$(sed -n 's/^control=1 time_ms=//p' "$controls" 2>/dev/null | head -n 1 || true)
[ -n "$stop_ms" ] || fail "step 1 sent no stop control: $(cat "$controls" 2>/dev/null)"
pause=$(awk -v stop="$stop_ms" '/\[1\/8\]/ { step = 1 }
  step && substr($0, index($0, " ") + 1) == "      Done." { printf "%.3f", $1 - stop / 1000; exit }' "$TRANSCRIPT.stamped")
awk -v pause="$pause" 'BEGIN { print "step 1 ended " pause " s after the stop control"; exit !(pause >= 2) }' ||
  fail "step 1 ended less than 2 s after the stop"
expect_clean "$key_absent" '      Removed HKLM\SOFTWARE\Voxtrel.'
service_exists VoxtrelAgent && fail "the service is still registered"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "the product key is still there"
reg_exists 'HKLM\SOFTWARE\VoxtrelTools' || fail "a neighbouring key was deleted"

echo "== standard output broken: fail-fast before any later step"
wine_system reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d x /f >/dev/null
mkfifo "$E2E_DIR/stdout.fifo"
timeout 120 wine "$TOOL" >"$E2E_DIR/stdout.fifo" 2>"$TOOL_ERRORS" </dev/null &
tool_pid=$!
exec 3<"$E2E_DIR/stdout.fifo" 3<&-
wait "$tool_pid" && status=0 || status=$?
# 0xC0000409 (STATUS_STACK_BUFFER_OVERRUN, what __fastfail raises) seen through Wine's low byte.
((status == 9)) || fail "expected the fail-fast status, got $status"
[ "$(wc -l <"$TOOL_ERRORS")" -eq 1 ] && grep -q '^failed printing to stdout: ' "$TOOL_ERRORS" ||
  fail "standard error must carry one diagnostic line: $(cat "$TOOL_ERRORS")"
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "step 7 ran after standard output broke"

echo "== a product key whose deletion is refused is reported as such, not as absent"
wine "$VOXTREL_TEST_CHILD" --deny-key 'SOFTWARE\Voxtrel\Locked'
run_tool
expect_clean "$key_absent" '      Failed to remove HKLM\SOFTWARE\Voxtrel.'
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "the refused key is gone"
expect_only_agent_removed start '' 'agent(/|$)|HKEY_LOCAL_MACHINE\\Software\\Voxtrel(Tools)?(\\|\||$)'
