#!/usr/bin/env bash
# The elevation gate end to end. mountmgr.sys off on a fresh wineserver refuses \\.\PHYSICALDRIVE0
# (Wine otherwise opens it under any token), and the token is chosen by how the tool is started:
# Wine gives every process one token with the other linked to it, as Windows gives an
# administrator under UAC, and test_child --limited starts its program with the linked one.
# Wine 8 gives the full (elevated) token and links the limited one; Wine 10 gives the limited one
# and links the full one. Which start gives which is found here, and every run checks first, in
# the wineserver the tool then runs in, that the token and the disk are what it asks for (the
# test bundle's own probe of both). Together: a user without administrator rights, an elevated
# one, and each input alone. The disk refused to a full token must not relaunch. The system's
# powershell.exe is a stand-in recording the relaunch; those planted must never run.
source "$(dirname "$0")/lib.sh"
no_disk="$WINEDLLOVERRIDES;mountmgr.sys=d"
powershell='C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe'
cp "$VOXTREL_TEST_CHILD" "$drive_c/windows/system32/WindowsPowerShell/v1.0/powershell.exe"
current="$E2E_DIR/current"
plant "$current"
record="$E2E_DIR/starts.txt"
head -n 5 "$E2E_DIR/clean-machine.txt" >"$E2E_DIR/not-elevated.txt"
echo "[INFO] Not running as administrator. Re-launching elevated..." >>"$E2E_DIR/not-elevated.txt"
key_removed=('      Not found, skipping HKLM\SOFTWARE\Voxtrel.' '      Removed HKLM\SOFTWARE\Voxtrel.')
# Something a removal step would delete: it must survive every run that is not elevated.
wine_system reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null

# probe_rights OVERRIDES [LAUNCHER...]: what a program started by LAUNCHER gets, as the bundle's
# probe (elevation_gate_tests in its child mode) answers: 4, plus 1 if its token reads as elevated,
# plus 2 if the first physical disk opens.
probe_rights() {
  local rights=0
  WINEDLLOVERRIDES="$1" VOXTREL_TOKEN_CHILD=1 timeout 60 wine "${@:2}" "$(unix_to_windows "$VOXTREL_ELEVATION_GATE_TESTS")" \
    </dev/null >/dev/null 2>"$E2E_DIR/probe.err" || rights=$?
  echo "$rights"
}
# The conditions, as probe_rights answers them.
not_admin=4 elevated_disk_refused=5 limited_disk_opens=6 elevated=7
linked=("$VOXTREL_TEST_CHILD" --limited)
full_token=() limited_token=("${linked[@]}")  # Wine 8
if ((($(probe_rights "$WINEDLLOVERRIDES") & 1) == 0)); then
  full_token=("${linked[@]}") limited_token=()  # Wine 10
fi

# run_fresh TOOL OVERRIDES RIGHTS [LAUNCHER...]: TOOL run (by LAUNCHER) from the current folder on a
# wineserver booted with OVERRIDES (devices load at boot), once LAUNCHER is seen to give RIGHTS.
run_fresh() {
  rm -f "$record"
  wine_stop_prefix "$WINEPREFIX"
  WINEDLLOVERRIDES="$2" wine_start_prefix "$WINEPREFIX"
  local rights
  rights=$(probe_rights "$2" "${@:4}")
  ((rights == $3)) || fail "started so, a program gets $rights, not $3 (4, +1 elevated token, \
+2 the disk opens): $(cat "$E2E_DIR/probe.err")"
  local status=0
  (cd "$current" && printf '\n' | WINEDLLOVERRIDES="$2" WINEPATH=. VOXTREL_CHILD_RECORD="$(unix_to_windows "$record")" \
    timeout 300 wine "${@:4}" "$(unix_to_windows "$1")" >"$TRANSCRIPT" 2>"$TOOL_ERRORS") || status=$?
  ((status == 0)) || fail "the run ended with $status; standard error: $(cat "$TOOL_ERRORS"); \
the transcript: $(cat "$TRANSCRIPT")"
}

