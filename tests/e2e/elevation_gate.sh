#!/usr/bin/env bash
# The elevation gate end to end. mountmgr.sys off on a fresh wineserver refuses \\.\PHYSICALDRIVE0
# (Wine otherwise opens it for all), and the limited linked token reads as not elevated: together a
# user without administrator rights. The disk refused to a full token must not relaunch. The
# system's powershell.exe is a stand-in recording the relaunch; those planted must never run.
source "$(dirname "$0")/lib.sh"
not_admin="$WINEDLLOVERRIDES;mountmgr.sys=d"
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

# run_fresh TOOL OVERRIDES [LAUNCHER...]: TOOL run (by LAUNCHER) from the current folder on a
# wineserver booted with OVERRIDES (devices load at boot).
limited=("$VOXTREL_TEST_CHILD" --limited)  # under the limited token linked to Wine's full one
run_fresh() {
  rm -f "$record"
  wine_stop_prefix "$WINEPREFIX"
  WINEDLLOVERRIDES="$2" wine_start_prefix "$WINEPREFIX"
  (cd "$current" && printf '\n' | WINEDLLOVERRIDES="$2" WINEPATH=. VOXTREL_CHILD_RECORD="$(unix_to_windows "$record")" \
    timeout 300 wine "${@:3}" "$(unix_to_windows "$1")" >"$TRANSCRIPT" 2>"$TOOL_ERRORS")
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
  run_fresh "$folder/voxtrel-force-remove.exe" "$not_admin" "${limited[@]}"
  expect_relaunch "$(unix_to_windows "$E2E_DIR/gate $i/${literals[i]}/voxtrel-force-remove.exe")"
done
wine_stop_prefix "$WINEPREFIX"
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "a copy that was not elevated removed the product key"

echo "== disk refused to an elevated token: no relaunch, the eight steps run"
run_fresh "$TOOL" "$not_admin"
expect_no_relaunch "${key_removed[@]}"

echo "== elevated, tool among stand-ins: no information line, no relaunch, the eight steps run"
wine_system reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null
run_fresh "$E2E_DIR/gate 1/it's here/voxtrel-force-remove.exe" "$WINEDLLOVERRIDES"
expect_no_relaunch "${key_removed[@]}"

echo "== disk opened by a limited token: the probe alone decides, no relaunch"
run_fresh "$TOOL" "$WINEDLLOVERRIDES" "${limited[@]}"
expect_no_relaunch
expect_only_agent_removed start '' 'windows/system32/WindowsPowerShell/v1\.0/powershell\.exe\|'
