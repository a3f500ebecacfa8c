#!/usr/bin/env bash
# The tool run as a deployment system runs it, and the footprint check around that run. The
# README's remove-voxtrel.cmd, run by cmd /c on the whole agent staged as the demo stages it, with
# decoys, and a standard input that never ends: the run ends without waiting, its log is the exact
# transcript, every agent process is gone, nothing but the agent's footprint is removed, and the
# script's exit code is the footprint check's 0; a second run changes nothing. Both run among
# stand-ins named like the system's programs, beside them and in the current folder (first on
# PATH): none may run. The check answers 1 on the staged machine, listing every part; each part's
# line is right when only that part is there; the decoys are never reported; and a query the
# platform refuses makes it answer 2 unless something is found.
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
# The script exactly as the README gives it, with the line ends cmd expects.
awk '/^<!-- remove-voxtrel.cmd -->$/ { found = 1; next }
  found && /^```$/ { if (inside) exit; inside = 1; next }
  inside { printf "%s\r\n", $0 }' "$VOXTREL_SOURCE_DIR/README.md" >"$E2E_DIR/bin/remove-voxtrel.cmd"
grep -q voxtrel-footprint.exe "$E2E_DIR/bin/remove-voxtrel.cmd" || fail "no script in the README"
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
expect_footprint() {
  local want=$1 rc=0 expected=("${ALL_ABSENT[@]}")
  shift
  while [ $# -gt 0 ]; do expected[$1]=$2; shift 2; done
  timeout 60 wine "$FOOTPRINT" </dev/null >"$E2E_DIR/footprint.txt" 2>"$E2E_DIR/footprint.err" || rc=$?
  if [ "$rc" -ne "$want" ] || [ -s "$E2E_DIR/footprint.err" ] ||
    [ "$(normalized_footprint "$E2E_DIR/footprint.txt")" != "$(printf '%s\n' "${expected[@]}")" ]; then
    echo "--- footprint check, exit code $rc ---"; cat -A "$E2E_DIR/footprint.txt" "$E2E_DIR/footprint.err"
    echo "--- expected, exit code $want ---"; printf '%s\n' "${expected[@]}"
    fail "the footprint check's answer is wrong"
  fi
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
mkfifo "$E2E_DIR/never-ends"
exec 4<>"$E2E_DIR/never-ends"
rc=0
among_stand_ins timeout 120 wine 'C:\windows\system32\cmd.exe' /d /c \
  "$(unix_to_windows "$E2E_DIR/bin/remove-voxtrel.cmd")" <&4 >"$E2E_DIR/cmd.txt" 2>&1 || rc=$?
exec 4>&-
[ "$rc" -ne 124 ] || fail "the run waited for input"
[ "$rc" -eq 0 ] || fail "remove-voxtrel.cmd ended with $rc: $(cat "$E2E_DIR/cmd.txt" "$drive_c/windows/voxtrel-footprint.log")"
cp "$drive_c/windows/voxtrel-force-remove.log" "$TRANSCRIPT"
expect_full
[ -z "$(agent_processes)" ] || fail "agent processes still run: $(agent_processes)"
none_ran
[ "$(cat "$drive_c/windows/voxtrel-footprint.log")" = "$(printf '%s\n' "${ALL_ABSENT[@]}")" ] ||
  fail "the footprint log: $(cat "$drive_c/windows/voxtrel-footprint.log")"
# The rest plants parts again: the machine is compared right after each run of the tool.
expect_only_agent_removed staged '' 'windows/voxtrel-(force-remove|footprint)\.log'
echo "== run again: the second run finds nothing and changes nothing"
among_stand_ins run_tool
expect_clean
none_ran
expect_only_agent_removed staged '' 'windows/voxtrel-(force-remove|footprint)\.log'

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
