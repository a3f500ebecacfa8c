#!/usr/bin/env bash
# Steps 5 and 6 end to end: a file of the data folder held open without delete sharing by
# another process for the whole run (step 6 prints its failure line and leaves the held file and
# what it had not reached; the program folder, the key and the leftovers still go, and nothing
# that is not the agent's is touched), the staged folders removed whole while their neighbours
# stay, a missing folder skipped, a plain file in a folder's place left alone, and a second run
# finding nothing. (The clean-machine transcript, steps 5 and 6 included, is checked by
# standard_input.sh.)
here=$(dirname "$0")
source "$here/lib.sh"
drive_c="$WINEPREFIX/drive_c"
program_folder="$drive_c/Program Files/Voxtrel"
data_folder="$drive_c/ProgramData/Voxtrel"

expect_tool_finished() {
  [ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
  grep -qx '\[8/8\] Searching for voxtrel-agent.exe.old\* files...' "$TRANSCRIPT" || fail "step 8 did not run"
  grep -qx '  Voxtrel cleanup complete.' "$TRANSCRIPT" || fail "no closing banner"
}
put_file() { # put_file PATH-UNDER-DRIVE-C CONTENT
  mkdir -p "$(dirname "$drive_c/$1")"
  printf '%s\n' "$2" >"$drive_c/$1"
}

echo "== staged agent, a data folder file held open: failure line, steps 7 and 8 still run"
stage_agent
hold_file 'C:\ProgramData\Voxtrel\cache\state\state.bin'
snapshot staged
run_tool
release_file
expect_tool_finished
sed 's/^      Removed: C:\\ProgramData\\Voxtrel$/      Failed to remove: C:\\ProgramData\\Voxtrel/' \
  "$here/full-machine.txt" >"$E2E_DIR/expected.txt"
expect_transcript "$E2E_DIR/expected.txt"
[ "$(cat "$data_folder/cache/state/state.bin")" = "state" ] || fail "the held file changed"
[ ! -e "$program_folder" ] || fail "the program folder is still there"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "step 7 did not remove the product key"
snapshot after
# What the removal had not reached when it met the held file stays in the data folder.
expect_only_agent_removed staged after '^[DF] ProgramData/Voxtrel(/|\||$)'
run_tool
expect_step_result 6 '      Removed: C:\ProgramData\Voxtrel'
[ -e "$data_folder" ] && fail "the data folder is still there once the file is released"

echo "== staged agent: both folders removed whole, their neighbours stay"
stage_agent
put_file "Program Files/Voxtrel/plugins/$(printf 'p%.0s' $(seq 1 120)).dll" "long name"
put_file "Program Files/VoxtrelTools/keep.txt" "neighbour"
put_file "ProgramData/Voxtrel.old/keep.txt" "neighbour"
run_tool
expect_tool_finished
expect_step_result 5 '      Removed: C:\Program Files\Voxtrel'
expect_step_result 6 '      Removed: C:\ProgramData\Voxtrel'
[ -e "$program_folder" ] && fail "the program folder is still there"
[ -e "$data_folder" ] && fail "the data folder is still there"
[ "$(cat "$drive_c/Program Files/VoxtrelTools/keep.txt")" = "neighbour" ] || fail "a neighbouring folder changed"
[ "$(cat "$drive_c/ProgramData/Voxtrel.old/keep.txt")" = "neighbour" ] || fail "a neighbouring folder changed"
[ -e "$drive_c/Program Files/Other Vendor/voxtrel-agent.exe.ol" ] || fail "a decoy went"

echo "== second run: both folders not found"
run_tool
expect_tool_finished
expect_step_result 5 '      Not found, skipping: C:\Program Files\Voxtrel'
expect_step_result 6 '      Not found, skipping: C:\ProgramData\Voxtrel'

echo "== program folder missing, data folder present"
put_file "ProgramData/Voxtrel/cache/state.bin" "state"
run_tool
expect_tool_finished
expect_step_result 5 '      Not found, skipping: C:\Program Files\Voxtrel'
expect_step_result 6 '      Removed: C:\ProgramData\Voxtrel'
[ -e "$data_folder" ] && fail "the data folder is still there"

echo "== a plain file where a folder should be: left alone, reported as a failure"
put_file "ProgramData/Voxtrel" "not a folder"
run_tool
expect_tool_finished
expect_step_result 6 '      Failed to remove: C:\ProgramData\Voxtrel'
[ "$(cat "$data_folder")" = "not a folder" ] || fail "the plain file changed"
echo "PASS"
