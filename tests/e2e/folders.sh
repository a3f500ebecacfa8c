#!/usr/bin/env bash
# Steps 5 and 6 end to end: the staged folders removed whole while their neighbours stay, a
# missing folder skipped, a locked file reported as a failure with the later steps still run,
# a plain file in a folder's place left alone, and a second run finding nothing. (The
# clean-machine transcript, steps 5 and 6 included, is checked by spine.sh.)
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

echo "== staged agent: both folders removed whole, their neighbours stay"
bash "$VOXTREL_SOURCE_DIR/scripts/stage-agent.sh"
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

echo "== a file held open without delete sharing: failure line, steps 7 and 8 still run"
bash "$VOXTREL_SOURCE_DIR/scripts/stage-agent.sh"
hold_file 'C:\ProgramData\Voxtrel\logs\agent-7.log'
run_tool
release_file
expect_tool_finished
expect_step_result 5 '      Removed: C:\Program Files\Voxtrel'
expect_step_result 6 '      Failed to remove: C:\ProgramData\Voxtrel'
expect_step_result 7 '      Removed HKLM\SOFTWARE\Voxtrel.'
[ "$(cat "$data_folder/logs/agent-7.log")" = "log 7" ] || fail "the held file changed"
run_tool
expect_step_result 6 '      Removed: C:\ProgramData\Voxtrel'
[ -e "$data_folder" ] && fail "the data folder is still there once the file is released"

echo "== a plain file where a folder should be: left alone, reported as a failure"
put_file "ProgramData/Voxtrel" "not a folder"
run_tool
expect_tool_finished
expect_step_result 6 '      Failed to remove: C:\ProgramData\Voxtrel'
[ "$(cat "$data_folder")" = "not a folder" ] || fail "the plain file changed"
echo "PASS"
