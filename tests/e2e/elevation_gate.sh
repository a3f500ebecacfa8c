#!/usr/bin/env bash
# The elevation gate end to end. Wine lets every process open \\.\PHYSICALDRIVE0, so it looks
# elevated; with mountmgr.sys switched off on a fresh wineserver the disk cannot be opened, as for
# a user without administrator rights. A stand-in powershell.exe beside the tool (the runner
# looks there first) records the command line the relaunch really receives.
here=$(dirname "$0")
source "$here/lib.sh"

not_admin_overrides="$WINEDLLOVERRIDES;mountmgr.sys=d"
expected_not_elevated="$E2E_DIR/not-elevated.txt"
printf '\n%s\n  Voxtrel Force-Removal Tool\n%s\n\n[INFO] Not running as administrator. Re-launching elevated...\n' \
  "========================================" "========================================" \
  >"$expected_not_elevated"

# Something a removal step would delete: it must survive every run that is not elevated.
wine reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null

# place_tool DIR: the tool and the stand-in PowerShell in DIR (under the scratch folder).
place_tool() {
  mkdir -p "$1"
  cp "$VOXTREL_EXE" "$1/voxtrel-force-remove.exe"
  cp "$VOXTREL_TEST_CHILD" "$1/powershell.exe"
}

# run_fresh DIR OVERRIDES RECORD: runs DIR's tool on a wineserver started for this run alone, the
# prefix booted in it with OVERRIDES (the devices are loaded at boot).
run_fresh() {
  wine_stop_prefix "$WINEPREFIX"
  WINEDLLOVERRIDES="$2" wine_start_prefix "$WINEPREFIX"
  TOOL_RC=0
  printf '\n' | WINEDLLOVERRIDES="$2" VOXTREL_CHILD_RECORD="$(unix_to_windows "$3")" \
    timeout 300 wine "$1/voxtrel-force-remove.exe" >"$TRANSCRIPT" 2>"$TOOL_ERRORS" || TOOL_RC=$?
}

# wait_for_record RECORD: the detached stand-in may still be starting when the tool has ended.
wait_for_record() {
  local i
  for i in $(seq 1 100); do
    grep -q '^flags=' "$1" 2>/dev/null && return 0
    sleep 0.2
  done
  fail "PowerShell was not started (no record in $1)"
}

# Folder names that must not end PowerShell's single-quoted string early, and how they appear
# inside it: every ' ‘ ’ ‚ ‛ doubled.
folders=("with blanks" "it's here" "it’s ‘typographic’ here" "a'; Remove-Item x; '")
literals=("with blanks" "it''s here" "it’’s ‘‘typographic’’ here" "a''; Remove-Item x; ''")
for i in "${!folders[@]}"; do
  folder="$E2E_DIR/gate $i/${folders[i]}"
  echo "== not elevated, tool in: ${folders[i]}"
  place_tool "$folder"
  record="$E2E_DIR/powershell-$i.txt"
  run_fresh "$folder" "$not_admin_overrides" "$record"
  [ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
  if ! cmp -s "$TRANSCRIPT" "$expected_not_elevated"; then
    cat -A "$TRANSCRIPT"
    fail "the transcript must be the banner and the information line only, without the prompt"
  fi
  [ -s "$TOOL_ERRORS" ] && fail "standard error is not empty: $(cat "$TOOL_ERRORS")"
  wait_for_record "$record"
  literal=$(unix_to_windows "$E2E_DIR/gate $i/${literals[i]}/voxtrel-force-remove.exe")
  expected="command_line=\"powershell\" -Command \"Start-Process '$literal' -Verb RunAs\""
  got=$(grep '^command_line=' "$record")
  [ "$got" = "$expected" ] || fail "PowerShell received [$got], expected [$expected]"
  [ "$(grep -c '^command_line=' "$record")" -eq 1 ] || fail "PowerShell was started more than once"
done
wine_stop_prefix "$WINEPREFIX"
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "a copy that was not elevated removed the product key"

echo "== elevated: no information line, no relaunch, straight on to step 1"
folder="$E2E_DIR/gate elevated/it's here"
place_tool "$folder"
record="$E2E_DIR/powershell-elevated.txt"
run_fresh "$folder" "$WINEDLLOVERRIDES" "$record"
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
head -n 5 "$expected_not_elevated" | cmp -s - <(head -n 5 "$TRANSCRIPT") || fail "the banner differs"
[ "$(sed -n 6p "$TRANSCRIPT")" = "[1/8] Stopping VoxtrelAgent service..." ] ||
  fail "step 1 does not follow the banner: $(sed -n 6p "$TRANSCRIPT")"
grep -q 'INFO' "$TRANSCRIPT" && fail "an elevated run printed the information line"
[ "$(tail -c 22 "$TRANSCRIPT")" = "Press Enter to exit..." ] || fail "no prompt at the end"
sleep 1
[ -e "$record" ] && fail "an elevated run started PowerShell: $(cat "$record")"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "the elevated run did not remove the product key"
echo "PASS"
