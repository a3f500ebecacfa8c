#!/usr/bin/env bash
# The run sequence end to end: the service and registry key really deleted, a refused key deletion
# reported, and a broken standard output ending the run. (The clean-machine transcript with every
# kind of standard input is standard_input.sh.)
here=$(dirname "$0")
source "$here/lib.sh"

echo "== service and product key staged: steps 2 and 7 delete them, the neighbours stay"
quietly wine sc create VoxtrelAgent binPath= 'C:\windows\system32\notepad.exe'
quietly wine reg add 'HKLM\SOFTWARE\Voxtrel\Agent\Settings' /v Level /t REG_DWORD /d 3 /f
quietly wine reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f
quietly wine reg add 'HKLM\SOFTWARE\VoxtrelTools' /v Keep /d yes /f
service_exists VoxtrelAgent || fail "staging: service not created"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
grep -qx '      Removed HKLM\\SOFTWARE\\Voxtrel.' "$TRANSCRIPT" || fail "no removed line for the key"
service_exists VoxtrelAgent && fail "the service is still registered"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "the product key is still there"
reg_exists 'HKLM\SOFTWARE\VoxtrelTools' || fail "a neighbouring key was deleted"

echo "== standard output broken: fail-fast before any later step"
wine reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d x /f >/dev/null
fifo="$E2E_DIR/stdout.fifo"
mkfifo "$fifo"
timeout 120 wine "$TOOL" >"$fifo" 2>"$TOOL_ERRORS" </dev/null &
tool_pid=$!
exec 3<"$fifo"
exec 3<&-
TOOL_RC=0
wait "$tool_pid" || TOOL_RC=$?
# 0xC0000409 (STATUS_STACK_BUFFER_OVERRUN, what __fastfail raises) seen through Wine's low byte.
[ "$TOOL_RC" -eq 9 ] || fail "expected the fail-fast status, got $TOOL_RC"
grep -q '^failed printing to stdout: ' "$TOOL_ERRORS" || fail "no diagnostic: $(cat "$TOOL_ERRORS")"
[ "$(wc -l <"$TOOL_ERRORS")" -eq 1 ] || fail "standard error must carry one line: $(cat "$TOOL_ERRORS")"
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "step 7 ran after standard output broke"
echo "== a product key whose deletion is refused is reported as such, not as absent"
wine reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d x /f >/dev/null
wine "$VOXTREL_TEST_CHILD" --deny-key 'SOFTWARE\Voxtrel\Locked'
run_tool
grep -qx '      Failed to remove HKLM\\SOFTWARE\\Voxtrel.' "$TRANSCRIPT" || { cat "$TRANSCRIPT"; fail "no failure line for a refused key"; }
reg_exists 'HKLM\SOFTWARE\Voxtrel' || fail "the refused key is gone"

echo "PASS"
