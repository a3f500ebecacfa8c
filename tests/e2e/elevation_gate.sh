#!/usr/bin/env bash
# The elevation gate end to end. Wine gives every process a full token and lets it open
# \\.\PHYSICALDRIVE0; with mountmgr.sys switched off on a fresh wineserver the disk cannot be
# opened, and a process started with the limited linked token reads as not elevated. Together
# they make a user without administrator rights; the disk refused to a full token is an elevated
# copy that cannot open disk 0, which must not relaunch itself. A stand-in in place of the
# system's own powershell.exe records the command line the relaunch really receives.
here=$(dirname "$0")
source "$here/lib.sh"

banner="$E2E_DIR/banner.txt"
printf '\n%s\n  Voxtrel Force-Removal Tool\n%s\n\n' \
  "========================================" "========================================" >"$banner"
expected_not_elevated="$E2E_DIR/not-elevated.txt"
{ cat "$banner"; printf '[INFO] Not running as administrator. Re-launching elevated...\n'; } \
  >"$expected_not_elevated"
powershell_windows="$SYSTEM_DIR_WINDOWS\\${SYSTEM_POWERSHELL//\//\\}"
cp "$VOXTREL_TEST_CHILD" "$SYSTEM_DIR/$SYSTEM_POWERSHELL"

# Something a removal step would delete: it must survive every run that is not elevated.
wine reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null

# place_tool DIR: the tool in DIR (under the scratch folder).
place_tool() {
  mkdir -p "$1"
  cp "$VOXTREL_EXE" "$1/voxtrel-force-remove.exe"
}

# expect_relaunch RECORD TOOL: the transcript is the banner and the information line only, and
# the system's PowerShell was started once to run TOOL elevated.
expect_relaunch() {
  [ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
  if ! cmp -s "$TRANSCRIPT" "$expected_not_elevated"; then
    cat -A "$TRANSCRIPT"
    fail "the transcript must be the banner and the information line only, without the prompt"
  fi
  [ -s "$TOOL_ERRORS" ] && fail "standard error is not empty: $(cat "$TOOL_ERRORS")"
  wait_for_record "$1"
  local expected="command_line=\"$powershell_windows\" -Command \"Start-Process '$2' -Verb RunAs\""
  local got
  got=$(grep '^command_line=' "$1")
  [ "$got" = "$expected" ] || fail "PowerShell received [$got], expected [$expected]"
  [ "$(grep -c '^command_line=' "$1")" -eq 1 ] || fail "PowerShell was started more than once"
}

# expect_no_relaunch RECORD: straight from the banner to step 1, to the prompt, no PowerShell.
expect_no_relaunch() {
  [ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
  head -n 5 "$banner" | cmp -s - <(head -n 5 "$TRANSCRIPT") || fail "the banner differs"
  [ "$(sed -n 6p "$TRANSCRIPT")" = "[1/8] Stopping VoxtrelAgent service..." ] ||
    fail "step 1 does not follow the banner: $(sed -n 6p "$TRANSCRIPT")"
  grep -q 'INFO' "$TRANSCRIPT" && fail "the information line was printed"
  [ "$(tail -c 22 "$TRANSCRIPT")" = "Press Enter to exit..." ] || fail "no prompt at the end"
  sleep 1
  [ -e "$1" ] && fail "PowerShell was started: $(cat "$1")"
  return 0
}

# Folder names that must not end PowerShell's single-quoted string early, and how they appear
# inside it: every ' ‘ ’ ‚ ‛ doubled.
folders=("with blanks" "it's here" "it’s ‘typographic’ here" "a'; Remove-Item x; '")
literals=("with blanks" "it''s here" "it’’s ‘‘typographic’’ here" "a''; Remove-Item x; ''")
for i in "${!folders[@]}"; do
  folder="$E2E_DIR/gate $i/${folders[i]}"
  echo "== not elevated (disk refused, limited token), tool in: ${folders[i]}"
  place_tool "$folder"
  record="$E2E_DIR/powershell-$i.txt"
  run_fresh "$folder/voxtrel-force-remove.exe" "$NOT_ADMIN_OVERRIDES" "$record" limited
  expect_relaunch "$record" "$(unix_to_windows "$E2E_DIR/gate $i/${literals[i]}/voxtrel-force-remove.exe")"
done
wine_stop_prefix "$WINEPREFIX"
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "a copy that was not elevated removed the product key"

echo "== disk refused to an elevated token: no relaunch, the eight steps run"
record="$E2E_DIR/powershell-disk-refused.txt"
run_fresh "$TOOL" "$NOT_ADMIN_OVERRIDES" "$record"
expect_no_relaunch "$record"
sed 's/^      Not found, skipping HKLM\\SOFTWARE\\Voxtrel\.$/      Removed HKLM\\SOFTWARE\\Voxtrel./' \
  "$here/clean-machine.txt" >"$E2E_DIR/key-removed.txt"
expect_transcript "$E2E_DIR/key-removed.txt"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "the elevated run did not remove the product key"

echo "== elevated: no information line, no relaunch, straight on to step 1"
wine reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null
folder="$E2E_DIR/gate elevated/it's here"
place_tool "$folder"
record="$E2E_DIR/powershell-elevated.txt"
run_fresh "$folder/voxtrel-force-remove.exe" "$WINEDLLOVERRIDES" "$record"
expect_no_relaunch "$record"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "the elevated run did not remove the product key"

echo "== disk opened by a limited token: the probe alone decides, no relaunch"
record="$E2E_DIR/powershell-limited-disk-opened.txt"
run_fresh "$TOOL" "$WINEDLLOVERRIDES" "$record" limited
expect_no_relaunch "$record"
echo "PASS"