# expect_relaunch TOOL: the transcript is the banner and the information line only, and the
# system's PowerShell alone was started, once, to run TOOL elevated, in the system directory (not
# the current folder, which holds stand-ins).
expect_relaunch() {
  cmp -s "$TRANSCRIPT" "$E2E_DIR/not-elevated.txt" ||
    { cat -A "$TRANSCRIPT"; fail "not the banner and the information line alone"; }
  [ -s "$TOOL_ERRORS" ] && fail "standard error is not empty: $(cat "$TOOL_ERRORS")"
  # The relaunch is detached: it may still be starting when the tool has ended.
  wait_until 20 grep -qs '^pid=' "$record" || fail "no start was recorded within 20 s"
  local got expected="command_line=\"powershell\" -Command \"Start-Process '$1' -Verb RunAs\""
  got=$(grep '^command_line=\|^image=' "$record" 2>/dev/null || true)
  [ "$got" = "$expected"$'\n'"image=$powershell" ] || fail "started [$got], not [$expected] once"
  got=$(grep '^cwd=' "$record" 2>/dev/null || true)
  [ "$got" = 'cwd=C:\windows\system32' ] || fail "PowerShell started in [$got], not the system directory"
}

# expect_no_relaunch [LINE NEW]: the eight steps ran (expect_clean), and no stand-in recorded a
# start. A relaunch is started before the tool ends and records its start before it ends itself:
# once no PowerShell runs in the prefix, any relaunch is on record. (The prefix's wineserver is
# persistent, so `wineserver -w` would wait for ever.)
expect_no_relaunch() {
  expect_clean "$@"
  no_powershell() { [ -z "$(prefix_processes 'powershell\.exe')" ]; }
  wait_until 30 no_powershell || fail "a PowerShell still runs 30 s after the tool ended"
  [ ! -e "$record" ] || fail "a stand-in was started: $(cat "$record")"
}

# Folder names that must not end PowerShell's single-quoted string early, and how they appear
# inside it: every ' ‘ ’ ‚ ‛ doubled.
folders=("with blanks" "it's here" "it’s ‘typographic’ here" "a'; Remove-Item x; '")
literals=("with blanks" "it''s here" "it’’s ‘‘typographic’’ here" "a''; Remove-Item x; ''")
for i in "${!folders[@]}"; do
  folder="$E2E_DIR/gate $i/${folders[i]}"
  echo "== not elevated (disk refused, limited token), tool among stand-ins in: ${folders[i]}"
  plant "$folder"
  cp "$VOXTREL_EXE" "$folder/voxtrel-force-remove.exe"
  run_fresh "$folder/voxtrel-force-remove.exe" "$no_disk" "$not_admin" "${limited_token[@]}"
  expect_relaunch "$(unix_to_windows "$E2E_DIR/gate $i/${literals[i]}/voxtrel-force-remove.exe")"
done
wine_stop_prefix "$WINEPREFIX"
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "a copy that was not elevated removed the product key"

echo "== disk refused to an elevated token: no relaunch, the eight steps run"
run_fresh "$TOOL" "$no_disk" "$elevated_disk_refused" "${full_token[@]}"
expect_no_relaunch "${key_removed[@]}"

echo "== elevated, tool among stand-ins: no information line, no relaunch, the eight steps run"
wine_system reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null
run_fresh "$E2E_DIR/gate 1/it's here/voxtrel-force-remove.exe" "$WINEDLLOVERRIDES" "$elevated" "${full_token[@]}"
expect_no_relaunch "${key_removed[@]}"

echo "== disk opened by a limited token: the probe alone decides, no relaunch"
run_fresh "$TOOL" "$WINEDLLOVERRIDES" "$limited_disk_opens" "${limited_token[@]}"
expect_no_relaunch
expect_only_agent_removed start '' 'windows/system32/WindowsPowerShell/v1\.0/powershell\.exe\|'
