#!/usr/bin/env bash
# Steps 5 and 6 end to end. A staged data file held without delete sharing: step 6 reports it and
# leaves it and what it had not reached, the rest goes, nothing else is touched. Then Unix symbolic
# links (directory links, 0x410, to Wine 8, which opens and deletes their targets even when asked
# for the link): the tool must not walk them, and reports the folder not removed, the target kept.
source "$(dirname "$0")/lib.sh"
data_folder="$drive_c/ProgramData/Voxtrel"
target="$drive_c/voxtrel-link-target"
program_absent='      Not found, skipping: C:\Program Files\Voxtrel'
program_failed='      Failed to remove: C:\Program Files\Voxtrel'
data_absent='      Not found, skipping: C:\ProgramData\Voxtrel'

echo "== staged agent, a data folder file held open: failure line, steps 7 and 8 still run"
stage_agent
hold_file 'C:\ProgramData\Voxtrel\cache\state\state.bin'
run_tool
release_file
expect_full '      Removed: C:\ProgramData\Voxtrel' '      Failed to remove: C:\ProgramData\Voxtrel'
[ "$(cat "$data_folder/cache/state/state.bin")" = "state" ] || fail "the held file changed"
# What the removal had not reached when it met the held file stays in the data folder.
expect_only_agent_removed staged '^[DF] ProgramData/Voxtrel(/|\||$)'

echo "== the file released: the data folder alone is left to remove"
run_tool
expect_clean "$data_absent" '      Removed: C:\ProgramData\Voxtrel'
[ -e "$data_folder" ] && fail "the data folder is still there"

echo "== the program folder is a link, the data folder holds one"
mkdir -p "$target/sub" "$data_folder"
printf 'target content\n' >"$target/content.txt"
printf 'deep content\n' >"$target/sub/deep.txt"
# The target's content, listed with each file's content, to compare before and after.
target_snapshot() { (cd "$target" && find . -print | sort && find . -type f -exec cat {} +); }
before=$(target_snapshot)
ln -s ../voxtrel-link-target "$drive_c/Program Files/Voxtrel"
ln -s ../../voxtrel-link-target "$data_folder/shared"
run_tool
expect_clean "$program_absent" "$program_failed" -- "$data_absent" '      Failed to remove: C:\ProgramData\Voxtrel'
[ "$(target_snapshot)" = "$before" ] || fail "the link's target changed"
[ -L "$drive_c/Program Files/Voxtrel" ] || fail "the link at the top went"
[ -L "$data_folder/shared" ] || fail "the link inside went"
rm -r "$drive_c/Program Files/Voxtrel" "$data_folder"

echo "== a plain file where the program folder should be, a link to a missing data folder"
printf 'not a folder\n' >"$drive_c/Program Files/Voxtrel"
ln -s ../voxtrel-missing-target "$data_folder"
run_tool
expect_clean "$program_absent" "$program_failed"
[ "$(cat "$drive_c/Program Files/Voxtrel")" = "not a folder" ] || fail "the plain file changed"
[ -L "$data_folder" ] || fail "the dangling link went"
expect_only_agent_removed staged '' 'voxtrel-link-target|Program Files/Voxtrel\||ProgramData/Voxtrel -> '
