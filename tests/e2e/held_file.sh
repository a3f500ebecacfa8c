#!/usr/bin/env bash
# A file in the data folder held open without delete sharing by another process for the whole
# run: step 6 prints its failure line and leaves the held file and what it had not reached; the
# program folder, the key and the leftovers still go (steps 7 and 8 run), and nothing that is not
# the agent's is touched.
here=$(dirname "$0")
source "$here/lib.sh"

stage_agent
held='C:\ProgramData\Voxtrel\cache\state\state.bin'
hold_file "$held"
snapshot staged

echo "== data folder with a held file"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
sed 's/^      Removed: C:\\ProgramData\\Voxtrel$/      Failed to remove: C:\\ProgramData\\Voxtrel/' \
  "$here/full-machine.txt" >"$E2E_DIR/expected.txt"
expect_transcript "$E2E_DIR/expected.txt"
release_file

drive_c="$WINEPREFIX/drive_c"
[ -f "$drive_c/ProgramData/Voxtrel/cache/state/state.bin" ] || fail "the held file is gone"
[ ! -e "$drive_c/Program Files/Voxtrel" ] || fail "the program folder is still there"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "step 7 did not remove the product key"
snapshot after
# What the removal had not reached when it met the held file stays in the data folder.
expect_only_agent_removed staged after '^[DF] ProgramData/Voxtrel(/|\||$)'
echo "PASS"
